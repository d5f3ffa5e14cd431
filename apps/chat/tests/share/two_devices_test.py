"""Two devices share a workspace from an invite, post on both sides, keep syncing while they wait
for commands, and a restart syncs only what is missing."""

import glob
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from devices import Device, converge, join, settle  # noqa: E402
from polling import wait_for  # noqa: E402


def appears_in(path, needle):
    """Whether `needle` is in the file now. A change appended to the document file keeps its
    strings as they are."""
    with open(path, "rb") as f:
        return needle in f.read()


def main(binary):
    with tempfile.TemporaryDirectory(prefix="share-two-") as root:
        a = Device(binary, root, "alpha")
        b = Device(binary, root, "beta")
        try:
            a.post("before the invite")
            b.post("beta's own workspace, set aside on joining")
            invite = a.call({"cmd": "invite"})["invite"]
            assert invite.startswith("vemo-invite:"), invite
            joined = join(b, a, invite)
            assert joined["url"] == a.sharing()["url"], (joined, a.sharing())

            # The old document is kept beside the new one, never deleted.
            aside = glob.glob(os.path.join(b.data, "workspace.automerge.before-join-*"))
            assert len([p for p in aside if not p.endswith(".url")]) == 1, aside
            assert "before the invite" in b.texts(), b.texts()
            assert "beta's own workspace, set aside on joining" not in b.texts()

            a.post("hello from alpha")
            b.post("hello from beta")
            seen = converge([a, b], ["before the invite", "hello from alpha", "hello from beta"])
            assert seen[0] == seen[1], seen

            # Both know each other as members now.
            status = a.sharing()
            keys = {d["key"]: d for d in status["devices"]}
            b_key = b.sharing()["key"]
            assert b_key in keys and keys[b_key]["connected"], status
            assert keys[b_key]["name"] == "beta", status

            # Sessions keep syncing between commands: beta's message reaches alpha's file while
            # neither of them is given another command.
            marker = f"posted while alpha idles {os.getpid()}"
            b.post(marker)
            wait_for(marker, lambda: appears_in(os.path.join(a.data, "workspace.automerge"), marker.encode()),
                     interval=0.1)
            assert marker in a.texts(), a.texts()

            # The invite was single-use: a second join with it is refused.
            c = Device(binary, root, "gamma")
            try:
                answers = c.call({"cmd": "join", "invite": invite, "timeout_ms": 3000}, expect_ok=False)
                assert not answers["ok"], answers
            finally:
                c.stop()

            # Restart beta; only what is missing travels.
            full = keys[b_key]["bytes_sent"]
            b.stop()
            # Beta left its sync state with alpha on disk, written once what it describes was.
            a_key = a.sharing()["key"]
            states = glob.glob(os.path.join(b.data, "sharing", "state", "*", a_key))
            assert len(states) == 1 and os.path.getsize(states[0]) > 0, states
            a.post("while beta was away")
            b.start()
            seen = converge([a, b], ["while beta was away"])
            again = {d["key"]: d for d in a.sharing()["devices"]}[b_key]
            incremental = again["bytes_sent"] - full
            print(f"first sync sent {full} bytes to beta; after its restart {incremental} bytes")
            assert incremental < full, (incremental, full)
            assert seen[0] == seen[1], seen
        finally:
            a.stop()
            b.stop()


if __name__ == "__main__":
    main(sys.argv[1])
    print("ok")
