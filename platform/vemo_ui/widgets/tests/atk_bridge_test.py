"""Finds the probe's nodes through the AT-SPI bus, as a screen reader would, checks what they
say about themselves and runs an action. Exit 77 means the bus cannot run here (skipped)."""

import subprocess
import sys
import time

from atspi_client import SKIP, Atspi, GLib, fail, require_bus


def accessibility_bus_address():
    """The AT-SPI bus address, asking the session bus to start it; None when it cannot."""
    from gi.repository import Gio

    try:
        session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                  None, GLib.VariantType.new("(s)"), Gio.DBusCallFlags.NONE,
                                  10000, None)
        return reply.unpack()[0]
    except GLib.Error as error:
        print(f"accessibility bus: {error.message}")
        return None


def find_app(name, deadline):
    while time.time() < deadline:
        try:
            desktop = Atspi.get_desktop(0)
            for i in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(i)
                if app is not None and app.get_name() == name:
                    return app
        except GLib.Error:  # the registry may still be starting
            pass
        time.sleep(0.2)
    return None


def find_by_name(node, name, depth=0):
    if node is None or depth > 20:
        return None
    if node.get_name() == name:
        return node
    for i in range(node.get_child_count()):
        hit = find_by_name(node.get_child_at_index(i), name, depth + 1)
        if hit is not None:
            return hit
    return None


