"""A link in a message, clicked in the real window, opens in the program the desktop names for
web addresses: here a stand-in browser registered in a scratch data directory that writes the
address it was given to a file. An address of another scheme is no link at all.
Usage: ui_link_window_test.py VEMO_CHAT_BINARY (under a private session bus and X server).
Exit 77 means the accessibility bus cannot run here (skipped)."""

import os
import subprocess
import sys
import tempfile

# The screen-reader test's helpers: finding the window and its nodes on the accessibility bus.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from atspi_client import require_bus, run_window  # noqa: E402
from ui_atspi_test import Atspi, fail, find_app, nodes_by_id, wait_until  # noqa: E402

LINK = "https://example.com/clicked?from=window"
TEXT = f"Read **this**: {LINK}. Not [that](javascript:alert(1))"


def stand_in_browser(work):
    """Registers a program for http and https addresses in scratch XDG directories."""
    opened = os.path.join(work, "opened.txt")
    browser = os.path.join(work, "browser.sh")
    with open(browser, "w") as f:
        f.write(f'#!/bin/sh\necho "$1" >> "{opened}"\n')
    os.chmod(browser, 0o755)
    apps = os.path.join(work, "share", "applications")
    os.makedirs(apps)
    os.makedirs(os.path.join(work, "config"))
    with open(os.path.join(apps, "stand-in-browser.desktop"), "w") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Stand-in browser\n"
                f"Exec={browser} %u\n"
                "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
    with open(os.path.join(work, "config", "mimeapps.list"), "w") as f:
        f.write("[Default Applications]\n"
                "x-scheme-handler/http=stand-in-browser.desktop\n"
                "x-scheme-handler/https=stand-in-browser.desktop\n")
    return opened


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        opened = stand_in_browser(work)
        env = dict(os.environ, VEMO_CHAT_DATA=os.path.join(work, "data"),
                   XDG_CACHE_HOME=os.path.join(work, "cache"),
                   XDG_DATA_HOME=os.path.join(work, "share"),
                   XDG_CONFIG_HOME=os.path.join(work, "config"))
        post = ('{"cmd":"invoke","address":"chat.channel:c_general","action":"post",'
                '"value":"%s"}\n' % TEXT.replace('"', '\\"'))
        automation_env = {k: v for k, v in env.items() if k != "DISPLAY"}
        subprocess.run([binary, "--automation"], input=post, text=True, env=automation_env,
                       capture_output=True, timeout=60, check=True)
        run_window(binary, env, lambda app_process: run(app_process, opened))


def run(app_process, opened):
    require_bus()
    app = wait_until("the window on the accessibility bus", lambda: find_app(app_process.pid), 30)
    links = wait_until("the link in the message", lambda: (lambda n: {
        k: v for k, v in n.items() if k.startswith("chat.link:")} or None)(nodes_by_id(app)))
    if len(links) != 1:
        fail(f"expected one link, found {sorted(links)}")
    node_id, node = next(iter(links.items()))
    if not node_id.endswith(":" + LINK):
        fail(f"the link opens {node_id}")
    if node.get_role() != Atspi.Role.LINK:
        fail(f"link role {node.get_role()}")

    window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                             str(app_process.pid)], capture_output=True, text=True,
                            timeout=30).stdout.split()
    if not window:
        fail("no X window")
    box = Atspi.Component.get_extents(node, Atspi.CoordType.SCREEN)
    x, y = box.x + box.width // 2, box.y + box.height // 2
    subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "1"],
                   check=True, timeout=30)
    got = wait_until("the stand-in browser to be started", lambda: os.path.exists(opened) and
                     open(opened).read().strip())
    if got != LINK:
        fail(f"the browser was handed {got!r}")
    print("link opened in the desktop's browser")


if __name__ == "__main__":
    main()
