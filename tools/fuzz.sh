#!/bin/sh
# Builds the libFuzzer targets (tests/fuzz, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs them from the committed corpus.
#
#   tools/fuzz.sh --short            each target for 10 to 20 s, 50 s in all (make fuzz runs it)
#   tools/fuzz.sh --long [SECONDS]   each target for SECONDS (default 1800), for local use
#   tools/fuzz.sh --replay FILE...   runs the given inputs once (a crash file, for example)
#   optional, after the mode: --target NAME to run one target only (parameters, analysis,
#   image_file, declared_size)
#
# image_file decodes every input through the decoder process (rugon-decode, built next to the
# targets), so that crashes of the image library count only when they reach this process;
# declared_size reads the headers in process, with coverage.
#
# The committed corpus in tests/fuzz/corpus/<target>/ is only read; inputs a long run finds go
# to build-fuzz/corpus/<target>/ (add the useful ones to the committed corpus with libFuzzer's
# -set_cover_merge=1). Any crash, sanitizer report, leak or input slower than 10 s fails the
# run; the input that caused it is kept as build-fuzz/artifacts/<target>-*. Add it to
# tests/fuzz/corpus/<target>/ once the fault is fixed, as a regression input.
#
# Environment: FUZZ_BUILD (default build-fuzz), JOBS (build jobs, default 2).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
jobs=${JOBS:-2}
targets="parameters analysis image_file declared_size"

mode=${1:---short}
[ $# -gt 0 ] && shift
seconds=""
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

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tools/lsan-suppressions.txt:print_suppressions=0"
# Sanitizer options of a target.
asan_options() {
    echo "detect_leaks=1:halt_on_error=1"
}
# Seconds of a short run: the analysis runs about a hundred inputs a second, image_file a few
# hundred (a process each), the others thousands.
short_seconds() {
    case "$1" in
        analysis) echo 20 ;;
        *) echo 10 ;;
    esac
}

if [ "$mode" = "--replay" ]; then
    for target in $targets; do
        ASAN_OPTIONS=$(asan_options "$target") "$build/fuzz_$target" -runs=1 "$@"
    done
    exit 0
fi

mkdir -p "$build/artifacts"
status=0
for target in $targets; do
    # A short run starts from the committed corpus alone, so that its few seconds go to new
    # inputs rather than to replaying what earlier runs found; a long run keeps its finds.
    if [ "$mode" = "--short" ]; then
        corpus="$build/corpus-short/$target"
        rm -rf "$corpus"
    else
        corpus="$build/corpus/$target"
    fi
    mkdir -p "$corpus"
    log="$build/fuzz-$target.log"
    limit=${seconds:-$(short_seconds "$target")}
    echo "fuzz: $target for ${limit}s"
    if ASAN_OPTIONS=$(asan_options "$target") \
        "$build/fuzz_$target" -max_total_time="$limit" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$corpus" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1; then
        grep -a -E '^stat::number_of_executed_units' "$log" | sed "s/^/fuzz: $target: /" || true
    else
        echo "fuzz: $target FAILED (log: $log)" >&2
        grep -a -E -A 30 'ERROR|==[0-9]+==|runtime error|deadly signal|Test unit written' "$log" |
            head -n 60 >&2 || tail -n 40 "$log" >&2
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "fuzz: no crash"
exit "$status"
