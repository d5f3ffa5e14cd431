#!/bin/sh
# One window per data directory: a second launch raises the first window and exits 0, an invite
# link given to it reaches the first window (which sets its document aside to join), a malformed
# invite is refused by the launch that got it, and another data directory still gets a window
# of its own. Usage: ui_single_instance_test.sh VEMO_CHAT_BINARY
# (under xvfb-run and dbus-run-session).
set -u
BIN="$1"
WORK=$(mktemp -d)
A=""
cleanup() { [ -n "$A" ] && kill "$A" 2>/dev/null; rm -rf "$WORK"; }
trap cleanup EXIT
export VEMO_CHAT_SYNC_LOOPBACK=1 XDG_CACHE_HOME="$WORK/cache" XDG_CONFIG_HOME="$WORK/config"
fail() { echo "FAIL: $*"; cat "$WORK/a.log"; exit 1; }
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || fail "no session bus (run under dbus-run-session)"

INVITE=$(echo '{"cmd":"invite"}' | VEMO_CHAT_DATA="$WORK/inviter" timeout 30 "$BIN" --automation 2>/dev/null |
         sed -n 's/.*"invite":"\([^"]*\)".*/\1/p')
[ -n "$INVITE" ] || fail "no invite"

export VEMO_CHAT_DATA="$WORK/a"
"$BIN" >"$WORK/a.log" 2>&1 &
A=$!
WA=$(timeout 20 xdotool search --sync --onlyvisible --pid "$A" | head -1)
[ -n "$WA" ] || fail "the first window did not appear"

windows() { xdotool search --onlyvisible --class so.vemo.chat 2>/dev/null | wc -l; }

timeout 20 "$BIN" >"$WORK/second.log" 2>&1 || fail "a plain second launch exited $? ($(cat "$WORK/second.log"))"
sleep 1
[ "$(windows)" -eq 1 ] || fail "a second window opened"
kill -0 "$A" || fail "the first window went away"

timeout 20 "$BIN" --join "not an invite" >"$WORK/bad.log" 2>&1
status=$?
[ "$status" -eq 2 ] || fail "a malformed invite exited $status, expected 2"
grep -q "malformed invite" "$WORK/bad.log" || fail "no reason for the refusal: $(cat "$WORK/bad.log")"

# The desktop hands links over percent-encoded.
LINK="vemo-chat:join?invite=$(echo "$INVITE" | sed 's/:/%3A/')"
timeout 20 "$BIN" "$LINK" >"$WORK/link.log" 2>&1 || fail "the link launch exited $? ($(cat "$WORK/link.log"))"
i=0
until ls "$WORK/a" | grep -q "before-join"; do
    i=$((i + 1))
    [ "$i" -le 40 ] || fail "the first window did not start joining"
    sleep 0.25
done
kill -0 "$A" || fail "the first window went away while joining"
[ "$(windows)" -eq 1 ] || fail "the link opened a window of its own"

# Another data directory is another person's: it runs beside the first.
VEMO_CHAT_DATA="$WORK/c" timeout 30 "$BIN" --frames 3 >"$WORK/c.log" 2>&1 ||
    fail "a launch with another data directory exited $? ($(cat "$WORK/c.log"))"
kill -0 "$A" || fail "the first window went away"

kill -TERM "$A"
wait "$A" || fail "the first window exited $?"
A=""
echo "single instance OK"
