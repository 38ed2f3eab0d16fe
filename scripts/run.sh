#!/usr/bin/env bash
# The main job: build, then show the native core at work.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
exec /usr/bin/python3 - <<'PY'
import mmap
import pelorin._core as core

rt = core.RtRuntime(256 * 1024 * 1024)
print(f"pelorin core {core.core_version()}")
print(f"page size    {mmap.PAGESIZE} bytes")
print(f"limit        {rt.limit()} bytes of a 256 MiB budget")
PY
