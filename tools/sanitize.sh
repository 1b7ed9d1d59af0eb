#!/usr/bin/env bash
# The sanitizer and memory-checker runs, from a fresh clone (installs what is
# missing with apt). Steps, all by default:
#
#   cpp       the C++ tests built with clang under AddressSanitizer and
#             UndefinedBehaviorSanitizer (leak detection on)
#   python    the module built with GCC's AddressSanitizer and UBSan, loaded by
#             the regular interpreter with the runtime preloaded; the whole Python
#             suite, with the damaged-file sweep at full size
#   valgrind  a small part of the Python suite under valgrind memcheck
#   fuzz      the parse fuzzer over its seeds and regression inputs, then a short
#             fuzzing run with a fixed seed
#
# Usage: tools/sanitize.sh [cpp] [python] [valgrind] [fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(cpp python valgrind fuzz)

source tools/system_packages.sh

need_clang() {
    local need=()
    command -v clang++ >/dev/null || need+=(clang)
    if ! command -v clang++ >/dev/null ||
        [ ! -f "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then
        need+=(libclang-rt-14-dev)
    fi
    install_missing "${need[@]}"
}

# Sanitizer reports go to files under $1 (pytest would swallow them from
# stderr); any report there fails the step.
check_reports() {
    local dir=$1 found=0
    for f in "$dir"/*; do
        [ -s "$f" ] || continue
        echo "---- $f"
        cat "$f"
        found=1
    done
    [ "$found" -eq 0 ] || { echo "sanitizer reports in $dir" >&2; exit 1; }
}

step_cpp() {
    echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang)"
    need_clang
    cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DVORN_WERROR=ON -DVORN_BUILD_PYTHON=OFF -DVORN_SANITIZE=address,undefined >/dev/null
    cmake --build build/asan
    ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build/asan --output-on-failure -j2
}

step_python() {
    echo "== Python tests against the module built with AddressSanitizer and UBSan (GCC)"
    source tools/venv.sh pytest
    local build=build/asan-python module_dir reports
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_WERROR=ON \
        -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_PYTHON=ON -DVORN_SANITIZE=address,undefined \
        -DPython_EXECUTABLE="$here/.venv/bin/python" >/dev/null
    cmake --build "$build"
    module_dir=$here/$build/vorn_parser_python
    reports=$here/$build/reports
    rm -rf "$reports"
    mkdir -p "$reports"
    (
        # The interpreter is not instrumented: the runtime must come first, and
        # libstdc++ with it so that the runtime finds the C++ throw it wraps.
        # PYTHONMALLOC=malloc puts every Python object under the sanitizer.
        export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
        export PYTHONMALLOC=malloc PYTHONPATH=$module_dir VORN_SWEEP=full
        # No third-party pytest plugins: zarr's imports numpy, whose import leaves
        # allocations LeakSanitizer reports; this run checks our module's.
        export PYTEST_DISABLE_PLUGIN_AUTOLOAD=1
        export ASAN_OPTIONS=detect_leaks=1:log_path=$reports/asan:print_suppressions=0
        export LSAN_OPTIONS=suppressions=$here/tools/lsan-python.supp
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
        .venv/bin/python -c 'import sys, vorn_parser
if not vorn_parser.__file__.startswith(sys.argv[1]):
    sys.exit(f"imported {vorn_parser.__file__}, not the sanitizer build")' "$module_dir"
        # The module's own tests, named one by one: the others exercise the
        # Python package (numpy, xarray, the command) and start subprocesses
        # (matplotlib, mypy) that would inherit the preloaded runtime.
        .venv/bin/python -m pytest -p no:cacheprovider -q \
            vorn_parser_python/tests/test_allocation_failures.py \
            vorn_parser_python/tests/test_arguments.py \
            vorn_parser_python/tests/test_bounded_reading.py \
            vorn_parser_python/tests/test_failures.py \
            vorn_parser_python/tests/test_hostile_headers.py \
            vorn_parser_python/tests/test_results.py \
            vorn_parser_python/tests/test_sweep.py \
            vorn_parser_python/tests/test_vdf_writer.py
    ) || { check_reports "$reports"; exit 1; }
    check_reports "$reports"

    echo "== The numpy path's tests against vorn_tools._native built with AddressSanitizer and UBSan"
    # The package's Python files beside the sanitizer build of its extension.
    local overlay=$here/$build/overlay
    rm -rf "$overlay"
    mkdir -p "$overlay"
    cp -r python/vorn_tools "$overlay/"
    cp "$build"/vorn_tools_native/_native*.so "$overlay/vorn_tools/"
    .venv/bin/python -m pip install -q --disable-pip-version-check numpy
    (
        export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
        export PYTHONMALLOC=malloc PYTHONPATH=$overlay:$module_dir
        # numpy's import leaves allocations LeakSanitizer reports; memory errors
        # are what this run looks for.
        export ASAN_OPTIONS=detect_leaks=0:log_path=$reports/asan-native
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan-native
        .venv/bin/python -c 'import sys, vorn_tools._native as n
if not n.__file__.startswith(sys.argv[1]):
    sys.exit(f"imported {n.__file__}, not the sanitizer build")' "$overlay"
        .venv/bin/python -m pytest -p no:cacheprovider -q python/tests/test_open.py \
            python/tests/test_xarray.py
    ) || { check_reports "$reports"; exit 1; }
    check_reports "$reports"
}

step_valgrind() {
    echo "== Part of the Python suite under valgrind memcheck"
    command -v valgrind >/dev/null || install_missing valgrind
    source tools/venv.sh pytest .
    PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 PYTHONMALLOC=malloc valgrind --tool=memcheck --quiet --error-exitcode=99 --num-callers=30 \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --suppressions=tools/valgrind-python.supp \
        .venv/bin/python -m pytest -p no:cacheprovider -q \
        vorn_parser_python/tests/test_results.py vorn_parser_python/tests/test_failures.py \
        -k "not threads and not repeated"
}

step_fuzz() {
    echo "== Parse fuzzer: seeds and regression inputs, then a short run with a fixed seed"
    need_clang
    bash fuzz/run.sh replay
    local corpus
    corpus=$(mktemp -d)
    bash fuzz/run.sh smoke "$corpus"
    rm -rf "$corpus"
}

for step in "${steps[@]}"; do
    case $step in
        cpp) step_cpp ;;
        python) step_python ;;
        valgrind) step_valgrind ;;
        fuzz) step_fuzz ;;
        *) echo "unknown step: $step (cpp, python, valgrind, fuzz)" >&2; exit 2 ;;
    esac
done
