#!/bin/bash
# Runs the whole test suite from a fresh checkout: installs the Debian
# packages that are missing, builds the normal tree (gcc) and the sanitizer
# tree (clang, ASan + UBSan, with the libFuzzer targets), then runs every test
# of both trees, one tree after the other, inside a private network namespace
# whose only interface is loopback.  Nothing reaches the machine's network.
#
#   tools/run-tests.sh [--normal | --sanitize] [CTEST OPTIONS] [-- MORE CTEST ARGS]
#
#   (no option)         everything, both trees (what CI runs)
#   --normal            only the normal tree (quicker while working)
#   --sanitize          only the sanitizer tree
#   -L LABEL, -LE LABEL tests with (without) that label: unit, e2e, fuzz
#   -R REGEX, -E REGEX  tests whose names match (do not match) REGEX
#   -V, --verbose       ctest's verbose output
#   -- ARGS...          everything after -- goes to ctest as it is
#   -h, --help          this text
#
# Needs root (through sudo when run as a user who may use it).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
trees=(normal sanitize)
ctest_args=()
args=("$@")
while (($#)); do
    case "$1" in
        --normal) trees=(normal) ;;
        --sanitize) trees=(sanitize) ;;
        -L | -LE | -R | -E)
            (($# >= 2)) || { echo "run-tests: $1 needs a value (try --help)" >&2; exit 2; }
            ctest_args+=("$1" "$2")
            shift
            ;;
        -V | --verbose) ctest_args+=("$1") ;;
        --)
            shift
            ctest_args+=("$@")
            break
            ;;
        -h | --help)
            usage
            exit 0
            ;;
        *)
            echo "run-tests: unknown option $1 (try --help)" >&2
            exit 2
            ;;
    esac
    shift
done

source "$ROOT/tools/require-root.sh"
require_root run-tests "$0" "${args[@]}"
require_namespaces run-tests

"$ROOT/tools/install-deps.sh" --test

# Both trees always build their tests and benchmarks (the main job may have
# configured build/normal without them).
for tree in "${trees[@]}"; do
    start=$EPOCHSECONDS
    echo "run-tests: building the $tree tree in build/$tree"
    common=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEM_BUILD_TESTS=ON -DVEM_BUILD_BENCH=ON)
    case "$tree" in
        normal)
            vem_build run-tests "$ROOT/build/normal" "$ROOT/build/normal.log" all -- "${common[@]}" \
                -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
            ;;
        sanitize)
            vem_build run-tests "$ROOT/build/sanitize" "$ROOT/build/sanitize.log" all -- "${common[@]}" \
                -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVEM_SANITIZE=ON -DVEM_FUZZ=ON
            # A sanitizer tree without its fuzz targets would pass while
            # checking less than it claims: refuse it.
            n=$(ctest --test-dir "$ROOT/build/sanitize" -N -L fuzz | awk '/Total Tests:/ {print $3}')
            if [[ ${n:-0} -eq 0 ]]; then
                echo "run-tests: the sanitizer tree has no fuzz targets; is clang's libFuzzer missing?" >&2
                exit 1
            fi
            ;;
    esac
    echo "run-tests: built the $tree tree in $((EPOCHSECONDS - start)) s"
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
    start=$EPOCHSECONDS
    if ! "$ROOT/tools/ns-run.sh" ctest --test-dir "$ROOT/build/$tree" --output-on-failure \
            --no-tests=error -j "$(nproc)" "${ctest_args[@]}"; then
        status=1
    fi
    echo "run-tests: $tree tree tested in $((EPOCHSECONDS - start)) s"
done

if ((status == 0)); then
    echo "run-tests: all tests passed in: ${trees[*]}"
else
    echo "run-tests: FAILED (see above)"
fi
exit $status
