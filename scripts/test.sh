#!/usr/bin/env bash
# Builds everything and runs every test: the core's GoogleTest suite through CTest, then
# the Python surface through pytest. Both always run; the exit code says if either failed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh || exit 1

ctest --test-dir build --output-on-failure -j2
core=$?
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python
python=$?
[[ $core -eq 0 && $python -eq 0 ]]
