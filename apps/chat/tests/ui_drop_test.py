"""Dropping a file from another program onto the window attaches it to the shown conversation.

A small GTK window stands in for the file manager: it offers one file as "text/uri-list", and
xdotool drags from it onto the chat window with the real X drag-and-drop protocol. The
attachment is then looked up in the document the window saved.
Runs under xvfb-run. Usage: ui_drop_test.py VEMO_CHAT_BINARY
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from polling import wait_window, xdo

SOURCE = r'''
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk, Gdk
uri = sys.argv[1]
win = Gtk.Window(title="drop-source")
win.set_default_size(200, 200)
win.move(0, 0)
box = Gtk.EventBox()
win.add(box)
box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [Gtk.TargetEntry.new("text/uri-list", 0, 0)],
                    Gdk.DragAction.COPY)
# A link first: only local files can be attached, so the window skips it.
box.connect("drag-data-get", lambda w, ctx, data, info, t: data.set_uris(["https://example.org/page", uri]))
win.connect("destroy", Gtk.main_quit)
win.show_all()
print("ready", flush=True)
Gtk.main()
'''


def main():
    binary = sys.argv[1]
    root = tempfile.mkdtemp(prefix="chat-drop-")
    data = os.path.join(root, "data")
    env = dict(os.environ, VEMO_CHAT_DATA=data, VEMO_CHAT_SHARING="off", HOME=os.path.join(root, "home"),
               XDG_CACHE_HOME=os.path.join(root, "cache"), XDG_CONFIG_HOME=os.path.join(root, "config"))
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    dropped = os.path.join(root, "files", "meeting notes.txt")
    os.makedirs(os.path.dirname(dropped))
    with open(dropped, "w") as f:
        f.write("agenda\n")
    uri = "file://" + dropped.replace(" ", "%20")

    chat = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "chat.log"), "wb"))
    source = subprocess.Popen(["/usr/bin/python3", "-c", SOURCE, uri], stdout=subprocess.PIPE, text=True)
    try:
        chat_win = wait_window(pid=chat.pid)
        assert source.stdout.readline().strip() == "ready", "the drag source did not start"
        source_win = wait_window(name="drop-source")
        xdo("windowmove", chat_win, "300", "0")
        xdo("windowmove", source_win, "0", "0")
        time.sleep(1.5)  # let the chat window seed and draw its first frames
        xdo("mousemove", "--sync", "100", "100")
        xdo("mousedown", "1")
        for x in range(110, 900, 40):
            xdo("mousemove", "--sync", str(x), "300")
            time.sleep(0.03)
        time.sleep(0.3)
        xdo("mousemove", "--sync", "800", "300")
        time.sleep(0.3)
        xdo("mouseup", "1")

        # The import runs in the background; give it time, then let the window save and close.
        time.sleep(3)
        chat.terminate()
        chat.wait(timeout=20)
        doc = subprocess.run([binary, "--automation"], input='{"cmd":"document"}\n', env=env,
                             capture_output=True, text=True, timeout=30).stdout
        answer = json.loads(doc.splitlines()[0])
        found = []
        for channel, messages in (answer["result"].get("messages") or {}).items():
            for m in messages or []:
                a = m.get("attachment")
                if isinstance(a, dict) and a.get("name") == "meeting notes.txt":
                    found.append((channel, a))
        if not found:
            print("FAIL: the dropped file is not in the document")
            print(open(os.path.join(root, "chat.log")).read()[-2000:])
            return 1
        print("dropped file attached in", found[0][0], found[0][1])
        return 0
    finally:
        if chat.poll() is None:
            chat.kill()
        source.terminate()
        source.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
