"""A mention from another device makes a desktop notification; clicking it opens the message.

Runs under xvfb-run and dbus-run-session. A small stand-in for the desktop's notification
server records every Notify call and clicks the ones whose text asks for it. Device B (an
automation session) invites window A, mutes nothing itself, and writes messages that mention
A's person: one in a channel A muted, one in a channel A is not looking at. The stand-in
reads markup in bodies, so the text arrives escaped.
Usage: ui_notification_test.py VEMO_CHAT_BINARY
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

from polling import find_window, wait_for, xdo

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "share"))
from devices import Device  # noqa: E402

SERVER = r'''
import json, sys
from gi.repository import Gio, GLib
XML = """<node><interface name="org.freedesktop.Notifications">
<method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
<arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
<arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/></method>
<method name="CloseNotification"><arg type="u" direction="in"/></method>
<method name="GetCapabilities"><arg type="as" direction="out"/></method>
<method name="GetServerInformation"><arg type="s" direction="out"/><arg type="s" direction="out"/>
<arg type="s" direction="out"/><arg type="s" direction="out"/></method>
<signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
</interface></node>"""
log = open(sys.argv[1], "a", buffering=1)
counter = [0]
def call(conn, sender, path, iface, method, params, invocation):
    if method == "Notify":
        app, replaces, icon, summary, body, actions, hints, timeout = params.unpack()
        counter[0] += 1
        nid = counter[0]
        log.write(json.dumps({"app": app, "summary": summary, "body": body, "actions": actions,
                              "id": nid}) + "\n")
        invocation.return_value(GLib.Variant("(u)", (nid,)))
        if "[click]" in body:
            GLib.timeout_add(300, lambda: conn.emit_signal(None, path, iface, "ActionInvoked",
                                                            GLib.Variant("(us)", (nid, "default"))) and False)
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["body", "body-markup", "actions"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("stand-in", "test", "1", "1.2")))
    else:
        invocation.return_value(None)
def acquired(conn, name):
    print("ready", flush=True)
def bus_acquired(conn, name):
    info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    conn.register_object("/org/freedesktop/Notifications", info, call, None, None)
Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE,
                 bus_acquired, acquired, None)
GLib.MainLoop().run()
'''


def window_title(pid):
    window = find_window(pid=pid)
    return xdo("getwindowname", window) if window else None


def main():
    binary = sys.argv[1]
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("no session bus (run under dbus-run-session)")
        return 1
    root = tempfile.mkdtemp(prefix="chat-notify-")
    log_path = os.path.join(root, "notifications.jsonl")
    open(log_path, "w").close()
    server = subprocess.Popen(["/usr/bin/python3", "-c", SERVER, log_path], stdout=subprocess.PIPE, text=True)
    window = None
    b = None
    try:
        assert server.stdout.readline().strip() == "ready", "the notification stand-in did not start"
        b = Device(binary, root, "b")
        invite = b.call({"cmd": "invite"})["invite"]
        b_person = next(iter(b.call({"cmd": "document"})["users"]))
        for cid, name in (("c_quiet", "quiet"), ("c_other", "other")):
            b.call({"cmd": "dispatch", "kind": "chat.action", "json": {"CreateChannel": {
                "workspace": "ws_home", "category": "cat_home_text", "id": cid, "name": name, "kind": "Text"}}})

        a_data = os.path.join(root, "a")
        os.makedirs(a_data)
        with open(os.path.join(a_data, "peer-id"), "w") as f:
            f.write("u_alice\n")
        config = os.path.join(root, "a-config", "vemo-chat")
        os.makedirs(config)
        with open(os.path.join(config, "settings.ini"), "w") as f:
            f.write("[notifications]\nenabled=true\nmuted=c_quiet;\n")
        env = dict(os.environ, VEMO_CHAT_DATA=a_data, VEMO_CHAT_SYNC_LOOPBACK="1", HOME=os.path.join(root, "a-home"),
                   XDG_CONFIG_HOME=os.path.join(root, "a-config"), XDG_CACHE_HOME=os.path.join(root, "a-cache"),
                   USER="alice", HOSTNAME="alpha")
        a_log = open(os.path.join(root, "a.log"), "wb")
        window = subprocess.Popen([binary, "--join", invite], env=env, stdout=a_log, stderr=a_log)
        wait_for("the window", lambda: window_title(window.pid))
        wait_for("the window to join", lambda: "u_alice" in (b.call({"cmd": "document"}).get("users") or {}))
        wait_for("the joined workspace in the title", lambda: window_title(window.pid) == "Chat")

        def post(channel, text):
            b.call({"cmd": "dispatch", "kind": "chat.action", "json": {"SendMessage": {
                "channel": channel, "id": "m_" + str(uuid.uuid4()), "author": b_person, "ts": int(time.time()), "text": text,
                "mentions": [{"user": "u_alice", "start": len(text) - 6, "len": 6, "is_agent": False}]}}})

        post("c_quiet", "shh @Alice")
        post("c_other", "look here [click] **<b>now</b> & then** @Alice")

        def notes():
            b.sharing(settle_ms=100)  # an automation session sends its changes while it runs commands
            with open(log_path) as f:
                return [json.loads(line) for line in f if line.strip()]
        note = wait_for("the notification", lambda: next((n for n in notes() if "look here" in n["body"]), None))
        assert note["summary"].endswith(" in #other"), note
        # As shown in the window (no Markdown), escaped for a server that reads markup.
        assert note["body"] == "look here [click] &lt;b&gt;now&lt;/b&gt; &amp; then @Alice", note
        assert "default" in note["actions"], note
        # The click opens #other, which reads it: only the muted channel's message stays unread.
        wait_for("the clicked message to be shown", lambda: window_title(window.pid) == "(1) Chat")
        assert not [n for n in notes() if "shh" in n["body"]], "a muted channel notified"
        print("notification OK:", note["summary"])
        return 0
    except Exception as e:
        print("FAIL:", e)
        if window:
            print("title:", window_title(window.pid))
        with open(log_path) as f:
            print("notifications:", f.read())
        return 1
    finally:
        if window:
            window.terminate()
            window.wait(timeout=20)
        if b:
            b.stop()
        server.terminate()
        server.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
