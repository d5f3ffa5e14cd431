#!/bin/sh
# Joins a voice channel in the real window, ends the program, then reads the stored document
# back through the automation mode. Ctrl+Q and closing the window leave the call first, so the
# document no longer lists this device in it; a termination signal (a restart) keeps the call
# for the next start, so there the record stays.
# Usage: ui_call_quit_test.sh VEMO_CHAT_BINARY (run under xvfb-run).
set -u
BIN="$1"
. "$(dirname "$0")/window_start.sh"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# in_call_after HOW: a fresh data directory, the window started, "Lounge" clicked in the
# sidebar, then the program ended by HOW ("ctrl+q", "close" or "term"); sets LISTED to who the
# stored document lists in that call.
in_call_after() {
    export VEMO_CHAT_DATA="$WORK/$1"
    start_window
    xdotool windowsize --sync "$WID" 1280 800
    sleep 0.5
    # The first-run workspace's voice channel in the sidebar of a 1280 x 800 window.
    xdotool mousemove --window "$WID" 140 294 click 1
    sleep 1.5
    case "$1" in
        ctrl+q) xdotool key ctrl+q ;;
        close) xdotool windowclose "$WID" ;;
        term) kill -TERM "$APP" ;;
    esac
    for _ in $(seq 50); do
        kill -0 "$APP" 2>/dev/null || break
        sleep 0.2
    done
    if kill -0 "$APP" 2>/dev/null; then
        echo "the program kept running after $1"; kill -KILL "$APP"
        cat "$WORK/app.log"; exit 1
    fi
    wait "$APP"
    echo '{"cmd":"document"}' | timeout 30 "$BIN" --automation >"$WORK/doc.json" 2>>"$WORK/app.log"
    LISTED=$(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    doc = json.loads(line)
    doc = doc.get("result", doc)
    if isinstance(doc, dict) and "channels" in doc:
        print(" ".join(sorted(((doc.get("voice") or {}).get("c_lounge") or {}).keys())))
        break
else:
    sys.exit("no document read back")
' "$WORK/doc.json") || exit 1
}

# A restart keeps the call: this also shows that the click joined it.
in_call_after term
if [ -z "$LISTED" ]; then
    echo "the click did not join the call (nobody listed after a termination signal)"
    cat "$WORK/app.log"; exit 1
fi
echo "listed after a termination signal: $LISTED"
for how in ctrl+q close; do
    in_call_after "$how"
    if [ -n "$LISTED" ]; then
        echo "still listed in the call after $how: $LISTED"; tail -20 "$WORK/app.log"; exit 1
    fi
    echo "the call was left on $how"
done
