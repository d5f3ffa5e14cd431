"""Two devices that never connect to each other share a workspace through a real
automerge-repo sync server, and a plain automerge-repo client reads and writes it."""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from devices import Device, converge, join  # noqa: E402


def start_server(oracle, store):
    proc = subprocess.Popen(["node", os.path.join(oracle, "sync_server.mjs"), store], cwd=oracle,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = proc.stdout.readline()
    assert line.startswith("listening "), line
    return proc, "ws://127.0.0.1:" + line.split()[1]


def node_client(oracle, server, url, text=None):
    args = ["node", os.path.join(oracle, "repo_client.mjs"), server, url, "c_general"] + ([text] if text else [])
    out = subprocess.run(args, cwd=oracle, capture_output=True, text=True, timeout=60, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])["texts"]


def main(binary, oracle):
    with tempfile.TemporaryDirectory(prefix="share-server-") as root:
        server, server_url = start_server(oracle, os.path.join(root, "server-store"))
        no_direct = {"VEMO_CHAT_SYNC_DIRECT": "off"}
        a = Device(binary, root, "alpha", args=["--sync-server", server_url], env=no_direct)
        b = Device(binary, root, "beta", env=no_direct)
        try:
            a.post("alpha through the server")
            assert a.sharing(settle_ms=1000)["server"]["state"] == "connected"
            invite = a.call({"cmd": "invite"})["invite"]
            join(b, a, invite)
            # The invite carried the server; the newcomer remembers it.
            assert b.sharing()["server"]["url"] == server_url

            b.post("beta through the server")
            converge([a, b], ["alpha through the server", "beta through the server"])
            for device in (a, b):
                assert not any(d["connected"] for d in device.sharing()["devices"]), device.sharing()

            url = a.sharing()["url"]
            texts = node_client(oracle, server_url, url, "written by automerge-repo")
            assert "alpha through the server" in texts and "beta through the server" in texts, texts
            converge([a, b], ["written by automerge-repo"])
        finally:
            a.stop()
            b.stop()
            server.terminate()
            server.wait(timeout=10)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
    print("ok")
