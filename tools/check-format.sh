#!/bin/sh
# Fails when a C++ source of the project is not formatted by clang-format.
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files 'src/*.h' 'src/*.cpp' 'tests/*.h' 'tests/*.cpp' 'tools/*.h' 'tools/*.cpp' 'python/*.cpp' 2>/dev/null || true)
[ -n "$files" ] || exit 0
bad=""
for f in $files; do
    [ -f "$f" ] || continue
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then bad="$bad $f"; fi
done
if [ -n "$bad" ]; then
    echo "format: these files need clang-format (run 'make format'):$bad" >&2
    exit 1
fi
echo "format: all sources formatted"
