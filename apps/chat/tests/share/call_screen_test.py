"""One device shares its screen in a call and the other sees it. Runs under dbus-run-session
and with_pipewire.sh: a private PipeWire daemon carries a moving test picture as a video
node, and a stand-in for the desktop portal's ScreenCast interface grants that node.

Usage: call_screen_test.py VEMO_CHAT FAKE_PORTAL"""

import json
import os
import subprocess
import sys
import tempfile

import polling

sys.path.insert(0, os.path.dirname(__file__))
from call_two_devices_test import press  # noqa: E402
from call_video_test import into_call, video, wait_for  # noqa: E402
from devices import Device, settle  # noqa: E402

NODE_NAME = "vemo-call-test-screen"


def find_node(name):
    try:
        objects = json.loads(subprocess.run(["pw-dump"], capture_output=True, text=True, timeout=10).stdout or "[]")
    except (subprocess.TimeoutExpired, json.JSONDecodeError):
        return None
    for o in objects:
        props = (o.get("info") or {}).get("props") or {}
        if props.get("node.name") == name:
            return o.get("id")
    return None


def portal_ready():
    out = subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                          "--object-path", "/org/freedesktop/DBus", "--method",
                          "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.portal.Desktop"],
                         capture_output=True, text=True)
    return "true" in out.stdout


def main(binary, fake_portal):
    if not os.environ.get("XDG_RUNTIME_DIR") or not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("run under dbus-run-session and with_pipewire.sh")
        return 77
    screen = subprocess.Popen(
        ["gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "pattern=ball", "!",
         "video/x-raw,format=BGRx,width=640,height=480,framerate=30/1", "!", "pipewiresink",
         "mode=provide",
         f"stream-properties=props,media.class=Video/Source,node.name={NODE_NAME}"])
    portal = None
    env = {"DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"],
           "VEMO_CHAT_MEDIA_LOOPBACK": "1"}
    try:
        node = polling.wait_for("the test picture's node", lambda: find_node(NODE_NAME), interval=0.1)
        portal = subprocess.Popen(["/usr/bin/python3", fake_portal, "grant", str(node)])
        polling.wait_for("the portal stand-in", portal_ready, interval=0.1)
        with tempfile.TemporaryDirectory(prefix="call-screen-") as root:
            a = Device(binary, root, "presenter", env=env)
            b = Device(binary, root, "viewer", env=env)
            try:
                channel = into_call(a, b)

                press(a, "chat.call-share-screen")
                state = wait_for([a, b], lambda: a.call({"cmd": "call"})["sharing"] and
                                 a.call({"cmd": "call"}))
                assert state["video"]["screen_running"], state["video"]

                def seen():
                    screens = video(b)["screens"]
                    return next((s for s in screens.values() if s["pictures"] >= 3), None)

                picture = wait_for([a, b], seen)
                assert (picture["width"], picture["height"]) == (1280, 960), picture
                # The bouncing ball: a bright spot on the dark field.
                assert picture["luma_min"] < 40 and picture["luma_max"] > 200, picture
                assert picture["rejected"] == 0, picture
                doc = b.call({"cmd": "document"})
                sharers = [p for p, r in doc["voice"][channel].items() if r.get("sharing")]
                assert len(sharers) == 1, doc["voice"][channel]

                press(a, "chat.call-share-screen")
                settle(a, b, ms=1000)
                state = a.call({"cmd": "call"})
                assert not state["sharing"] and not state["video"]["screen_running"], state
                doc = b.call({"cmd": "document"})
                assert not any(r.get("sharing") for r in doc["voice"][channel].values())
                print(f"screen pictures received: {video(b)['screens']}")
            finally:
                a.stop()
                b.stop()
    finally:
        for p in (portal, screen):
            if p:
                p.terminate()
                p.wait()
    print("screen share between two devices: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
