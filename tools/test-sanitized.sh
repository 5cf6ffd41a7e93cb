#!/bin/sh
# Builds the programs and tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (RUGON_SANITIZE) in a build folder of their own, runs them there and fails on any sanitizer
# report.
#
#   tools/test-sanitized.sh [--all] [BUILD_DIR]      (default: build-sanitize)
#
# By default (what `make test` runs) it builds and runs the tests labelled untrusted: every
# path a file from outside takes, through both programs. That is the crafted and damaged image
# files, bad parameter files and settings, the decoder and its limits, the metadata readers
# (tests/e2e, tests/files), and the committed fuzz corpora replayed once each (parameters,
# analysis on small grids, image files, declared sizes). --all builds everything and runs the
# whole suite, window tests and Python module aside as in any build.
#
# The build is optimised less than the release build (-O1, line tables only): the instrumented
# code compiles in about half the time, and figures are the same at any optimisation level
# since the build never contracts or reorders floating-point operations.
#
# Every instrumented process, including the programs that the end-to-end tests start, writes
# its reports to BUILD_DIR/sanitizer-reports/ rather than to its standard error, so a report
# fails the run even where the test that caused it only looked at the exit status.
#
# Leaks: the tests without a window run with leak detection; leaks inside third-party
# libraries (DevIL, fontconfig...) are suppressed by tools/lsan-suppressions.txt, never leaks
# in our own code. The tests labelled gl (a GL window: the window tests and every run of
# rugon) run with every address and undefined-behaviour check but without leak detection:
# freeglut's exit handler closes the display, which unloads Mesa's software driver before the
# leak check runs, so the driver's own allocations (its frame buffers, for one) are reported
# with no module to suppress them by. rugon-report runs the same analysis without GL, with
# leak detection.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
all=0
if [ "${1:-}" = "--all" ]; then
    all=1
    shift
fi
build=${1:-build-sanitize}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
jobs=${JOBS:-2}

# GCC's -Wmaybe-uninitialized gives false alarms inside libstdc++ (std::regex, std::function)
# once the sanitizers instrument the code; the normal build keeps the warning.
cmake -S "$root" -B "$build" -DRUGON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Sanitize \
    "-DCMAKE_CXX_FLAGS_SANITIZE=-O1 -g1" -DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized >/dev/null
if [ "$all" -eq 1 ]; then
    cmake --build "$build" -j"$jobs"
else
    cmake --build "$build" -j"$jobs" --target rugon rugon-report rugon-decode e2e_tests \
        files_tests fuzz_replay_parameters fuzz_replay_analysis fuzz_replay_image_file \
        fuzz_replay_declared_size
fi

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
common="halt_on_error=1:abort_on_error=0:strict_init_order=1:detect_stack_use_after_return=0"
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
LSAN_OPTIONS="suppressions=$root/tools/lsan-suppressions.txt:print_suppressions=0"
export UBSAN_OPTIONS LSAN_OPTIONS

# Runs ctest in the build folder with leak detection on (1) or off (0) and the given options.
run_tests() {
    leaks=$1
    shift
    (cd "$build" &&
        ASAN_OPTIONS="$common:detect_leaks=$leaks:log_path=$reports/asan" \
            ctest --output-on-failure -j"$jobs" --timeout 900 "$@")
}

status=0
if [ "$all" -eq 1 ]; then
    run_tests 1 -LE gl || status=$?
    run_tests 0 -L gl || status=$?
else
    # The end-to-end tests carry the one label untrusted-gl (a label list does not survive
    # gtest_discover_tests), which -L gl and -LE gl match as a regular expression.
    run_tests 1 -L '^untrusted$' || status=$?
    run_tests 0 -L '^untrusted-gl$' || status=$?
fi

found=$(find "$reports" -type f | head -n 20)
if [ -n "$found" ]; then
    echo "sanitizer: reports were written:" >&2
    for f in $found; do
        echo "---- $f" >&2
        head -n 60 "$f" >&2
    done
    status=1
fi
if [ "$status" -eq 0 ]; then
    if [ "$all" -eq 1 ]; then
        echo "sanitizer: the whole suite passed with no report"
    else
        echo "sanitizer: the tests labelled untrusted passed with no report"
    fi
fi
exit "$status"
