"""Three devices: alpha invites beta, beta invites gamma; gamma and alpha find each other
through the devices map. A device that was away and wrote meanwhile converges with the rest
when it is back, nothing lost."""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from devices import Device, converge, join, settle  # noqa: E402


def connected_to(device, other):
    key = other.sharing()["key"]
    return any(d["key"] == key and d["connected"] for d in device.sharing()["devices"])


def main(binary):
    with tempfile.TemporaryDirectory(prefix="share-mesh-") as root:
        a = Device(binary, root, "alpha")
        b = Device(binary, root, "beta")
        c = Device(binary, root, "gamma")
        try:
            join(b, a, a.call({"cmd": "invite"})["invite"])
            join(c, b, b.call({"cmd": "invite"})["invite"], others=[a])
            c.post("gamma says hi")
            converge([a, b, c], ["gamma says hi"])
            for _ in range(20):
                if connected_to(a, c) and connected_to(c, a):
                    break
                settle(a, b, c, ms=500)
            assert connected_to(a, c), a.sharing()

            # Partition: gamma goes away; the others write; gamma writes before it reconnects.
            c.stop()
            a.post("alpha while gamma is away")
            b.post("beta while gamma is away")
            settle(a, b, ms=500)
            c.start()
            c.post("gamma after coming back")
            expected = ["gamma says hi", "alpha while gamma is away", "beta while gamma is away",
                        "gamma after coming back"]
            seen = converge([a, b, c], expected)
            assert seen[0] == seen[1] == seen[2], seen
        finally:
            for d in (a, b, c):
                d.stop()


if __name__ == "__main__":
    main(sys.argv[1])
    print("ok")
