#!/bin/sh
# Analyses the bundled example. With a display the result window opens (Escape ends it);
# without one the run goes under a virtual X server and a screenshot of the window is saved.
set -eu
program=$(readlink -f "$1")
folder=$2
here=$(cd "$(dirname "$0")" && pwd)
cd "$folder"
if [ -n "${DISPLAY:-}" ]; then
    exec "$program"
fi
shot="$(dirname "$program")/example-window.png"
"$here/xrun.sh" --screenshot "$shot" --settle 2 "$program"
if [ -f "$shot" ]; then
    echo "No display here: the result window was shown on a virtual X server."
    echo "Screenshot of the window: $shot"
fi
