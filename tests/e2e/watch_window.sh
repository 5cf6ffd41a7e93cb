#!/bin/sh
# Runs PROGRAM (which may open the result window) and records whether the window was drawn:
# once the window shows drawn content, Escape is pressed and the verdict is "drawn"; when the
# program ends by itself without drawing, the verdict is "none". The window exists from the
# start of a run but stays black until the event loop draws the first frame, so the drawing,
# not the window, tells that the results are shown.
#
#   tests/e2e/watch_window.sh VERDICT_FILE TIMEOUT_SECONDS PROGRAM [ARGS...]
#
# Exits with the program's status; 124 (verdict "timeout") when it neither ended nor drew within
# the timeout, 125 (verdict "drawn") when it did not end on Escape. Without a display the run
# goes under a virtual X server with Mesa's software renderer.
set -u
[ $# -ge 3 ] || { echo "usage: watch_window.sh VERDICT_FILE TIMEOUT PROGRAM [ARGS...]" >&2; exit 2; }
verdict=$1
timeout=$2
shift 2

if [ -z "${DISPLAY:-}" ]; then
    export LIBGL_ALWAYS_SOFTWARE=1
    exec xvfb-run -a -s "-screen 0 800x600x24 -nolisten tcp -noreset" "$0" "$verdict" "$timeout" "$@"
fi

# True when the window's mean brightness shows drawn plots (an undrawn window is black).
drawn() {
    mean=$(import -window "$1" -depth 8 ppm:- 2>/dev/null |
        convert ppm:- -format '%[fx:mean]' info:- 2>/dev/null)
    [ -n "$mean" ] && awk -v m="$mean" 'BEGIN { exit !(m > 0.1) }'
}

echo none >"$verdict"
"$@" &
pid=$!
started=$(date +%s)
while kill -0 "$pid" 2>/dev/null; do
    if [ $(($(date +%s) - started)) -ge "$timeout" ]; then
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        echo timeout >"$verdict"
        exit 124
    fi
    window=$(xdotool search --name '^Rugon 11$' 2>/dev/null | head -n 1)
    if [ -n "$window" ] && drawn "$window"; then
        echo drawn >"$verdict"
        xdotool key --window "$window" Escape 2>/dev/null || xdotool key Escape 2>/dev/null
        waited=0
        while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt 100 ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        if kill -0 "$pid" 2>/dev/null; then
            kill -9 "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
            exit 125
        fi
        break
    fi
    sleep 0.2
done
wait "$pid"
