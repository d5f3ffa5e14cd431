"""Two devices that share a workspace see each other in a call. Runs under dbus-run-session
(the call transport needs a session). The sender's camera is GStreamer's test source, ranked
above every other video source so that autovideosrc picks it; the receiver has no camera at
all and must carry on without one."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from call_two_devices_test import participants, press, voice_channel  # noqa: E402
from devices import Device, join, settle  # noqa: E402


def video(device):
    return device.call({"cmd": "call"})["video"]


def wait_for(devices, check, rounds=30, ms=500):
    for _ in range(rounds):
        state = check()
        if state:
            return state
        settle(*devices, ms=ms)
    raise AssertionError(f"gave up waiting: {check()}")


def into_call(a, b, a_first=True):
    """b joins a's workspace, then both join its voice channel (a first unless told otherwise);
    answers the channel."""
    join(b, a, a.call({"cmd": "invite"})["invite"])
    channel = voice_channel(a)
    for device in (a, b) if a_first else (b, a):
        press(device, "chat.voice-channel:" + channel)
    settle(a, b, ms=2000)
    people = participants(a, channel)
    assert len(people) == 2 and people == participants(b, channel), people
    return channel


def main(binary):
    base = {"DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"],
            "VEMO_CHAT_MEDIA_LOOPBACK": "1"}
    with tempfile.TemporaryDirectory(prefix="call-video-") as root:
        a = Device(binary, root, "camera", env={**base, "GST_PLUGIN_FEATURE_RANK": "videotestsrc:MAX"})
        b = Device(binary, root, "nocamera", env=base)
        try:
            # The camera comes last: its first dial reaches a peer that does not know it yet
            # and is refused, and what it sent before the connection opened is lost.
            into_call(a, b, a_first=False)

            def seen():
                cams = video(b)["cameras"]
                return next((c for c in cams.values() if c["pictures"] >= 10), None)

            picture = wait_for([a, b], seen)
            assert (picture["width"], picture["height"]) == (640, 480), picture
            # The test source's colour bars: black and white are both there.
            assert picture["luma_min"] < 40 and picture["luma_max"] > 180, picture
            assert picture["rejected"] == 0, picture
            # The first key frame got through: the picture did not wait for the next periodic one.
            assert picture["skipped"] <= 3, picture
            sent = a.call({"cmd": "call"})
            assert sent["video"]["camera_running"] and sent["video"]["self_view"], sent["video"]
            assert sent["media"]["camera"]["sent"] > 0, sent["media"]
            got = b.call({"cmd": "call"})
            assert got["media"]["camera"]["dropped"]["unauthenticated"] == 0, got["media"]

            # Without a camera the receiver stays in the call and says why nothing is sent.
            mine = got["video"]
            assert got["in_call"] and not mine["camera_running"], mine
            assert mine["camera_status"] == "no camera found", mine
            assert got["media"]["camera"]["sent"] == 0, got["media"]

            # Audio only releases the camera on the next frame; turning it off again restarts it.
            press(a, "chat.call-audio-only")
            a.call({"cmd": "frames", "count": 1})
            state = a.call({"cmd": "call"})
            assert state["audio_only"] and not state["video"]["camera_running"], state["video"]
            before = state["media"]["camera"]["sent"]
            settle(a, b, ms=500)
            assert a.call({"cmd": "call"})["media"]["camera"]["sent"] == before
            press(a, "chat.call-audio-only")
            wait_for([a, b], lambda: a.call({"cmd": "call"})["media"]["camera"]["sent"] > before)
            print(f"camera pictures received: {video(b)['cameras']}")

            press(a, "chat.call-leave")
            settle(a, b, ms=1000)
            state = a.call({"cmd": "call"})
            assert not state["in_call"] and not state["video"]["camera_running"], state
            assert state["video"]["cameras"] == {}, state["video"]
        finally:
            a.stop()
            b.stop()
    print("call video between two devices: ok")


if __name__ == "__main__":
    main(sys.argv[1])
