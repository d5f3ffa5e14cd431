#!/bin/sh
# Opens the installed program's window and checks that the desktop can match it to its launcher
# entry (WM_CLASS against StartupWMClass) and finds its icon in the installed icon theme.
# Usage: ui_window_class_test.sh BUILD_DIR (run under xvfb-run).
set -u
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
DESTDIR="$WORK/root" cmake --install "$1" --prefix /usr >/dev/null || exit 1
USR="$WORK/root/usr"
export VEMO_CHAT_DATA="$WORK/data" XDG_CACHE_HOME="$WORK/cache"
export XDG_DATA_DIRS="$USR/share:${XDG_DATA_DIRS:-/usr/share}"

"$USR/bin/vemo-chat" >"$WORK/app.log" 2>&1 &
APP=$!
WID=$(timeout 20 xdotool search --sync --onlyvisible --pid "$APP" | head -1)
if [ -z "$WID" ]; then
    echo "no window appeared"; kill "$APP"; cat "$WORK/app.log"; exit 1
fi
CLASS=$(xprop -id "$WID" WM_CLASS)
ICON=$(xprop -id "$WID" _NET_WM_ICON | head -1)
kill "$APP"; wait "$APP"

WANT=$(sed -n 's/^StartupWMClass=//p' "$USR/share/applications/so.vemo.chat.desktop")
case "$CLASS" in
    *"\"$WANT\""*) ;;
    *) echo "window class is $CLASS, the launcher entry expects \"$WANT\""; exit 1 ;;
esac
case "$ICON" in
    *"Icon ("*) ;;
    *) echo "the window has no icon: $ICON"; exit 1 ;;
esac
echo "window class and icon OK"
