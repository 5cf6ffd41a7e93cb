#!/bin/sh
# Times the parallel batch: tools/bench-batch.sh [BUILD_DIR] [IMAGES] [SIDE].
# Generates IMAGES (40) images of SIDE x SIDE (1024) pixels once into a temporary folder, runs
# rugon-report on them with --jobs 1 and with --jobs 2, checks that both runs wrote the same
# files with the same bytes, and prints both times and the speed-up (the target on two cores is
# 1.7). Exits 1 when the outputs differ or a run fails. The build folder defaults to "build".
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"
count="${2:-40}"
side="${3:-1024}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target rugon-report rugon-gen-sem -j"${JOBS:-2}" >/dev/null
gen="$build/tools/rugon-gen-sem"
report="$build/src/report/rugon-report"

work="$(mktemp -d "${TMPDIR:-/tmp}/rugon-bench-batch.XXXXXX")"
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/images"

# A lot's worth of images: the three kinds of contrast, different roughness and seeds.
i=1
while [ "$i" -le "$count" ]; do
    case $((i % 3)) in
        0) contrast=bright-edges ;;
        1) contrast=bright-line ;;
        *) contrast=dark-line ;;
    esac
    sigma=$(awk -v i="$i" 'BEGIN { printf "%.2f", 0.8 + 0.05 * (i % 9) }')
    name=$(printf 'lot-%03d.pgm' "$i")
    "$gen" --width "$side" --height "$side" --pitch 64 --cd 28 --contrast "$contrast" \
        --sigma "$sigma" --seed "$i" --noise 4 --output "$work/images/$name" \
        --edges "$work/edges.csv" --truth "$work/truth.json" >/dev/null
    i=$((i + 1))
done
rm -f "$work/edges.csv" "$work/truth.json"

now() { date +%s.%N; }
# Runs the report with `jobs` workers into `out`; prints the wall time in seconds, and the CPU
# time (user + system) when GNU time is there to measure it.
timed_run() {
    jobs="$1"
    out="$2"
    cpu=""
    status=0
    start=$(now)
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%U %S' -o "$work/cpu-$jobs.txt" "$report" --jobs "$jobs" \
            --pixel-size 1 -o "$out" "$work/images" 2>"$work/err-$jobs.txt" || status=$?
        cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/cpu-$jobs.txt")
    else
        "$report" --jobs "$jobs" --pixel-size 1 -o "$out" "$work/images" \
            2>"$work/err-$jobs.txt" || status=$?
    fi
    end=$(now)
    if [ "$status" -ne 0 ]; then
        echo "rugon-report --jobs $jobs failed (exit $status):" >&2
        cat "$work/err-$jobs.txt" >&2
        exit 1
    fi
    awk -v a="$start" -v b="$end" -v c="$cpu" 'BEGIN {
        printf "%.2f", b - a
        if (c != "") printf " s wall, %.2f s CPU", c
        else printf " s wall"
    }'
}

cores=$(nproc 2>/dev/null || echo "?")
load=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
echo "rugon-report on $count generated ${side} x ${side} images ($cores cores, load $load)"
r1=$(timed_run 1 "$work/jobs1")
echo "  --jobs 1  $r1"
r2=$(timed_run 2 "$work/jobs2")
echo "  --jobs 2  $r2"
t1=${r1%% *}
t2=${r2%% *}

if diff -r -q "$work/jobs1" "$work/jobs2" >"$work/diff.txt"; then
    files=$(find "$work/jobs1" -type f | wc -l)
    echo "  outputs   identical ($files files)"
else
    echo "  outputs   DIFFER:" >&2
    head -20 "$work/diff.txt" >&2
    exit 1
fi
awk -v a="$t1" -v b="$t2" 'BEGIN {
    s = b > 0 ? a / b : 0
    printf "  speed-up  %.2f (target 1.7 on 2 cores: %s)\n", s, (s >= 1.7) ? "met" : "not met"
}'
