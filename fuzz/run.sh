#!/usr/bin/env bash
# Coverage-guided fuzzing of the module's decoders with libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   fuzz/run.sh <target> [libFuzzer options...]
#   fuzz/run.sh corpus_msgpack -max_total_time=120
#
# Targets: corpus_msgpack graph_msgpack sentence_msgpack corpus_json hash_store
# hash_hex (see fuzz/fuzz_targets.py). Needs clang with libFuzzer
# (`apt-get install clang`). The module is built with clang, coverage
# instrumentation and the sanitizers into build/fuzz; the harness embeds the
# interpreter. The growing corpus lives in build/fuzz/corpus/<target>, seeded
# from fuzz/seeds/<target>; crashing inputs land in build/fuzz/artifacts/.
# Reproduce one with `fuzz/run.sh <target> <file>`.
set -euo pipefail
cd "$(dirname "$0")/.."
target="${1:?usage: fuzz/run.sh <target> [libFuzzer options...]}"
shift
py="$(python3 -c "import sys; print(sys.executable)")"
out=build/fuzz
cmake -S . -B "$out/module" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORVEX_SANITIZE=ON \
  -DPython_EXECUTABLE="$py" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$out/module" >/dev/null
if [ ! -x "$out/harness" ] || [ fuzz/harness.cc -nt "$out/harness" ]; then
  # shellcheck disable=SC2046
  clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined fuzz/harness.cc -o "$out/harness" \
    $("$py-config" --includes 2>/dev/null || python3-config --includes) \
    $("$py-config" --ldflags --embed 2>/dev/null || python3-config --ldflags --embed)
fi
mkdir -p "$out/corpus/$target" "$out/artifacts"
export LORVEX_FUZZ_TARGET="$target"
export PYTHONPATH="$PWD/$out/module:$PWD/fuzz${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
if [ $# -gt 0 ] && [ -f "${!#}" ]; then
  exec "$out/harness" "$@"
fi
exec "$out/harness" -artifact_prefix="$out/artifacts/$target-" -max_len=65536 -timeout=20 -rss_limit_mb=4096 \
  "$@" "$out/corpus/$target" "fuzz/seeds/$target"
