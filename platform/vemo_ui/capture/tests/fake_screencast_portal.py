#!/usr/bin/python3
"""A stand-in for the desktop portal's ScreenCast interface on the session bus, for tests.

Usage: fake_screencast_portal.py MODE [NODE]
  grant   answer Start with stream NODE (1280x960) and hand out a PipeWire remote
  cancel  the user closes the dialogue
  fail    the portal reports a failure
  vanish  the portal process dies while the dialogue is open
  close   the portal closes the session instead of answering
  hold    never answer
Every call is appended to the file named by VEMO_FAKE_PORTAL_LOG, one line each.
"""
import os
import socket
import sys

from gi.repository import Gio, GLib

BUS_NAME = "org.freedesktop.portal.Desktop"
OBJECT_PATH = "/org/freedesktop/portal/desktop"
XML = """
<node>
  <interface name="org.freedesktop.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="SelectSources">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="OpenPipeWireRemote">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="h" name="fd" direction="out"/>
    </method>
    <property name="AvailableSourceTypes" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.Request">
    <method name="Close"/>
  </interface>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
    <signal name="Closed"><arg type="a{sv}" name="details"/></signal>
  </interface>
</node>
"""

mode = sys.argv[1] if len(sys.argv) > 1 else "grant"
node = int(sys.argv[2]) if len(sys.argv) > 2 else 42
log_path = os.environ.get("VEMO_FAKE_PORTAL_LOG")
info = Gio.DBusNodeInfo.new_for_xml(XML)
screencast, request_iface, session_iface = info.interfaces
loop = GLib.MainLoop()
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
kept = []


def log(line):
    if log_path:
        with open(log_path, "a") as f:
            f.write(line + "\n")


def sender_part(sender):
    return sender[1:].replace(".", "_")


def request_call(conn, sender, path, iface, method, params, invocation):
    log("Request.%s" % method)
    invocation.return_value(None)


def new_request(conn, sender, options):
    path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
        sender_part(sender), options["handle_token"])
    conn.register_object(path, request_iface, request_call, None, None)
    return path


def respond(sender, path, code, results):
    def emit():
        bus.emit_signal(sender, path, "org.freedesktop.portal.Request", "Response",
                        GLib.Variant("(ua{sv})", (code, results)))
        return False
    GLib.idle_add(emit)


def session_call(conn, sender, path, iface, method, params, invocation):
    log("Session.%s %s" % (method, path))
    invocation.return_value(None)


def remote_fd():
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    path = os.path.join(runtime, os.environ.get("PIPEWIRE_REMOTE", "pipewire-0"))
    if runtime and os.path.exists(path):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(path)
    else:
        s, other = socket.socketpair()
        kept.append(other)
    kept.append(s)
    return s.fileno()


def method_call(conn, sender, path, iface, method, params, invocation):
    args = params.unpack()
    if method == "CreateSession":
        options = args[0]
        request = new_request(conn, sender, options)
        session = "/org/freedesktop/portal/desktop/session/%s/%s" % (
            sender_part(sender), options["session_handle_token"])
        conn.register_object(session, session_iface, session_call, None, None)
        log("CreateSession %s" % session)
        invocation.return_value(GLib.Variant("(o)", (request,)))
        respond(sender, request, 0, {"session_handle": GLib.Variant("s", session)})
    elif method == "SelectSources":
        session, options = args
        request = new_request(conn, sender, options)
        log("SelectSources types=%d cursor_mode=%d" % (options.get("types", 0),
                                                       options.get("cursor_mode", 0)))
        invocation.return_value(GLib.Variant("(o)", (request,)))
        respond(sender, request, 0, {})
    elif method == "Start":
        session, parent, options = args
        request = new_request(conn, sender, options)
        log("Start parent=%r" % parent)
        invocation.return_value(GLib.Variant("(o)", (request,)))
        if mode == "grant":
            stream = (node, {"size": GLib.Variant("(ii)", (1280, 960)),
                             "source_type": GLib.Variant("u", 1)})
            respond(sender, request, 0, {"streams": GLib.Variant("a(ua{sv})", [stream])})
        elif mode == "cancel":
            respond(sender, request, 1, {})
        elif mode == "fail":
            respond(sender, request, 2, {})
        elif mode == "vanish":
            GLib.idle_add(lambda: os._exit(0))
        elif mode == "close":
            GLib.idle_add(lambda: bus.emit_signal(sender, session, "org.freedesktop.portal.Session",
                                                  "Closed", GLib.Variant("(a{sv})", ({},))) and False)
    elif method == "OpenPipeWireRemote":
        log("OpenPipeWireRemote")
        fds = Gio.UnixFDList()
        index = fds.append(remote_fd())
        invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (index,)), fds)
    else:
        invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)


def get_property(conn, sender, path, iface, name):
    return GLib.Variant("u", {"AvailableSourceTypes": 3, "AvailableCursorModes": 7,
                              "version": 4}[name])


bus.register_object(OBJECT_PATH, screencast, method_call, get_property, None)
Gio.bus_own_name_on_connection(bus, BUS_NAME, Gio.BusNameOwnerFlags.NONE,
                               lambda *a: log("ready"), lambda *a: loop.quit())
loop.run()
