#!/bin/sh
# Builds the libFuzzer targets (tests/fuzz, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs them from the committed corpus.
#
#   tools/fuzz.sh --short            every target for 20 s (the test command runs this)
#   tools/fuzz.sh --long [SECONDS]   every target for SECONDS (default 1800), for local use
#   tools/fuzz.sh --replay FILE...   runs the given inputs once (a crash file, for example)
#   optional, after the mode: --target NAME to run one target only (parameters, analysis)
#
# The committed corpus in tests/fuzz/corpus/<target>/ is only read; inputs the fuzzer finds
# go to build-fuzz/corpus/<target>/. Any crash, sanitizer report, leak or input slower than
# 10 s fails the run; the input that caused it is kept as build-fuzz/artifacts/<target>-*.
# Add it to tests/fuzz/corpus/<target>/ once the fault is fixed, as a regression input.
#
# Environment: FUZZ_BUILD (default build-fuzz), JOBS (build jobs, default 2).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
jobs=${JOBS:-2}
targets="parameters analysis"

mode=${1:---short}
[ $# -gt 0 ] && shift
seconds=20
case "$mode" in
    --short) ;;
    --long)
        seconds=1800
        if [ $# -gt 0 ] && [ "$1" -eq "$1" ] 2>/dev/null; then
            seconds=$1
            shift
        fi
        ;;
    --replay) ;;
    *)
        echo "usage: fuzz.sh --short | --long [SECONDS] | --replay FILE... [--target NAME]" >&2
        exit 2
        ;;
esac
if [ $# -ge 2 ] && [ "$1" = "--target" ]; then
    targets=$2
    shift 2
fi

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ is missing (install clang and libclang-rt-dev)" >&2
    exit 1
fi
CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

if [ "$mode" = "--replay" ]; then
    for target in $targets; do
        "$build/fuzz_$target" -runs=1 "$@"
    done
    exit 0
fi

mkdir -p "$build/artifacts"
status=0
for target in $targets; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    log="$build/fuzz-$target.log"
    echo "fuzz: $target for ${seconds}s"
    if "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units' "$log" | sed "s/^/fuzz: $target: /" || true
    else
        echo "fuzz: $target FAILED (log: $log)" >&2
        grep -E -A 30 'ERROR|==[0-9]+==|runtime error|deadly signal|Test unit written' "$log" |
            head -n 60 >&2 || tail -n 40 "$log" >&2
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "fuzz: no crash"
exit "$status"
