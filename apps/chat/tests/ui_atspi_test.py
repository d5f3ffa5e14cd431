"""The real window as a screen reader meets it: over the AT-SPI bus, under a private session bus
and X server. Reads the tree from the desktop down without any input, types into the composer
with X key events and reads it back through the Text interface, follows keyboard focus, opens
the focused item's menu with Shift+F10 and runs a message row's actions. Finally another
device joins through the invite the window shows and posts a message, which must be announced.
Usage: ui_atspi_test.py VEMO_CHAT_BINARY. Exit 77 means the bus cannot run here (skipped)."""

import os
import subprocess
import sys
import tempfile
import time

from atspi_client import SKIP, Atspi, GLib, fail, require_bus, run_window

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "share"))
from devices import Device  # noqa: E402


def spin(seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        GLib.MainContext.default().iteration(False)
        time.sleep(0.01)


def wait_until(what, predicate, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            value = predicate()
        except GLib.Error:
            value = None
        if value:
            return value
        spin(0.1)
    fail(f"timed out waiting for {what}")


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True, timeout=30)


def find_app(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def nodes_by_id(node, out=None, depth=0):
    """Every node below `node` that names its semantic id, by that id."""
    if out is None:
        out = {}
    if node is None or depth > 30:
        return out
    try:
        node_id = node.get_attributes().get("id")
        count = node.get_child_count()
    except GLib.Error:
        return out
    if node_id:
        out[node_id] = node
    for i in range(count):
        nodes_by_id(node.get_child_at_index(i), out, depth + 1)
    return out


class Events:
    def __init__(self):
        self.seen = []
        self.listener = Atspi.EventListener.new(self.on_event)
        self.spoken = []
        for kind in ("object:state-changed:focused", "object:text-changed", "focus:",
                     "object:announcement"):
            self.listener.register(kind)

    def on_event(self, event):
        if event.type == "object:announcement":
            self.spoken.append(event.any_data if isinstance(event.any_data, str) else "")
            return
        try:
            node_id = event.source.get_attributes().get("id")
        except GLib.Error:
            node_id = None
        self.seen.append((event.type, node_id, event.detail1))

    def has(self, kind, node_id=None, detail1=None):
        return any(k == kind and (node_id is None or i == node_id) and
                   (detail1 is None or d == detail1) for k, i, d in self.seen)


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ, VEMO_CHAT_DATA=os.path.join(work, "data"),
                   XDG_CACHE_HOME=os.path.join(work, "cache"), VEMO_CHAT_SYNC_LOOPBACK="1")
        # Something to read: two messages in the channel shown at start.
        posts = "".join(
            '{"cmd":"invoke","address":"chat.channel:c_general","action":"post","value":"%s"}\n'
            % text for text in ("First words for the reader", "Second words for the reader"))
        automation_env = {k: v for k, v in env.items() if k != "DISPLAY"}
        subprocess.run([binary, "--automation"], input=posts, text=True, env=automation_env,
                       capture_output=True, timeout=60, check=True)
        run_window(binary, env, lambda app_process: run(app_process, work))


def run(app_process, work):
    require_bus()
    events = Events()
    app = wait_until("the window on the accessibility bus", lambda: find_app(app_process.pid), 30)

    # At launch, without any input: the channels, the visible messages and the composer.
    nodes = wait_until("the message rows",
                       lambda: (lambda n: n if any(k.startswith("message:") for k in n) else None)(
                           nodes_by_id(app)), 20)
    channels = [k for k in nodes if k.startswith("chat.channel:")]
    if not channels:
        fail(f"no channels in the tree: {sorted(nodes)[:20]}")
    rows = [nodes[k] for k in nodes if k.startswith("message:")]
    for row in rows:
        if row.get_role() != Atspi.Role.LIST_ITEM or ": " not in row.get_name():
            fail(f"row {row.get_name()!r} role {row.get_role()}")
    message_list = nodes.get("message-list")
    if message_list is None or message_list.get_attributes().get("container-live") != "polite":
        fail("the message list is missing or not a polite live region")
    composer = nodes.get("chat.composer")
    if composer is None or composer.get_role() != Atspi.Role.ENTRY:
        fail("no composer entry")
    if not composer.get_state_set().contains(Atspi.StateType.FOCUSED):
        fail("the composer does not have the focus at launch")

    # Typing with real key events shows up through the Text interface, with text-changed.
    window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                             str(app_process.pid)], capture_output=True, text=True,
                            timeout=30).stdout.split()
    if not window:
        fail("no X window")
    xdotool("windowfocus", "--sync", window[0])
    xdotool("type", "--delay", "20", "hello reader")
    wait_until("the typed text", lambda: Atspi.Text.get_text(composer, 0, -1) == "hello reader")
    if Atspi.Text.get_caret_offset(composer) != 12:
        fail(f"caret at {Atspi.Text.get_caret_offset(composer)}")
    wait_until("a text-changed event", lambda: events.has("object:text-changed:insert",
                                                          "chat.composer"))
    if not Atspi.EditableText.insert_text(composer, 0, "Hi, ", 4):
        fail("insert_text refused")
    wait_until("the inserted text",
               lambda: Atspi.Text.get_text(composer, 0, -1) == "Hi, hello reader")

    # Tab moves the focus to a control, and the screen reader hears of it.
    xdotool("key", "Tab")
    wait_until("the composer losing focus",
               lambda: events.has("object:state-changed:focused", "chat.composer", 0))
    wait_until("another node gaining focus", lambda: any(
        k == "object:state-changed:focused" and d == 1 and i != "chat.composer"
        for k, i, d in events.seen))

    # Shift+F10 opens the focused item's menu; Escape closes it.
    xdotool("key", "shift+F10")
    menu = wait_until("the context menu", lambda: (lambda n: n.get("context-menu") if n.get(
        "context-menu") is not None and n["context-menu"].get_child_count() > 0 else None)(
        nodes_by_id(app)))
    if menu.get_role() != Atspi.Role.MENU:
        fail(f"menu role {menu.get_role()}")
    xdotool("key", "Escape")
    wait_until("the menu closing", lambda: "context-menu" not in nodes_by_id(app))

    # A row's actions: reply opens its thread, which the tree then shows.
    row = rows[-1]
    names = [Atspi.Action.get_action_name(row, i) for i in range(Atspi.Action.get_n_actions(row))]
    for wanted in ("activate", "react", "reply", "menu"):
        if wanted not in names:
            fail(f"row actions {names}")
    row_id = row.get_attributes()["id"]
    if not Atspi.Action.do_action(row, names.index("reply")):
        fail("do_action(reply) refused")
    thread = wait_until("the thread panel", lambda: nodes_by_id(app).get("thread"))
    wanted_root = "thread-message:" + row_id.split(":", 1)[1]
    first = thread.get_child_at_index(0)
    if first is None or first.get_attributes().get("id") != wanted_root:
        fail(f"the thread does not start with its root {wanted_root}")
    nodes = nodes_by_id(app)
    for wanted in ("chat.thread-composer", "chat.close-thread"):
        if wanted not in nodes:
            fail(f"{wanted} missing with the thread open")
    if not nodes["chat.thread-composer"].get_state_set().contains(Atspi.StateType.FOCUSED):
        fail("the thread composer should have the focus after reply")
    if not Atspi.Action.do_action(row, names.index("react")):
        fail("do_action(react) refused")
    wait_until("the emoji picker", lambda: any(k.startswith("chat.emoji-choice:")
                                                for k in nodes_by_id(app)))
    xdotool("key", "Escape")
    check_announcement(app, events, work)
    print("PASS")


