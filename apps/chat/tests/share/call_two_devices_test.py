"""Two devices that share a workspace call each other with real sound. Run under
call_audio_test.sh: a private sound server whose microphone is the monitor of the null sink
"vmic" and whose loudspeaker is the null sink "vsink". A 440 Hz tone plays into "vmic"; what
"vsink" plays is recorded and checked for the tone while talking, muted and deafened."""

import array
import math
import os
import subprocess
import sys
import tempfile
import time
import wave

sys.path.insert(0, os.path.dirname(__file__))
from devices import Device, join, settle, together  # noqa: E402

RATE = 16000
TONE = 440.0


def write_tone(path, seconds=120, hz=TONE):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(48000)
        frames = array.array("h", (int(12000 * math.sin(2 * math.pi * hz * i / 48000)) for i in range(48000)))
        for _ in range(seconds):
            w.writeframes(frames.tobytes())


def amplitude(samples, hz):
    """Goertzel: the amplitude (full scale 1.0) of the component at `hz`."""
    if not samples:
        return 0.0
    coeff = 2 * math.cos(2 * math.pi * hz / RATE)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2 * math.sqrt(max(power, 0.0)) / len(samples)


def record_while(devices, ms, path):
    """Records the loudspeaker while every device runs its frames for `ms`; keeps the second half.
    With no devices, nobody sends a command meanwhile."""
    with open(path, "wb") as out:
        rec = subprocess.Popen(["parec", "--device=vsink.monitor", "--format=float32le",
                                f"--rate={RATE}", "--channels=1"], stdout=out)
        try:
            if devices:
                settle(*devices, ms=ms)
            else:
                time.sleep(ms / 1000)
        finally:
            rec.terminate()
            rec.wait()
    samples = array.array("f")
    with open(path, "rb") as f:
        data = f.read()
    samples.frombytes(data[: len(data) // 4 * 4])
    return list(samples[len(samples) // 2:])


def voice_channel(device):
    doc = device.call({"cmd": "document"})
    for cid, channel in sorted((doc.get("channels") or {}).items()):
        if channel.get("kind") == "voice":
            return cid
    raise AssertionError("the workspace has no voice channel")


def participants(device, channel):
    doc = device.call({"cmd": "document"})
    return sorted(((doc.get("voice") or {}).get(channel) or {}).keys())


def press(device, control):
    device.call({"cmd": "frames", "count": 1})
    device.call({"cmd": "semantic", "id": control})


def main(binary):
    env = {"DBUS_SESSION_BUS_ADDRESS": os.environ["DBUS_SESSION_BUS_ADDRESS"],
           "VEMO_CHAT_MEDIA_LOOPBACK": "1"}
    with tempfile.TemporaryDirectory(prefix="call-two-") as root:
        tone = os.path.join(root, "tone.wav")
        write_tone(tone)
        player = subprocess.Popen(["paplay", "--device=vmic", tone])
        a = Device(binary, root, "talker", env=env)
        b = Device(binary, root, "listener", env=env)
        try:
            join(b, a, a.call({"cmd": "invite"})["invite"])
            channel = voice_channel(a)
            press(a, "chat.voice-channel:" + channel)
            press(b, "chat.voice-channel:" + channel)
            press(b, "chat.call-mute")  # only the talker is heard
            settle(a, b, ms=3000)
            assert len(participants(a, channel)) == 2 and participants(a, channel) == participants(b, channel)
            assert a.call({"cmd": "call"})["peers"] and b.call({"cmd": "call"})["peers"]

            # Opening a microphone takes a while on a busy machine.
            for _ in range(20):
                if b.call({"cmd": "call"})["media"]["microphone"]["received"] > 20:
                    break
                settle(a, b, ms=500)
            talking = amplitude(record_while([a, b], 2000, os.path.join(root, "talking.raw")), TONE)
            state = b.call({"cmd": "call"})
            assert state["media"]["microphone"]["received"] > 20, state
            assert state["media"]["microphone"]["dropped"]["unauthenticated"] == 0, state
            assert talking > 0.05, f"the tone did not arrive: {talking}"

            # Between commands the automation loop keeps the media flowing on its own: without
            # that, each command's frame would carry at most the few packets the capture keeps.
            sent = a.call({"cmd": "call"})["media"]["microphone"]["sent"]
            received = b.call({"cmd": "call"})["media"]["microphone"]["received"]
            idle = amplitude(record_while([], 2000, os.path.join(root, "idle.raw")), TONE)
            sent = a.call({"cmd": "call"})["media"]["microphone"]["sent"] - sent
            received = b.call({"cmd": "call"})["media"]["microphone"]["received"] - received
            assert sent > 50 and received > 50, (sent, received)
            assert idle > 0.05, f"no tone while no command ran: {idle}"

            press(a, "chat.call-mute")
            settle(a, b, ms=1000)
            muted = amplitude(record_while([a, b], 2000, os.path.join(root, "muted.raw")), TONE)
            assert muted < 0.01, f"muting left the tone on: {muted}"

            press(a, "chat.call-mute")
            press(b, "chat.call-deafen")
            settle(a, b, ms=1000)
            deafened = amplitude(record_while([a, b], 2000, os.path.join(root, "deafened.raw")), TONE)
            assert deafened < 0.01, f"deafening left the tone on: {deafened}"
            print(f"tone amplitude talking {talking:.3f}, idle {idle:.3f}, muted {muted:.4f}, deafened {deafened:.4f}")

            talker_id = [p for p in participants(a, channel) if p in participants(b, channel)]
            press(a, "chat.call-leave")
            settle(a, b, ms=1500)
            assert a.call({"cmd": "call"})["in_call"] is False
            assert len(participants(a, channel)) == 1 and participants(a, channel) == participants(b, channel), (
                participants(a, channel), participants(b, channel), talker_id)
        finally:
            a.stop()
            b.stop()
            player.terminate()
            player.wait()
    print("call between two devices: ok")


if __name__ == "__main__":
    main(sys.argv[1])
