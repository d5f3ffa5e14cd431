"""Runs vemo-chat automation sessions as devices of a shared workspace, on loopback only."""

import json
import os
import select
import subprocess
import time


class Device:
    def __init__(self, binary, root, name, args=(), env=None):
        self.binary = binary
        self.name = name
        self.data = os.path.join(root, name)
        self.args = list(args)
        self.extra_env = dict(env or {})
        self.proc = None
        self.start()

    def start(self, args=None):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
        env.update({"VEMO_CHAT_DATA": self.data, "VEMO_CHAT_SYNC_LOOPBACK": "1", "HOSTNAME": self.name,
                    "USER": self.name, "HOME": self.data})
        env.update(self.extra_env)
        log = open(self.data + ".log", "ab")
        os.makedirs(self.data, exist_ok=True)
        self.proc = subprocess.Popen([self.binary, "--automation"] + (self.args if args is None else list(args)),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log, env=env)
        self.buffer = b""

    def send(self, cmd):
        self.proc.stdin.write((json.dumps(cmd) + "\n").encode())
        self.proc.stdin.flush()

    def receive(self, timeout=60):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"{self.name}: no answer within {timeout} s")
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    raise EOFError(f"{self.name}: the process ended (status {self.proc.wait()})")
                self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def call(self, cmd, expect_ok=True, timeout=60):
        self.send(cmd)
        answer = self.receive(timeout)
        if expect_ok and not answer.get("ok"):
            raise AssertionError(f"{self.name}: {cmd} failed: {answer}")
        return answer.get("result") if expect_ok else answer

    def post(self, text, channel="c_general"):
        return self.call({"cmd": "invoke", "address": "chat.channel:" + channel, "action": "post", "value": text})

    def texts(self, channel="c_general"):
        doc = self.call({"cmd": "document"})
        out = []
        for message in (doc.get("messages") or {}).get(channel) or []:
            text = message.get("text")
            out.append(text if isinstance(text, str) else json.dumps(text))
        return out

    def sharing(self, settle_ms=0):
        return self.call({"cmd": "sharing", "settle_ms": settle_ms})

    def stop(self):
        if self.proc and self.proc.poll() is None:
            try:
                self.call({"cmd": "quit"}, expect_ok=False, timeout=10)
            except Exception:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


def together(*calls, timeout=90):
    """Sends each (device, command) at once and waits for every answer, so that all of them
    pump their sync traffic at the same time."""
    for device, cmd in calls:
        device.send(cmd)
    return [device.receive(timeout) for device, _ in calls]


def settle(*devices, ms=1500):
    return together(*[(d, {"cmd": "sharing", "settle_ms": ms}) for d in devices])


def converge(devices, expected, channel="c_general", rounds=20):
    """Pumps every device until each shows all `expected` texts; returns what each shows."""
    for _ in range(rounds):
        settle(*devices, ms=500)
        seen = [d.texts(channel) for d in devices]
        if all(set(expected) <= set(s) for s in seen):
            return seen
    raise AssertionError(f"no convergence: expected {expected}, saw {seen}")


def join(newcomer, inviter, invite, others=()):
    """The newcomer joins while the inviter (and anyone else) keeps answering."""
    answers = together((newcomer, {"cmd": "join", "invite": invite}),
                       *[(d, {"cmd": "sharing", "settle_ms": 4000}) for d in (inviter, *others)])
    if not answers[0].get("ok"):
        raise AssertionError(f"join failed: {answers[0]}")
    return answers[0]["result"]
