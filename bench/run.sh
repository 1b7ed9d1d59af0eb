#!/usr/bin/env bash
# Runs the benchmark suite from a fresh clone: builds the release module into
# .venv and the core's decode benchmark, then times everything in one run and
# prints one table. Exits 1 when a target is missed. Arguments go to
# bench/parse_benchmark.py (e.g. --repeat 11).
set -euo pipefail
cd "$(dirname "$0")/.."

# System packages: Google Benchmark.
source tools/system_packages.sh
need=()
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
install_build_tools "${need[@]}"

echo "== building the decode benchmark (Release)"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_BENCHMARKS=ON \
    -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_PYTHON=OFF >/dev/null
cmake --build build/bench --target vorn_decode_benchmark >/dev/null

echo "== building the module (Release) into .venv"
source tools/venv.sh .

echo "== benchmark"
.venv/bin/python bench/parse_benchmark.py \
    --decode-benchmark build/bench/vorn_parser_core/vorn_decode_benchmark "$@"
