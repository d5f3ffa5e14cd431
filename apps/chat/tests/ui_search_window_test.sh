#!/bin/sh
# Searches in the real window with X key events: Ctrl+K, a query, Enter. The conversation
# that holds the message found must be the one shown, which the document records as read.
# Usage: ui_search_window_test.sh VEMO_CHAT_BINARY (run under xvfb-run).
set -u
BIN="$1"
. "$(dirname "$0")/window_start.sh"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export VEMO_CHAT_DATA="$WORK/data"
export XDG_CACHE_HOME="$WORK/cache"

automation() {
    printf '%s\n' "$@" | env -u DISPLAY timeout 60 "$BIN" --automation 2>/dev/null
}
field() {  # field PYTHON_EXPRESSION_ON_ANSWERS
    /usr/bin/python3 -c "import json,sys; a=[json.loads(l) for l in sys.stdin]; print($1)"
}

# A new, empty conversation sorts first and is shown at start; the message is posted to
# #general, so finding it means moving there.
automation '{"cmd":"invoke","address":"chat.workspace:ws_home","action":"new-channel","value":"zoo-planning"}' >/dev/null
automation '{"cmd":"invoke","address":"chat.channel:c_general","action":"post","value":"Zebra crossing timetable"}' >/dev/null
CHANNEL_ID=c_general
BEFORE=$(automation '{"cmd":"document"}' | field "a[0]['result'].get('read',{}).get('$CHANNEL_ID',{})")
case "$BEFORE" in *": 1"*) echo "#general was already read: $BEFORE"; exit 1 ;; esac

start_window
xdotool key ctrl+k
sleep 0.3
xdotool type --delay 20 "zebra cross"
sleep 0.5
xdotool key Return
sleep 1
kill -TERM "$APP"
wait "$APP"

READ=$(automation '{"cmd":"document"}' | field "a[0]['result'].get('read',{}).get('$CHANNEL_ID',{})")
case "$READ" in
    *": 1"*) echo "the conversation of the message found was shown"; exit 0 ;;
esac
echo "the conversation was not shown (read marks: $READ)"; cat "$WORK/app.log"; exit 1