class Events:
    """Collects the AT-SPI events a screen reader would follow."""

    def __init__(self):
        self.seen = []
        self.listener = Atspi.EventListener.new(self.on_event)
        for kind in ("object:text-changed", "object:text-caret-moved", "focus:",
                     "object:state-changed:focused", "object:announcement",
                     "object:children-changed"):
            self.listener.register(kind)

    def on_event(self, event):
        try:
            name = event.source.get_name()
        except GLib.Error:
            name = None
        data = event.any_data
        if data is not None and not isinstance(data, (str, int)):
            try:
                data = data.get_name()
            except (AttributeError, GLib.Error):
                data = None
        self.seen.append((event.type, name, event.detail1, data))

    def wait_for(self, wanted, seconds=5):
        """Spins the main loop until an event matching all given fields arrives."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            for seen in self.seen:
                if all(w is None or w == s for w, s in zip(wanted, seen)):
                    return seen
            GLib.MainContext.default().iteration(False)
            time.sleep(0.01)
        fail(f"no event {wanted}; saw {self.seen[-12:]}")


def expect_line(probe, wanted):
    line = probe.stdout.readline().strip()
    if line != wanted:
        fail(f"probe reported {line!r}, wanted {wanted!r}")


def check_text_field(probe, composer, events):
    """The composer reads and edits as a text field through Text and EditableText."""
    if Atspi.Text.get_text(composer, 0, -1) != "hello wörld":
        fail(f"composer text {Atspi.Text.get_text(composer, 0, -1)!r}")
    if Atspi.Text.get_character_count(composer) != 11 or Atspi.Text.get_caret_offset(composer) != 5:
        fail("composer count or caret")
    word = Atspi.Text.get_string_at_offset(composer, 7, Atspi.TextGranularity.WORD)
    if (word.content, word.start_offset, word.end_offset) != ("wörld", 6, 11):
        fail(f"word at 7: {word.content!r} {word.start_offset}..{word.end_offset}")
    if not composer.get_state_set().contains(Atspi.StateType.EDITABLE):
        fail("composer not editable")

    cases = [
        (lambda: Atspi.EditableText.insert_text(composer, 5, ",", 1), "edited hello, wörld 6",
         ("object:text-changed:insert", "Message composer", 5, ",")),
        (lambda: Atspi.EditableText.delete_text(composer, 0, 7), "edited wörld 0",
         ("object:text-changed:delete", "Message composer", 0, "hello, ")),
        (lambda: Atspi.Text.set_caret_offset(composer, 2), "edited wörld 2",
         ("object:text-caret-moved", "Message composer", 2, None)),
        (lambda: Atspi.Text.set_selection(composer, 0, 1, 4), "edited wörld 4",
         ("object:text-caret-moved", "Message composer", 4, None)),
    ]
    for run, line, event in cases:
        if not run():
            fail(f"request refused before {line!r}")
        expect_line(probe, line)
        events.wait_for(event)
    selection = Atspi.Text.get_selection(composer, 0)
    if (selection.start_offset, selection.end_offset) != (1, 4):
        fail(f"selection {selection.start_offset}..{selection.end_offset}")
    check_text_geometry(composer)
    check_text_runs(probe, composer)


def check_text_runs(probe, composer):
    """Each run of text drawn alike is reported with its own offsets and attributes."""
    if not Atspi.EditableText.set_text_contents(composer, "abc مرحبا xyz"):
        fail("set_text_contents refused")
    expect_line(probe, "edited abc مرحبا xyz 13")
    for offset, wanted in [(1, (0, 4, "ltr")), (4, (4, 9, "rtl")), (8, (4, 9, "rtl")),
                           (12, (9, 13, "ltr")), (13, (9, 13, "ltr"))]:
        attributes, start, end = Atspi.Text.get_attribute_run(composer, offset, False)
        if (start, end, attributes.get("direction")) != wanted:
            fail(f"run at {offset}: {start}..{end} {attributes}")
    latin, _, _ = Atspi.Text.get_attribute_run(composer, 1, False)
    arabic, _, _ = Atspi.Text.get_attribute_run(composer, 5, False)
    if not arabic.get("family-name") or arabic["family-name"] == latin.get("family-name"):
        fail(f"the Arabic run names the font it is drawn in: {arabic} after {latin}")


def check_text_geometry(composer):
    """Where the characters are drawn and in what style, from the layout the field draws."""
    window = Atspi.CoordType.WINDOW
    field = composer.get_extents(window)
    first = Atspi.Text.get_character_extents(composer, 0, window)
    second = Atspi.Text.get_character_extents(composer, 1, window)
    if first.width <= 0 or first.height <= 0 or second.x <= first.x:
        fail(f"character extents {first.x},{first.y} {first.width}x{first.height}, next at {second.x}")
    if not (field.x <= first.x < field.x + field.width and field.y <= first.y < field.y + field.height):
        fail(f"the first character at {first.x},{first.y} lies outside the field {field.x},{field.y}")
    whole = Atspi.Text.get_range_extents(composer, 0, 5, window)
    if whole.x != first.x or whole.width < first.width + second.width - 1:
        fail(f"range extents {whole.x} {whole.width}")
    middle = (second.x + second.width // 2, second.y + second.height // 2)
    if Atspi.Text.get_offset_at_point(composer, middle[0], middle[1], window) != 1:
        fail("the point on the second character does not hit it")
    if Atspi.Text.get_offset_at_point(composer, field.x + field.width + 50, field.y, window) != -1:
        fail("a point beside the field hits a character")
    attributes = Atspi.Text.get_default_attributes(composer)
    for name in ("family-name", "size", "weight", "style", "language", "direction"):
        if not attributes.get(name):
            fail(f"text attribute {name} missing: {attributes}")
    if attributes["direction"] != "ltr" or attributes["style"] != "normal":
        fail(f"attributes {attributes}")
    run = Atspi.Text.get_text_attribute_value(composer, 2, "family-name")
    if run != attributes["family-name"]:
        fail(f"run family {run!r}")


def main():
    probe = subprocess.Popen([sys.argv[1]], stdout=subprocess.PIPE, text=True)
    try:
        ready = probe.stdout.readline().strip()
        if ready != "ready":
            code = probe.wait(timeout=5)
            if code == SKIP:
                print("SKIP: no display")
                sys.exit(SKIP)
            fail(f"probe did not start: {ready!r}, exit {code}")
        address = accessibility_bus_address()
        if not address:
            print("SKIP: the accessibility bus cannot start here")
            sys.exit(SKIP)
        require_bus()
        events = Events()
        app = find_app("vemo-atk-probe", time.time() + 15)
        if app is None:
            fail("the probe never appeared on the accessibility bus")

        root = find_by_name(app, "Probe")
        if root is None:
            fail("root node 'Probe' not found")
        if root.get_description() != "A window for the accessibility test":
            fail(f"root description {root.get_description()!r}")

        channel = find_by_name(root, "# general")
        if channel is None or channel.get_role() != Atspi.Role.LIST_ITEM:
            fail("channel list item missing or wrong role")
        if not channel.get_state_set().contains(Atspi.StateType.SELECTED):
            fail("channel should be selected")
        if channel.get_parent().get_name() != "Channels":
            fail("channel's parent is not the list")

        composer = find_by_name(root, "Message composer")
        if composer is None or composer.get_role() != Atspi.Role.ENTRY:
            fail("composer missing or not an entry")
        if not composer.get_state_set().contains(Atspi.StateType.FOCUSED):
            fail("composer should be focused")
        check_text_field(probe, composer, events)

        channels = channel.get_parent()
        attributes = channels.get_attributes()
        if attributes.get("container-live") != "polite" or attributes.get("id") != "probe.channels":
            fail(f"list attributes {attributes}")
        names = [Atspi.Action.get_action_name(channel, i)
                 for i in range(Atspi.Action.get_n_actions(channel))]
        if names != ["activate", "menu", "reply"]:
            fail(f"channel actions {names}")
        if not Atspi.Action.do_action(channel, 1):
            fail("do_action(menu) refused")
        expect_line(probe, "performed probe.channel:general menu")
        # Moving the screen reader's focus there asks the application to focus it.
        if not Atspi.Component.grab_focus(channel):
            fail("grab_focus refused")
        expect_line(probe, "performed probe.channel:general focus")
        if Atspi.Component.grab_focus(channels):
            fail("a list that cannot take the focus accepted it")

        send = find_by_name(root, "Send message")
        if send is None:
            fail("'Send message' not found")
        if send.get_role() != Atspi.Role.PUSH_BUTTON:
            fail(f"'Send message' role is {send.get_role()}")
        if send.get_description() != "Sends the draft":
            fail(f"description {send.get_description()!r}")
        window_extents = send.get_extents(Atspi.CoordType.WINDOW)
        if (window_extents.width, window_extents.height) != (80, 32):
            fail(f"extents {window_extents.width}x{window_extents.height}")
        if (window_extents.x, window_extents.y) != (300, 200):
            fail(f"position {window_extents.x},{window_extents.y}")

        if Atspi.Action.get_n_actions(send) != 1 or Atspi.Action.get_action_name(send, 0) != "activate":
            fail("no 'activate' action")
        if not Atspi.Action.do_action(send, 0):
            fail("do_action refused")
        expect_line(probe, "performed probe.send activate")
        # Focus moved to the button, the channel list grew and the change was announced.
        events.wait_for(("object:state-changed:focused", "Sent 1", 1, None))
        events.wait_for(("focus:", "Sent 1", None, None))
        events.wait_for(("object:state-changed:focused", "Message composer", 0, None))
        events.wait_for(("object:children-changed:add", "Channels", 1, "# new"))
        events.wait_for(("object:announcement", None, None, "Channel new added"))

        # The probe changed its tree; the same objects must now tell the new story.
        deadline = time.time() + 2.5
        while time.time() < deadline and send.get_name() != "Sent 1":
            time.sleep(0.1)
        if send.get_name() != "Sent 1":
            fail(f"label not updated: {send.get_name()!r}")
        if channels.get_child_count() != 2 or channels.get_child_at_index(1).get_name() != "# new":
            fail("added channel not visible")
        probe.wait(timeout=10)
        print("PASS")
    finally:
        if probe.poll() is None:
            probe.kill()
            probe.wait()


if __name__ == "__main__":
    main()