def check_announcement(app, events, work):
    """Another device joins with the invite the window reads out and posts into the channel
    shown; the window announces that message."""
    nodes = nodes_by_id(app)
    shown = [k.split(":", 1)[1] for k, node in nodes.items() if k.startswith("chat.channel:")
             and node.get_state_set().contains(Atspi.StateType.SELECTED)]
    if len(shown) != 1:
        fail(f"selected channels {shown}")
    share = nodes.get("chat.share")
    if share is None or not Atspi.Action.do_action(share, 0):
        fail("no sharing button to press")
    invite_node = wait_until("the invite in the tree",
                             lambda: nodes_by_id(app).get("share-invite"))
    invite = wait_until("an invite", lambda: invite_node.get_name() or None)
    other = Device(sys.argv[1], work, "other")
    try:
        other.call({"cmd": "join", "invite": invite})
        spoken_before = len(events.spoken)
        text = "Hello from the other device"
        other.post(text, channel=shown[0])

        def announced():
            other.sharing(settle_ms=200)  # an automation session sends while it runs commands
            return any(text in line for line in events.spoken[spoken_before:])
        wait_until("the other device's message announced", announced, 40)
        line = next(line for line in events.spoken if text in line)
        if not line.startswith("Message from "):
            fail(f"announcement {line!r}")
    finally:
        other.stop()


if __name__ == "__main__":
    main()
