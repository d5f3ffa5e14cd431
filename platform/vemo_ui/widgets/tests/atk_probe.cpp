// A window whose only content is a drawing area with an accessibility tree, for the AT-SPI
// test script. It first checks a copy and paste through the display's clipboard, prints
// "ready" once shown, then "performed <id> <action>" for each action assistive technology
// runs and "edited <text> <caret>" for each edit of its text field. Activating the send
// button moves focus to it, adds a channel and announces it. It quits five seconds after the
// last request.
#include <gtk/gtk.h>

#include <cstdio>

#include "vemo_ui/atk_bridge.hpp"
#include "vemo_ui/clipboard.hpp"
#include "vemo_ui/text_input.hpp"
#include "vemo_ui/text_renderer.hpp"

using namespace vemo_ui;

namespace {

GtkWidget* g_area = nullptr;
int g_performed = 0;
bool g_send_focused = false;
guint g_quit_timer = 0;
// The composer's text field, edited only through assistive technology here, laid out as it
// would be drawn.
TextRenderer g_text;
TextInput g_draft;

a11y::AccessNode tree() {
    using a11y::AccessNode;
    using a11y::Role;
    auto node = [](Role role, char const* id, std::string label, char const* description,
                   Rect rect) {
        AccessNode n;
        n.role = role, n.id = id, n.label = std::move(label), n.description = description;
        n.rect = rect;
        return n;
    };
    // After an action the button's label changes and a second channel appears, so the test
    // sees the tree being read again.
    std::string send_label = g_performed ? "Sent " + std::to_string(g_performed) : "Send message";
    AccessNode send =
        node(Role::Button, "probe.send", send_label, "Sends the draft", {300, 200, 80, 32});
    send.states.focused = g_send_focused;
    AccessNode channel =
        node(Role::ListItem, "probe.channel:general", "# general", "", {10, 60, 200, 30});
    channel.states.selected = true;
    channel.actions = {"menu", "reply"};
    std::vector<AccessNode> channels{channel};
    if (g_performed)
        channels.push_back(
            node(Role::ListItem, "probe.channel:new", "# new", "", {10, 90, 200, 30}));
    AccessNode list = node(Role::List, "probe.channels", "Channels", "", {0, 50, 220, 300});
    list.live = "polite";
    g_draft.set_bounds({10, 200, 280, 38});
    g_draft.set_focused(!g_send_focused);
    AccessNode composer = g_draft.accessibility("probe.composer", "Message composer");
    AccessNode root = node(Role::Window, "probe", "Probe", "A window for the accessibility test",
                           {0, 0, 400, 300});
    return std::move(root).with_children(
        {std::move(list).with_children(std::move(channels)), composer, send});
}

// Copy from one text input and paste into another through the display's clipboard; the paste
// answer comes back through the main loop, so spin it (for at most five seconds).
bool clipboard_round_trip() {
    auto board = make_gtk_clipboard();
    if (!board) return false;
    TextInput from, to;
    from.set_clipboard(board);
    to.set_clipboard(board);
    from.set_text("through the display 📋");
    from.handle_event(KeyEvent{Key::Character, U'a', {.control = true}, true});
    from.handle_event(KeyEvent{Key::Character, U'c', {.control = true}, true});
    to.handle_event(KeyEvent{Key::Character, U'v', {.control = true}, true});
    gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while (to.text().empty() && g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, FALSE);
    return to.text() == from.text() && to.take_dirty();
}

void quit_later() {
    if (g_quit_timer) g_source_remove(g_quit_timer);
    g_quit_timer = g_timeout_add(
        5000,
        [](gpointer) -> gboolean {
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    g_set_prgname("vemo-atk-probe");
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "no display\n");
        return 77;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "probe");
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
    GtkWidget* area = g_area = vemo_drawing_area_new();
    gtk_container_add(GTK_CONTAINER(window), area);
    bool installed = install_accessibility(
        area, tree,
        [](std::string const& id, std::string const& action) {
            std::printf("performed %s %s\n", id.c_str(), action.c_str());
            std::fflush(stdout);
            if (id == "probe.send" && action == "activate") {
                ++g_performed;
                g_send_focused = true;
                notify_accessibility_changed(g_area);
                announce_accessibility(g_area, "Channel new added");
            }
            quit_later();
            return true;
        },
        [](std::string const& id, a11y::TextEdit const& edit) {
            if (id != "probe.composer") return false;
            g_draft.apply_edit(edit);
            std::printf("edited %s %zu\n", g_draft.text().c_str(), g_draft.cursor_pos());
            std::fflush(stdout);
            notify_accessibility_changed(g_area);
            quit_later();
            return true;
        });
    if (!installed) return 1;
    g_draft.set_text_renderer(&g_text);
    g_draft.set_text("hello wörld");
    g_draft.set_cursor_pos(5);
    notify_accessibility_changed(g_area);
    // A plain drawing area must be refused: it has no bridge type.
    if (install_accessibility(gtk_drawing_area_new(), tree, {})) return 1;
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    g_timeout_add_seconds(
        50,
        [](gpointer) -> gboolean {
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    if (!clipboard_round_trip()) {
        std::printf("clipboard round trip failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    gtk_main();
    return 0;
}
