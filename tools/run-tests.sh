#!/bin/bash
# Runs the whole test suite from a fresh checkout: installs the Debian
# packages that are missing, builds the normal tree (gcc) and the sanitizer
# tree (clang, ASan + UBSan, with the libFuzzer targets), then runs every test
# of both trees, one tree after the other, inside a private network namespace
# whose only interface is loopback.  Nothing reaches the machine's network.
#
#   tools/run-tests.sh              everything (what CI runs)
#   tools/run-tests.sh -L unit      only tests with that label, both trees
#   tools/run-tests.sh --normal     only the normal tree (quicker while working)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

source "$ROOT/tools/require-root.sh"
require_root run-tests "$0" "$@"

trees=(normal sanitize)
ctest_args=()
while (($#)); do
    case "$1" in
        --normal) trees=(normal) ;;
        --sanitize) trees=(sanitize) ;;
        *) ctest_args+=("$1") ;;
    esac
    shift
done

"$ROOT/tools/install-deps.sh"

jobs=$(nproc)
configure_and_build() {
    local tree=$1
    shift
    cmake -S "$ROOT" -B "$ROOT/build/$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$ROOT/build/$tree" -j "$jobs"
}
for tree in "${trees[@]}"; do
    case "$tree" in
        normal) configure_and_build normal -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ ;;
        sanitize)
            configure_and_build sanitize -DCMAKE_C_COMPILER=clang \
                -DCMAKE_CXX_COMPILER=clang++ -DVEM_SANITIZE=ON -DVEM_FUZZ=ON
            # A sanitizer tree without its fuzz targets would pass while
            # checking less than it claims: refuse it.
            n=$(ctest --test-dir "$ROOT/build/sanitize" -N -L fuzz | awk '/Total Tests:/ {print $3}')
            if [[ ${n:-0} -eq 0 ]]; then
                echo "run-tests: the sanitizer tree has no fuzz targets; is clang's libFuzzer missing?" >&2
                exit 1
            fi
            ;;
    esac
done

# Both trees use the same fixed semaphore names and FIFO paths, so they run
# one after the other, never at once, each in a sandbox of its own
# (tools/ns-run.sh: loopback only, private /tmp and /dev/shm; the PID
# namespace makes sure nothing a test started outlives the run).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for tree in "${trees[@]}"; do
    echo "=== tests: $tree tree"
    if ! "$ROOT/tools/ns-run.sh" ctest --test-dir "$ROOT/build/$tree" --output-on-failure \
            --no-tests=error -j "$jobs" "${ctest_args[@]}"; then
        status=1
    fi
done

if ((status == 0)); then
    echo "run-tests: all tests passed in: ${trees[*]}"
else
    echo "run-tests: FAILED (see above)"
fi
exit $status
