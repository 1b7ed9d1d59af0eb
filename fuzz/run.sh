#!/usr/bin/env bash
# Builds the parse fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it in one process.
#
#   fuzz/run.sh SECONDS [libFuzzer flags...]   fuzz for SECONDS
#   fuzz/run.sh replay                         run every seed and regression input once
#   fuzz/run.sh smoke DIR                      30000 runs with a fixed seed, growing the
#                                              corpus in DIR (the CI run)
#
# The corpus grown by earlier runs is kept in build/fuzz/corpus; crashing inputs
# go to build/fuzz/artifacts. Fixed findings belong in fuzz/regressions/.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?usage: fuzz/run.sh SECONDS|replay|smoke DIR [libFuzzer flags...]}
shift

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DVORN_BUILD_FUZZERS=ON -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_PYTHON=OFF -DVORN_WERROR=ON >/dev/null
cmake --build "$build" --target vorn_parse_fuzzer vorn_second_road_fuzzer

rm -rf "$build/seeds"
# The seeds are written by the test-file writer, vorn_tools.testing.vdf_writer, of the
# package installed in .venv (made here when missing).
[ -x .venv/bin/python ] || source tools/venv.sh .
.venv/bin/python fuzz/make_seeds.py "$build/seeds"
mkdir -p "$build/corpus" "$build/artifacts"
inputs=("$build/seeds")
[ -d fuzz/regressions ] && inputs+=(fuzz/regressions)

# VORN_FUZZER=vorn_second_road_fuzzer runs the target of metadata and samples read apart.
fuzzer=$build/fuzz/${VORN_FUZZER:-vorn_parse_fuzzer}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Limits: a few MB are enough for any input below max_len, so a single large
# allocation is a finding; stdout (the digital-filter lines) is discarded.
common=(-max_len=65536 -timeout=5 -rss_limit_mb=1024 -malloc_limit_mb=128 -close_fd_mask=1
        -artifact_prefix="$build/artifacts/")

if [ "$mode" = replay ]; then
    exec "$fuzzer" "${common[@]}" -runs=0 "${inputs[@]}" "$@"
fi
if [ "$mode" = smoke ]; then
    corpus=${1:?usage: fuzz/run.sh smoke DIR}
    shift
    exec "$fuzzer" "${common[@]}" -dict=fuzz/vorn.dict -seed=1 -runs=30000 -print_funcs=0 "$corpus" "${inputs[@]}" "$@"
fi
exec "$fuzzer" "${common[@]}" -dict=fuzz/vorn.dict -print_final_stats=1 \
    -max_total_time="$mode" "$build/corpus" "${inputs[@]}" "$@"
