#!/bin/sh
# Two windows under one X server share a workspace: a message typed into the first shows
# up in the second while both run. Usage: two_windows_test.sh VEMO_CHAT_BINARY (under xvfb-run).
set -u
BIN="$1"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export VEMO_CHAT_SYNC_LOOPBACK=1
TEXT="typed in one window, shown in the other"

# The first device makes an invite; its endpoint keeps its port, so the invite stays valid.
INVITE=$(echo '{"cmd":"invite"}' | VEMO_CHAT_DATA="$WORK/a" timeout 30 "$BIN" --automation 2>/dev/null |
         sed -n 's/.*"invite":"\([^"]*\)".*/\1/p')
[ -n "$INVITE" ] || { echo "no invite"; exit 1; }

VEMO_CHAT_DATA="$WORK/a" HOSTNAME=alpha "$BIN" >"$WORK/a.log" 2>&1 &
A=$!
VEMO_CHAT_DATA="$WORK/b" HOSTNAME=beta "$BIN" --join "$INVITE" >"$WORK/b.log" 2>&1 &
B=$!
WA=$(timeout 20 xdotool search --sync --onlyvisible --pid "$A" | head -1)
WB=$(timeout 20 xdotool search --sync --onlyvisible --pid "$B" | head -1)
if [ -z "$WA" ] || [ -z "$WB" ]; then
    echo "windows did not appear"; kill "$A" "$B"; cat "$WORK/a.log" "$WORK/b.log"; exit 1
fi
sleep 3
xdotool windowfocus --sync "$WA"
xdotool type --delay 15 "$TEXT"
xdotool key Return
sleep 3
# What the second window received is in its document on disk once it has closed.
kill -TERM "$B"
wait "$B"
kill -TERM "$A"
wait "$A"

if echo '{"cmd":"document"}' | VEMO_CHAT_DATA="$WORK/b" VEMO_CHAT_SHARING=off timeout 30 "$BIN" --automation 2>/dev/null |
   grep -q "\"text\":\"$TEXT\""; then
    echo "message reached the second window"
    exit 0
fi
echo "message did not reach the second window"; cat "$WORK/a.log" "$WORK/b.log"; exit 1
