#!/bin/sh
# Types into the composer of the real window with X key events, then reads the stored
# document back through the automation mode and looks for the message.
# Usage: ui_typing_test.sh VEMO_CHAT_BINARY (run under xvfb-run).
set -u
BIN="$1"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export VEMO_CHAT_DATA="$WORK/data"
TEXT="typed through real key events"

"$BIN" >"$WORK/app.log" 2>&1 &
APP=$!
WID=$(timeout 20 xdotool search --sync --onlyvisible --pid "$APP" | head -1)
if [ -z "$WID" ]; then
    echo "no window appeared"; kill "$APP"; cat "$WORK/app.log"; exit 1
fi
sleep 1
xdotool windowfocus --sync "$WID"
xdotool type --delay 15 "$TEXT"
xdotool key Return
sleep 1
kill -TERM "$APP"
wait "$APP"

if echo '{"cmd":"document"}' | timeout 30 "$BIN" --automation | grep -q "\"text\":\"$TEXT\""; then
    echo "message found in the document"
    exit 0
fi
echo "message not found"; cat "$WORK/app.log"; exit 1
