#!/bin/sh
# Runs a program that may open the result window, ends it with an Escape key press once the
# window is shown, and exits with the program's own exit status.
#
#   tools/xrun.sh [--screenshot FILE] [--timeout SECONDS] [--settle SECONDS] PROGRAM [ARGS...]
#
# Without a display the whole run goes under a virtual X server (xvfb-run) with Mesa's software
# renderer. A program that ends without opening a window simply has its status returned. After
# the timeout (default 120 s) the program is killed and the status is 124.
set -u

screenshot=""
timeout=120
settle=1
while [ $# -gt 0 ]; do
    case "$1" in
        --screenshot) screenshot="$2"; shift 2 ;;
        --timeout) timeout="$2"; shift 2 ;;
        --settle) settle="$2"; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] || { echo "usage: xrun.sh [--screenshot FILE] [--timeout S] PROGRAM [ARGS...]" >&2; exit 2; }

if [ -z "${DISPLAY:-}" ]; then
    export LIBGL_ALWAYS_SOFTWARE=1
    set -- --timeout "$timeout" --settle "$settle" ${screenshot:+--screenshot "$screenshot"} "$@"
    exec xvfb-run -a -s "-screen 0 800x600x24 -nolisten tcp -noreset" "$0" "$@"
fi

"$@" &
pid=$!
started=$(date +%s)
window=""
while kill -0 "$pid" 2>/dev/null; do
    window=$(xdotool search --name '^Rugon 11$' 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    if [ $(( $(date +%s) - started )) -ge "$timeout" ]; then
        kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
        echo "xrun: no window and no exit after ${timeout}s" >&2
        exit 124
    fi
    sleep 0.1
done

if [ -n "$window" ] && kill -0 "$pid" 2>/dev/null; then
    sleep "$settle"
    if [ -n "$screenshot" ]; then
        import -window root -crop 550x550+0+0 -depth 8 "$screenshot" 2>/dev/null ||
            echo "xrun: screenshot failed" >&2
    fi
    xdotool key --window "$window" Escape 2>/dev/null || xdotool key Escape 2>/dev/null
    waited=0
    while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt 100 ]; do
        sleep 0.1; waited=$((waited + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
        echo "xrun: the program did not end on Escape" >&2
        exit 125
    fi
fi
wait "$pid"
exit $?
