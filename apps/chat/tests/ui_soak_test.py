#!/usr/bin/env python3
"""A restless user: drives the real window with a seeded random stream of X events.

Builds a document with several workspaces, categories, text and voice channels, threads and a
few hundred messages (the demonstration workspaces plus messages posted through the automation
mode), opens the window on it and sends clicks, right clicks, wheel steps, key presses and
window resizes through xdotool. The window must survive every event and exit 0 when closed;
afterwards the document must load (in our engine and, when it is installed, in the reference
engine) and the messages the test posted must still be there.

Usage (under xvfb-run, screen at least 1700x1000):
  ui_soak_test.py VEMO_CHAT SOAK_FIXTURE [--events N] [--seed S] [--keep DIR]
The seed is printed first; pass it back with --seed to replay a failure.
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

AUTHOR = "u_soak_bot"  # not the window's user: the window cannot edit these
VISIBLE_COUNTS = {"c_crit": 180, "c_general": 60, "c_random": 4, "c_kernel": 30, "c_ideas": 2}
THREAD_REPLIES = 16
VAULT = "c_soak_vault"
VAULT_COUNT = 20
BATCH = 20


def log(*args):
    print(*args, flush=True)


# What a sanitizer prints when it finds a fault in the process; LeakSanitizer's own failure to
# stop the process's threads for its exit scan prints none of these.
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer: detected memory leaks",
                     "runtime error:", "ERROR: UndefinedBehaviorSanitizer")


def leak_scan_crashed(stderr):
    """Whether a process failed only because LeakSanitizer's tracer, which suspends the threads
    for the leak scan at exit, crashed (it does on a loaded machine), with no report of a fault."""
    return ("Tracer caught signal" in stderr
            and "LeakSanitizer has encountered a fatal error" in stderr
            and not any(report in stderr for report in SANITIZER_REPORTS))


def automation(binary, env, commands, read_only=False):
    """Runs commands through the automation mode; answers one JSON object per command.
    Commands that only read are run once more when the leak scan at exit crashed: the second
    run is scanned for leaks in full, where running without the scan would lose it."""
    text = "".join(json.dumps(c) + "\n" for c in commands) + '{"cmd":"quit"}\n'
    for _ in range(2):
        done = subprocess.run([binary, "--automation"], input=text, capture_output=True,
                              text=True, env=env, timeout=300)
        if done.returncode == 0 or not read_only or not leak_scan_crashed(done.stderr):
            break
        log("the leak scan crashed at exit (no fault reported); reading again:",
            done.stderr[-1000:])
    if done.returncode != 0:
        raise SystemExit("automation mode failed (%d): %s" % (done.returncode, done.stderr))
    answers = [json.loads(line) for line in done.stdout.splitlines() if line.strip()]
    return answers[:-1]


def action(kind, fields):
    return {"cmd": "dispatch", "kind": "chat.action", "json": {kind: fields}}


def post_messages(binary, env):
    """Posts the test's messages; answers {id: text} of everything posted."""
    posted, commands = {}, []
    ts = 1782470000

    def send(channel, mid, text, parent=None):
        nonlocal ts
        ts += 7
        fields = {"channel": channel, "id": mid, "author": AUTHOR, "ts": ts, "text": text}
        if parent:
            fields["parent"] = parent
        commands.append(action("SendMessage", fields))
        posted[mid] = text

    for channel, count in VISIBLE_COUNTS.items():
        for i in range(count):
            words = " ".join(random.Random(i).choice(["grid", "ship", "review", "ok", "later",
                                                      "née", "ข้อความ", "مرحبا", "🚀"])
                             for _ in range(1 + i % 9))
            send(channel, "m_soak_%s_%d" % (channel, i), "soak %s %d %s" % (channel, i, words))
    root = "m_soak_c_crit_%d" % (VISIBLE_COUNTS["c_crit"] - 3)
    for i in range(THREAD_REPLIES):
        send("c_crit", "m_soak_reply_%d" % i, "soak reply %d" % i, parent=root)
    # Out of the monkey's reach: an archived channel is not shown anywhere.
    commands.append(action("CreateChannel", {"workspace": "ws_acme", "category": "cat_acme_main",
                                             "id": VAULT, "name": "soak-vault", "kind": "Text"}))
    vault = {}
    for i in range(VAULT_COUNT):
        before = set(posted)
        send(VAULT, "m_soak_vault_%d" % i, "soak vault %d" % i)
        vault.update({k: posted[k] for k in set(posted) - before})
    commands.append(action("ArchiveChannel", {"id": VAULT, "archived": True}))
    for n, answer in enumerate(automation(binary, env, commands)):
        if not answer.get("ok"):
            raise SystemExit("posting failed at command %d: %s" % (n, answer))
    return posted, vault


def messages_in(document):
    """Every message of the exported document: {id: text}."""
    found = {}

    def walk(node):
        if isinstance(node, dict):
            if isinstance(node.get("id"), str) and "text" in node and "author" in node:
                text = node["text"]
                found[node["id"]] = text if isinstance(text, str) else json.dumps(text)
            for v in node.values():
                walk(v)
        elif isinstance(node, list):
            for v in node:
                walk(v)

    walk(document)
    return found


