#!/usr/bin/env bash
# Runs the core's tests under a sanitizer: `address` (AddressSanitizer with
# UndefinedBehaviorSanitizer) or `thread` (ThreadSanitizer). Each has its own build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?usage: scripts/sanitize.sh address|thread}
bash scripts/setup.sh
dir=build-$kind
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORIN_SANITIZE="$kind" >/dev/null
cmake --build "$dir"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# ThreadSanitizer's shadow layout does not fit every randomised address space; run it
# without address randomisation.
run=()
[[ $kind == thread ]] && run=(setarch "$(uname -m)" -R)
"${run[@]}" ctest --test-dir "$dir" --output-on-failure -j2
