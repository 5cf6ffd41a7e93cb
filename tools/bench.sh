#!/bin/sh
# Builds and runs the benchmark: tools/bench.sh [BUILD_DIR] [rugon-bench options].
# The build folder defaults to "build"; options such as --reps N or --quick go to rugon-bench.
# Not part of the test command: it takes a minute or two and its times depend on the machine.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"
if [ $# -gt 0 ]; then shift; fi
case "$build" in /*) ;; *) build="$root/$build" ;; esac
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target rugon-bench -j"${JOBS:-2}"
exec "$build/tools/bench/rugon-bench" --examples "$root/examples" "$@"