def reference_loads(root, path):
    modules = os.path.join(root, "tests", "oracle", "node_modules")
    node = shutil.which("node")
    if not node or not os.path.isdir(os.path.join(modules, "@automerge", "automerge")):
        log("reference engine not installed; skipping the reference load")
        return True
    script = ("const A = require('@automerge/automerge');"
              "const d = A.load(require('fs').readFileSync(process.argv[1]));"
              "console.log(Object.keys(d).length);")
    done = subprocess.run([node, "-e", script, path], capture_output=True, text=True,
                          env=dict(os.environ, NODE_PATH=modules), timeout=120)
    if done.returncode != 0:
        log("the reference engine cannot load the document:", done.stderr[-2000:])
        return False
    log("the reference engine loads the document")
    return True


class Monkey:
    KEYS = ["Return", "Escape", "Tab", "shift+Tab", "Left", "Right", "Up", "Down", "ctrl+a",
            "ctrl+c", "ctrl+v", "Delete", "BackSpace", "Page_Up", "Page_Down", "space", "F6",
            "shift+F10", "Menu", "Home", "End", "ctrl+End", "ctrl+Home"]

    def __init__(self, rng, wid):
        self.rng, self.wid = rng, wid
        self.width, self.height = 1280, 800

    def event(self):
        r = self.rng.random()
        x = self.rng.randrange(0, self.width)
        y = self.rng.randrange(0, self.height)
        move = ["mousemove", "--window", self.wid, str(x), str(y)]
        if r < 0.30:
            return move + ["click", "1"]
        if r < 0.38:
            return move + ["click", "3"]
        if r < 0.50:
            return move + ["click", "--repeat", str(self.rng.randint(1, 6)),
                           self.rng.choice(["4", "5"])]
        if r < 0.58:
            return move
        if r < 0.80:
            return ["key", "--clearmodifiers", self.rng.choice(self.KEYS)]
        if r < 0.97:
            word = "".join(self.rng.choice("abcxyz é") for _ in range(self.rng.randint(1, 6)))
            return ["type", "--delay", "2", word]
        self.width = self.rng.randint(600, 1600)
        self.height = self.rng.randint(500, 950)
        return ["windowsize", self.wid, str(self.width), str(self.height)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("fixture")
    parser.add_argument("--events", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--keep", default=None, help="keep the data directory here")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
    log("soak seed %d, %d events (replay with --seed %d)" % (seed, args.events, seed))
    root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))

    work = args.keep or tempfile.mkdtemp(prefix="vemo-soak-")
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ, VEMO_CHAT_DATA=os.path.join(work, "data"))
    try:
        subprocess.run([args.fixture], env=env, check=True, timeout=120)
        posted, vault = post_messages(args.binary, env)
        log("posted %d messages (%d out of reach)" % (len(posted), len(vault)))

        app_log = open(os.path.join(work, "app.log"), "w")
        app = subprocess.Popen([args.binary], env=env, stdout=app_log, stderr=subprocess.STDOUT)
        wid = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                              str(app.pid)], capture_output=True, text=True,
                             timeout=60).stdout.split()
        if not wid:
            app.kill()
            raise SystemExit("no window appeared")
        wid = wid[0]
        subprocess.run(["xdotool", "windowfocus", "--sync", wid], timeout=30)
        monkey = Monkey(random.Random(seed), wid)
        recent = []
        for start in range(0, args.events, BATCH):
            command = ["xdotool"]
            for _ in range(min(BATCH, args.events - start)):
                ev = monkey.event()
                recent = (recent + [" ".join(ev)])[-BATCH * 2:]
                command += ev
            subprocess.run(command, capture_output=True, timeout=120)
            if app.poll() is not None:
                break
            # Keeps the keyboard on the window whatever the events did.
            subprocess.run(["xdotool", "windowfocus", wid], capture_output=True, timeout=30)
        alive = app.poll() is None
        if alive:
            time.sleep(0.5)
            app.terminate()
            try:
                app.wait(timeout=60)
            except subprocess.TimeoutExpired:
                app.kill()
                app.wait()
        app_log.close()
        output = open(os.path.join(work, "app.log")).read()
        if not alive or app.returncode != 0:
            log("the window died (exit %s) during the soak with seed %d" % (app.returncode, seed))
            log("last events:\n  " + "\n  ".join(recent))
            log(output[-6000:])
            return 1

        answers = automation(args.binary, env, [{"cmd": "document"}], read_only=True)
        if not answers or not answers[0].get("ok"):
            log("the document does not load after the soak:", answers)
            return 1
        found = messages_in(answers[0]["result"])
        missing = [m for m in vault if found.get(m) != vault[m]]
        changed = [m for m in posted if m in found and found[m] != posted[m]]
        kept = sum(1 for m in posted if m in found)
        log("after the soak: %d of %d posted messages remain, %d edited, %d out-of-reach missing"
            % (kept, len(posted), len(changed), len(missing)))
        if missing or changed:
            log("lost or altered messages:", (missing + changed)[:20])
            return 1
        if not reference_loads(root, os.path.join(work, "data", "workspace.automerge")):
            return 1
        log("soak passed with seed %d" % seed)
        return 0
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
