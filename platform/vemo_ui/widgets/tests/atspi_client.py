"""What every AT-SPI test script starts with: the bindings, or exit 77 (skipped) when they are
missing, and how a check fails. CMake copies this module next to the build's test scripts."""

import sys
import warnings

# Some of the names used are marked deprecated in newer bindings without a replacement.
warnings.filterwarnings("ignore", category=DeprecationWarning)

SKIP = 77

try:
    import gi

    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi, GLib  # noqa: F401  (re-exported)
except (ImportError, ValueError) as error:
    print(f"SKIP: no AT-SPI bindings: {error}")
    sys.exit(SKIP)


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def require_bus():
    """Exits 77 (skipped) when AT-SPI cannot start or no accessibility bus answers."""
    if Atspi.init() not in (0, 1):
        print("SKIP: AT-SPI could not start")
        sys.exit(SKIP)
    try:
        Atspi.get_desktop(0).get_child_count()
    except GLib.Error as error:
        print(f"SKIP: no accessibility bus: {error.message}")
        sys.exit(SKIP)


def run_window(binary, env, body):
    """Opens the real window with env, hands its process to body and closes it afterwards,
    whether body returned or failed."""
    import subprocess

    app_process = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
    try:
        body(app_process)
    finally:
        if app_process.poll() is None:
            app_process.terminate()
            try:
                app_process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                app_process.kill()
                app_process.wait()
