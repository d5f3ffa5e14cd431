#!/bin/sh
# Types into the composer of the real window with X key events, quits with Ctrl+Q, then reads
# the stored document back through the automation mode and looks for the message. A second
# start types again and has its window destroyed from outside: the program must end and keep
# what was typed.
# Usage: ui_typing_test.sh VEMO_CHAT_BINARY (run under xvfb-run).
set -u
BIN="$1"
. "$(dirname "$0")/window_start.sh"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export VEMO_CHAT_DATA="$WORK/data"

# type_and_end TEXT HOW: starts the window, types TEXT and Return, then ends the window by HOW
# ("ctrl+q" or "destroy") and waits up to 10 s for the process to exit.
type_and_end() {
    start_window
    xdotool type --delay 15 "$1"
    xdotool key Return
    sleep 1
    if [ "$2" = ctrl+q ]; then xdotool key ctrl+q; else xdotool windowclose "$WID"; fi
    for _ in $(seq 50); do
        kill -0 "$APP" 2>/dev/null || break
        sleep 0.2
    done
    if kill -0 "$APP" 2>/dev/null; then
        echo "the program kept running after $2"; kill -TERM "$APP"; wait "$APP"
        cat "$WORK/app.log"; exit 1
    fi
    wait "$APP"
    if ! echo '{"cmd":"document"}' | timeout 30 "$BIN" --automation | grep -q "\"text\":\"$1\""; then
        echo "message not found after $2"; cat "$WORK/app.log"; exit 1
    fi
    echo "message found in the document after $2"
}

type_and_end "typed through real key events" ctrl+q
type_and_end "typed before the window was destroyed" destroy
