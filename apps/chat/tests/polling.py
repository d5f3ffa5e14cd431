"""Waiting in the window and device tests that do not go through AT-SPI: a check polled until it
holds, and a window found by its process or title. CMake copies this module next to the build's
test scripts."""

import subprocess
import time


def wait_for(what, check, timeout=30, interval=0.2):
    """Calls check until it returns something true and returns that; raises AssertionError
    naming `what` when it still does not after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


def xdo(*args):
    """xdotool's answer to args, stripped."""
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.strip()


def find_window(pid=None, name=None):
    """The first visible X window of process pid, or titled name; None while there is none."""
    found = xdo("search", "--onlyvisible", *(["--pid", str(pid)] if pid else ["--name", name]))
    return found.split()[0] if found else None


def wait_window(pid=None, name=None, timeout=20):
    """The first visible X window of process pid, or titled name, once it shows."""
    return wait_for(f"a window of {pid or name}", lambda: find_window(pid, name), timeout)
