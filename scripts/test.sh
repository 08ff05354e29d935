#!/usr/bin/env bash
# Runs every test: builds the libraries, the module and the GoogleTest suites,
# runs them through CTest, then runs pytest against the freshly built module.
#   scripts/test.sh            release build in build/release
#   scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer build in build/sanitize
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=release
cmake_args=(-DCMAKE_BUILD_TYPE=Release)
if [[ "${1:-}" == "--sanitize" ]]; then
  mode=sanitize
  cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORREL_SANITIZE=ON)
fi
build="$root/build/$mode"
python=${PYTHON:-python3}

cmake -S "$root" -B "$build" -G Ninja "${cmake_args[@]}" -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

export QUORREL_BUILD_DIR="$build"
export PYTHONPATH="$build/python:$root/python${PYTHONPATH:+:$PYTHONPATH}"
if [[ "$mode" == sanitize ]]; then
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$python" -m pytest "$root/python/tests" -q
else
  "$python" -m pytest "$root/python/tests" -q
fi
