"""A call survives a restart of the application and ends when asked to from outside: the running
call is kept beside the document when a run ends, resumed by the next start, and a leave
request ends it."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from devices import Device  # noqa: E402
from call_two_devices_test import participants, press, voice_channel  # noqa: E402


def main(binary):
    with tempfile.TemporaryDirectory(prefix="call-handover-") as root:
        a = Device(binary, root, "handover")
        try:
            channel = voice_channel(a)
            press(a, "chat.voice-channel:" + channel)
            press(a, "chat.call-mute")
            state = a.call({"cmd": "call"})
            assert state["in_call"] and state["muted"], state
            me = participants(a, channel)
            assert len(me) == 1, me

            # Quitting keeps the call for the next start, which resumes it as it was.
            a.stop()
            a.start()
            state = a.call({"cmd": "call"})
            assert state["in_call"] and state["channel"] == channel and state["muted"], state
            assert participants(a, channel) == me

            # A leave request from outside ends it, and the record goes.
            assert a.call({"cmd": "realtime", "request": "leave"}) == {"accepted": True}
            assert a.call({"cmd": "call"})["in_call"] is False
            assert participants(a, channel) == []
            assert a.call({"cmd": "realtime", "request": "leave"}) == {"accepted": False}
            bad = a.call({"cmd": "realtime", "request": "hang up"}, expect_ok=False)
            assert not bad["ok"] and "unknown realtime request" in bad["error"], bad

            # Without a call at the end of a run, the next start is not in one.
            a.stop()
            a.start()
            assert a.call({"cmd": "call"})["in_call"] is False
        finally:
            a.stop()
    print("call hand-over across a restart: ok")


if __name__ == "__main__":
    main(sys.argv[1])
