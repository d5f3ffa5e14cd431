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
