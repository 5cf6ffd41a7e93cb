#!/bin/sh
# Runs a program that may open the result window, ends it with an Escape key press once the
# window has drawn its first frame, and exits with the program's own exit status.
#
#   tools/xrun.sh [--screenshot FILE] [--verdict FILE] [--timeout SECONDS] [--settle SECONDS]
#                 PROGRAM [ARGS...]
#
# Without a display the whole run goes under a virtual X server (Xvfb) with Mesa's software
# renderer. The window exists from the start of a run but stays black until the event loop draws
# the first frame (after the analysis of every image), so the drawing, not the window, tells
# that the results are shown. A program that ends without drawing simply has its status
# returned. After the timeout (default 120 s) the program is killed and the status is 124; 125
# means it did not end on Escape; the virtual server's whole session ends after the timeout and
# another 60 s (status 124). `--verdict FILE` receives "drawn", "none" (ended without
# drawing) or "timeout". `--screenshot FILE` receives the window (550 x 550, 8-bit; PNG or PPM
# by the file's extension).
set -u

screenshot=""
verdict=""
timeout=120
settle=1
while [ $# -gt 0 ]; do
    case "$1" in
        --screenshot) screenshot="$2"; shift 2 ;;
        --verdict) verdict="$2"; shift 2 ;;
        --timeout) timeout="$2"; shift 2 ;;
        --settle) settle="$2"; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] || { echo "usage: xrun.sh [--screenshot FILE] [--verdict FILE] [--timeout S] PROGRAM [ARGS...]" >&2; exit 2; }

if [ -z "${DISPLAY:-}" ]; then
    # A virtual X server of our own. It picks a free display itself and writes its number and a
    # line end to descriptor 3 once it accepts clients (-displayfd). xvfb-run is not used: it
    # waits for the server's ready signal with a trap and `wait`, and a signal that arrives
    # before the `wait` leaves it waiting for the server to exit, for ever (seen under load).
    export LIBGL_ALWAYS_SOFTWARE=1
    state=$(mktemp -d "${TMPDIR:-/tmp}/rugon-xrun.XXXXXX") || exit 2
    : >"$state/display"
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset \
        3>>"$state/display" 2>"$state/server.log" &
    server=$!
    stop_server() {
        kill "$server" 2>/dev/null
        waited=0
        while kill -0 "$server" 2>/dev/null && [ "$waited" -lt 50 ]; do
            sleep 0.1; waited=$((waited + 1))
        done
        kill -9 "$server" 2>/dev/null
        wait "$server" 2>/dev/null
        rm -rf "$state"
    }
    trap 'stop_server; exit 143' TERM INT HUP
    waited=0
    while [ "$(wc -l <"$state/display")" -lt 1 ]; do
        if ! kill -0 "$server" 2>/dev/null || [ "$waited" -ge 300 ]; then
            echo "xrun: the virtual X server did not start within 30 s:" >&2
            cat "$state/server.log" >&2
            stop_server
            exit 2
        fi
        sleep 0.1; waited=$((waited + 1))
    done
    DISPLAY=:$(head -n 1 "$state/display")
    export DISPLAY
    # The whole run is bounded too: whatever holds it must fail the run, not the suite.
    timeout -k 10 $((timeout + 60)) "$0" --timeout "$timeout" --settle "$settle" \
        ${screenshot:+--screenshot "$screenshot"} ${verdict:+--verdict "$verdict"} "$@"
    status=$?
    stop_server
    exit "$status"
fi

say() { [ -n "$verdict" ] && echo "$1" >"$verdict"; return 0; }

# Runs a command for at most SECONDS, then sends TERM, and KILL two seconds later: ImageMagick's
# TERM handler can deadlock (seen: convert asleep on a lock with TERM blocked, for ever), and a
# plain `timeout` then waits for it without end.
bounded() {
    seconds=$1; shift
    timeout -k 2 "$seconds" "$@"
}

# True when the window shows drawn content: an undrawn window is black, a drawn one mostly grey.
drawn() {
    # A window that goes away while it is read can leave import waiting for ever: bounded.
    mean=$(bounded 10 import -window "$1" -depth 8 ppm:- 2>/dev/null |
        bounded 10 convert ppm:- -format '%[fx:mean]' info:- 2>/dev/null)
    [ -n "$mean" ] && awk -v m="$mean" 'BEGIN { exit !(m > 0.1) }'
}

say none
"$@" &
pid=$!
started=$(date +%s)
window=""
while kill -0 "$pid" 2>/dev/null; do
    candidate=$(bounded 10 xdotool search --name '^Rugon 11$' 2>/dev/null | head -n 1)
    if [ -n "$candidate" ] && drawn "$candidate"; then
        window=$candidate
        break
    fi
    if [ $(( $(date +%s) - started )) -ge "$timeout" ]; then
        kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
        say timeout
        echo "xrun: no drawn window and no exit after ${timeout}s" >&2
        exit 124
    fi
    sleep 0.2
done

if [ -n "$window" ] && kill -0 "$pid" 2>/dev/null; then
    say drawn
    sleep "$settle"
    if [ -n "$screenshot" ]; then
        bounded 20 import -window root -crop 550x550+0+0 -depth 8 "$screenshot" 2>/dev/null ||
            echo "xrun: screenshot failed" >&2
    fi
    bounded 10 xdotool key --window "$window" Escape 2>/dev/null ||
        bounded 10 xdotool key Escape 2>/dev/null
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
