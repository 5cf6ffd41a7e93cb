#!/bin/sh
# Builds the library, the program and every test with AddressSanitizer and
# UndefinedBehaviorSanitizer (RUGON_SANITIZE) in a build folder of its own, runs the whole test
# suite there, window and end-to-end runs included, and fails on any sanitizer report.
#
#   tools/test-sanitized.sh [BUILD_DIR]      (default: build-sanitize)
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
build=${1:-build-sanitize}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
jobs=${JOBS:-2}

# GCC's -Wmaybe-uninitialized gives false alarms inside libstdc++ (std::regex, std::function)
# once the sanitizers instrument the code; the normal build keeps the warning.
cmake -S "$root" -B "$build" -DRUGON_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized >/dev/null
cmake --build "$build" -j"$jobs"

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
run_tests 1 -LE gl || status=$?
run_tests 0 -L gl || status=$?

found=$(find "$reports" -type f | head -n 20)
if [ -n "$found" ]; then
    echo "sanitizer: reports were written:" >&2
    for f in $found; do
        echo "---- $f" >&2
        head -n 60 "$f" >&2
    done
    status=1
fi
[ "$status" -eq 0 ] && echo "sanitizer: the whole suite passed with no report"
exit "$status"
