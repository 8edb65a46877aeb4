#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite against that build. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORVEX_SANITIZE=ON >/dev/null
cmake --build build/asan
# The interpreter is not built with the sanitizers: preload their runtimes.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
PYTHONMALLOC=malloc \
PYTHONPATH=build/asan \
  python3 -m pytest -q -p no:cacheprovider "$@"
