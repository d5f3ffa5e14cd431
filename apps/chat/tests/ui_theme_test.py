"""The window follows the desktop's colour scheme, live, and the person's own choice wins.

The choice is made in the settings popover and kept in the settings file.

A stand-in for the settings portal answers the colour scheme and announces a change; the
window's background is read back from the X server. Runs under xvfb-run and dbus-run-session.
Usage: ui_theme_test.py VEMO_CHAT_BINARY
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from polling import wait_for, wait_window, xdo

PORTAL = r'''
import sys
from gi.repository import Gio, GLib
XML = """<node><interface name="org.freedesktop.portal.Settings">
<method name="Read"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
<signal name="SettingChanged"><arg type="s"/><arg type="s"/><arg type="v"/></signal>
</interface></node>"""
scheme = [1]  # prefer dark
conn_box = []
def call(conn, sender, path, iface, method, params, invocation):
    ns, key = params.unpack()
    if ns == "org.freedesktop.appearance" and key == "color-scheme":
        invocation.return_value(GLib.Variant("(v)", (GLib.Variant("v", GLib.Variant("u", scheme[0])),)))
    else:
        invocation.return_dbus_error("org.freedesktop.portal.Error.NotFound", "no such setting")
def change(source, condition):
    line = sys.stdin.readline().strip()
    if not line:
        GLib.MainLoop().quit()
        return False
    scheme[0] = int(line)
    conn_box[0].emit_signal(None, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings",
                            "SettingChanged", GLib.Variant("(ssv)", ("org.freedesktop.appearance", "color-scheme",
                                                                     GLib.Variant("u", scheme[0]))))
    print("changed", flush=True)
    return True
def bus_acquired(conn, name):
    conn_box.append(conn)
    info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    conn.register_object("/org/freedesktop/portal/desktop", info, call, None, None)
def acquired(conn, name):
    print("ready", flush=True)
Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.portal.Desktop", Gio.BusNameOwnerFlags.NONE,
                 bus_acquired, acquired, None)
GLib.io_add_watch(sys.stdin, GLib.IO_IN, change)
GLib.MainLoop().run()
'''

PIXEL = r'''
import sys
import gi
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk
x, y = int(sys.argv[1]), int(sys.argv[2])
pb = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x, y, 1, 1)
p = pb.get_pixels()
print((p[0] + p[1] + p[2]) / 3)
'''


def brightness(x, y):
    out = subprocess.run(["/usr/bin/python3", "-c", PIXEL, str(x), str(y)], capture_output=True, text=True)
    return float(out.stdout.strip())


def run_window(binary, root, name, settings):
    env = dict(os.environ, VEMO_CHAT_DATA=os.path.join(root, name), VEMO_CHAT_SHARING="off",
               HOME=os.path.join(root, "home"), XDG_CONFIG_HOME=os.path.join(root, name + "-config"),
               XDG_CACHE_HOME=os.path.join(root, "cache"))
    os.makedirs(os.path.join(root, name + "-config", "vemo-chat"))
    with open(os.path.join(root, name + "-config", "vemo-chat", "settings.ini"), "w") as f:
        f.write(settings)
    proc = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        xdo("windowmove", wait_window(pid=proc.pid), "0", "0")
    except AssertionError:
        proc.kill()
        raise
    return proc


def main():
    binary = sys.argv[1]
    root = tempfile.mkdtemp(prefix="chat-theme-")
    portal = subprocess.Popen(["/usr/bin/python3", "-c", PORTAL], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    windows = []
    try:
        assert portal.stdout.readline().strip() == "ready", "the portal stand-in did not start"
        # A spot of the conversation's background, away from text.
        x, y = 700, 400
        windows.append(run_window(binary, root, "system", "[appearance]\ntheme=system\n"))
        wait_for("a dark window", lambda: brightness(x, y) < 100)
        portal.stdin.write("2\n")  # the desktop now prefers light
        portal.stdin.flush()
        assert portal.stdout.readline().strip() == "changed"
        wait_for("the window to turn light", lambda: brightness(x, y) > 150)
        windows.pop().terminate()

        # The person's choice wins over the desktop's light preference.
        windows.append(run_window(binary, root, "chosen", "[appearance]\ntheme=dark\n"))
        time.sleep(1.5)
        wait_for("the chosen dark window", lambda: brightness(x, y) < 100)

        # The settings popover changes the choice, live and for the next start: the gear in
        # the identity bar, then "Light" in the popover.
        subprocess.run(["xdotool", "mousemove", "289", "772", "click", "1"])
        time.sleep(0.5)
        subprocess.run(["xdotool", "mousemove", "397", "619", "click", "1"])
        wait_for("the window to turn light by choice", lambda: brightness(x, y) > 150)
        with open(os.path.join(root, "chosen-config", "vemo-chat", "settings.ini")) as f:
            assert "theme=light" in f.read(), "the choice was not kept"
        print("theme follows the desktop OK")
        return 0
    except AssertionError as e:
        print("FAIL:", e, "brightness", brightness(700, 400))
        return 1
    finally:
        for w in windows:
            w.terminate()
            w.wait(timeout=20)
        portal.stdin.close()
        portal.terminate()
        portal.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
