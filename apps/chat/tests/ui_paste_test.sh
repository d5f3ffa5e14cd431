#!/bin/sh
# Puts a picture on the real X clipboard, presses Ctrl+V in the composer of the real window,
# then reads the stored document back through the automation mode and looks for the
# attachment under the SHA-256 of the pasted PNG's bytes.
# Usage: ui_paste_test.sh VEMO_CHAT_BINARY (run under xvfb-run).
set -u
BIN="$1"
. "$(dirname "$0")/window_start.sh"
WORK=$(mktemp -d)
export VEMO_CHAT_DATA="$WORK/data"
export XDG_DATA_HOME="$WORK/xdg-data"
export XDG_CACHE_HOME="$WORK/xdg-cache"
OWNER=""
APP=""
cleanup() {
    [ -n "$APP" ] && kill "$APP" 2>/dev/null
    [ -n "$OWNER" ] && kill "$OWNER" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# The clipboard owner: a small GTK program that holds a 40x30 picture until it is killed.
/usr/bin/python3 - "$WORK/ready" <<'PY' &
import sys, gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, Gdk, GdkPixbuf, GLib
pixbuf = GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8, 40, 30)
pixbuf.fill(0x3366ccff)
clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
clipboard.set_image(pixbuf)
clipboard.store()
open(sys.argv[1], 'w').close()
Gtk.main()
PY
OWNER=$!
for _ in $(seq 1 100); do [ -f "$WORK/ready" ] && break; sleep 0.1; done

start_window
xdotool key ctrl+v
# The import runs in the background; give it a moment and a few frames.
sleep 2
xdotool mousemove --window "$WID" 400 300
sleep 1
kill -TERM "$APP"
wait "$APP"
APP=""

PASTED=$(ls "$XDG_CACHE_HOME"/vemo-chat/attachments/pasted/*.png 2>/dev/null | head -1)
if [ -z "$PASTED" ]; then
    echo "no pasted picture was kept"; cat "$WORK/app.log"; exit 1
fi
SUM=$(sha256sum "$PASTED" | cut -c1-64)
if echo '{"cmd":"document"}' | timeout 30 "$BIN" --automation | grep -q "\"blob\":\"$SUM\""; then
    echo "pasted picture found in the document"
    exit 0
fi
echo "pasted picture not found"; cat "$WORK/app.log"; exit 1
