#!/usr/bin/env bash
# Installs what building, testing and benchmarking pelorin needs, from Debian's packages.
# Idempotent: when everything is present it only asks dpkg and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config binutils
  libzstd-dev libxxhash-dev libtbb-dev libfmt-dev
  python3 python3-dev python3-numpy python3-pytest python3-psutil util-linux-extra
  googletest libgtest-dev libbenchmark-dev
  zstd python3-zstandard python3-xxhash python3-blosc python3-numcodecs
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}" >&2
sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
