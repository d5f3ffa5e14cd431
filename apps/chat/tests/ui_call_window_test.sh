#!/bin/sh
# Drags the floating call out of the real window with X pointer events: it must become a
# top-level window of its own, "Active call", whose Mute control mutes the call; dragged back
# over the window it must be taken in again and its own window must go.
# Usage: ui_call_window_test.sh VEMO_CHAT_BINARY (run under xvfb-run, screen 1700x1000).
set -u
BIN="$1"
WORK=$(mktemp -d)
APP=
cleanup() {
    [ -n "$APP" ] && kill "$APP" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
export VEMO_CHAT_DATA="$WORK/data"
export XDG_CACHE_HOME="$WORK/cache"
export VEMO_CHAT_SHARING=off
export VEMO_CHAT_MEDIA_LOOPBACK=1

fail() {
    echo "FAIL: $*"
    grep -v "^ALSA\|^AL lib" "$WORK/app.log" | tail -20
    exit 1
}

# The call record of the window's user in the document saved so far. The window holds its
# data directory, so a copy is read, under an identity of its own: the automation mode would
# otherwise tidy away its user's call record left from an earlier run.
my_call_record() {
    rm -rf "$WORK/snap"
    cp -r "$WORK/data" "$WORK/snap"
    rm -f "$WORK/snap/peer-id" "$WORK/snap/"*.lock
    echo '{"cmd":"document"}' |
        env -u DISPLAY VEMO_CHAT_DATA="$WORK/snap" timeout 60 "$BIN" --automation 2>/dev/null |
        /usr/bin/python3 -c "import json,sys; d=json.loads(sys.stdin.readline())['result'];
print(d.get('voice',{}).get('c_lounge',{}).get('$ME'))"
}

# Presses at (x0, y0) and drags in steps to (x1, y1) before letting go.
drag() {
    xdotool mousemove "$1" "$2" mousedown 1
    steps=8 i=1
    while [ $i -le $steps ]; do
        xdotool mousemove $(($1 + ($3 - $1) * i / steps)) $(($2 + ($4 - $2) * i / steps))
        sleep 0.08
        i=$((i + 1))
    done
    xdotool mouseup 1
    sleep 0.8
}

"$BIN" >"$WORK/app.log" 2>&1 &
APP=$!
WID=$(timeout 20 xdotool search --sync --onlyvisible --pid "$APP" | head -1)
[ -n "$WID" ] || fail "no window appeared"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$WID")"
[ "$WIDTH" = 1280 ] && [ "$HEIGHT" = 800 ] || fail "window is ${WIDTH}x${HEIGHT}, expected 1280x800"
WX=$X WY=$Y
ME=$(cat "$WORK/data/peer-id")

# Join the call of the new workspace's voice channel "Lounge" from the sidebar.
xdotool mousemove $((WX + 140)) $((WY + 293)) click 1
sleep 1.5
case "$(my_call_record)" in
    *"'muted': False"*) ;;
    *) fail "not in the call after clicking Lounge: $(my_call_record)" ;;
esac
xdotool search --onlyvisible --name '^Active call$' >/dev/null && fail "a call window before the drag"

# The attached call sits at 50.5 % / 30 % of the 1280 x 800 content: its header's middle is
# at (646, 116). Drag it out past the window's right edge.
drag $((WX + 646)) $((WY + 116)) $((WX + 1420)) $((WY + 300))
SID=$(timeout 10 xdotool search --sync --onlyvisible --name '^Active call$' | head -1)
[ -n "$SID" ] || fail "no 'Active call' window after dragging the call out"
if command -v xprop >/dev/null; then
    xprop -id "$SID" WM_WINDOW_ROLE | grep -q '"active-call:c_lounge"' ||
        fail "the call window's role is $(xprop -id "$SID" WM_WINDOW_ROLE)"
fi
eval "$(xdotool getwindowgeometry --shell "$SID")"
# It followed the pointer: grabbed by the middle of its header, it now straddles the edge.
OFF=$((X + WIDTH / 2 - WX - 1420))
[ "$OFF" -ge -2 ] && [ "$OFF" -le 2 ] || fail "the call window is at x=$X, width $WIDTH"

# Mute from the call's own window: the first control, at its bottom left.
xdotool mousemove $((X + 40)) $((Y + HEIGHT - 20)) click 1
sleep 1.5
case "$(my_call_record)" in
    *"'muted': True"*) echo "muted from the call window" ;;
    *) fail "Mute in the call window did not mute: $(my_call_record)" ;;
esac

# Moving the main window leaves the call window where it is on the desktop (a pointer move
# over the main window makes it draw a frame).
xdotool windowmove "$WID" $((WX + 20)) $((WY + 30))
sleep 0.5
WX=$((WX + 20)) WY=$((WY + 30))
xdotool mousemove $((WX + 500)) $((WY + 500))
sleep 0.3
xdotool mousemove $((WX + 510)) $((WY + 520))
sleep 0.8
CX=$X CY=$Y
eval "$(xdotool getwindowgeometry --shell "$WID")"
[ "$X" = "$WX" ] && [ "$Y" = "$WY" ] || fail "the main window did not move: ($X, $Y)"
eval "$(xdotool getwindowgeometry --shell "$SID")"
[ "$X" = "$CX" ] && [ "$Y" = "$CY" ] ||
    fail "the call window moved with the main window: ($CX, $CY) -> ($X, $Y)"

# Drag it back by its header over the main window: it is taken in and its window goes.
drag $((X + WIDTH / 2)) $((Y + 10)) $((WX + 600)) $((WY + 400))
sleep 0.5
xdotool search --onlyvisible --name '^Active call$' >/dev/null &&
    fail "the call window is still there after dragging it back"
case "$(my_call_record)" in
    *"'muted': True"*) ;;
    *) fail "the call changed while it was taken back: $(my_call_record)" ;;
esac

kill -TERM "$APP"
wait "$APP" || fail "the window did not exit cleanly"
APP=
echo "the call went out to its own window, muted there, and came back"
