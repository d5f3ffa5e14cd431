// One window per application id: the first launch registers the id on the session bus, later
// launches raise its window and hand their invite over to it. The registered application also
// carries the window's notifications, its unread count and its attention requests.
#include "desktop_instance.hpp"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <deque>
#include <iostream>

#include "app_session.hpp"
#include "desktop_theme.hpp"
#include "vemo_ui/desktop.hpp"
#include "vemo_ui/share/invite.hpp"
#include "vemo_ui/share/sharing.hpp"
#include "window_drop.hpp"

namespace vemo_ui::launch::detail {

namespace {

constexpr size_t max_activated_targets = 16;

struct Instance {
    GApplication* app = nullptr;
    vemo_ui::detail::AppSession* session = nullptr;
    GtkWindow* window = nullptr;
    std::string base_title;
    int unread = 0;
    std::deque<std::string> activated;
};

Instance& instance() {
    static Instance s;
    return s;
}

void present_window() {
    if (GtkWindow* w = instance().window) gtk_window_present_with_time(w, GDK_CURRENT_TIME);
}

void on_activate(GApplication*, gpointer) {
    present_window();
}

void on_join(GSimpleAction*, GVariant* parameter, gpointer) {
    present_window();
    std::string invite = g_variant_get_string(parameter, nullptr);
    auto* session = instance().session;
    share::Sharing* sharing = session ? session->sharing() : nullptr;
    if (!sharing) {
        std::cerr << "cannot join from another launch: this workspace is not shared\n";
        return;
    }
    if (auto begun = sharing->begin_join(invite); !begun)
        std::cerr << "cannot join: " << begun.error() << "\n";
}

void on_open_target(GSimpleAction*, GVariant* parameter, gpointer) {
    present_window();
    auto& targets = instance().activated;
    if (targets.size() >= max_activated_targets) targets.pop_front();
    targets.emplace_back(g_variant_get_string(parameter, nullptr));
}

void add_action(GApplication* app, char const* name, GCallback handler) {
    GSimpleAction* action = g_simple_action_new(name, G_VARIANT_TYPE_STRING);
    g_signal_connect(action, "activate", handler, nullptr);
    g_action_map_add_action(G_ACTION_MAP(app), G_ACTION(action));
    g_object_unref(action);
}

// The invite this launch carries (--join or a link), checked here so that a malformed one is
// refused by the launch that got it rather than lost in the running window.
std::expected<std::optional<std::string>, std::string> launch_invite(LaunchConfig const& config) {
    if (!config.sharing) return std::nullopt;
    auto options = config.sharing();
    if (!options || !options->join) return std::nullopt;
    if (auto parsed = share::Invite::parse(*options->join); !parsed)
        return std::unexpected("malformed invite: " + parsed.error());
    return options->join;
}

int hand_over(GApplication* app, std::string const& program, LaunchConfig const& config) {
    auto invite = launch_invite(config);
    if (!invite) {
        std::cerr << program << ": " << invite.error() << "\n";
        return 2;
    }
    if (*invite)
        g_action_group_activate_action(G_ACTION_GROUP(app), "join",
                                       g_variant_new_string((*invite)->c_str()));
    else
        g_application_activate(app);
    // The requests are one-way messages: make sure they left before this process ends.
    if (GDBusConnection* bus = g_application_get_dbus_connection(app))
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    return 0;
}

void on_window_active(GObject* window, GParamSpec*, gpointer) {
    if (gtk_window_is_active(GTK_WINDOW(window)))
        gtk_window_set_urgency_hint(GTK_WINDOW(window), FALSE);
}

GtkWindow* shown_toplevel() {
    GtkWindow* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l && !found; l = l->next) {
        auto* w = GTK_WINDOW(l->data);
        if (gtk_window_get_window_type(w) == GTK_WINDOW_TOPLEVEL &&
            gtk_widget_get_visible(GTK_WIDGET(w)))
            found = w;
    }
    g_list_free(windows);
    return found;
}

}  // namespace

std::optional<int> claim_instance(LaunchConfig const& config, std::string const& program) {
    if (!config.single_instance) return std::nullopt;
    std::string id = config.instance_id ? config.instance_id() : config.app_id;
    if (!g_application_id_is_valid(id.c_str())) {
        std::cerr << program << ": '" << id
                  << "' is no valid application id; running unregistered\n";
        return std::nullopt;
    }
    GApplication* app = g_application_new(id.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(app, "activate", G_CALLBACK(on_activate), nullptr);
    add_action(app, "join", G_CALLBACK(on_join));
    add_action(app, "open-target", G_CALLBACK(on_open_target));
    GError* error = nullptr;
    if (!g_application_register(app, nullptr, &error)) {
        // No session bus: every launch runs on its own, as before.
        g_clear_error(&error);
        g_object_unref(app);
        return std::nullopt;
    }
    if (g_application_get_is_remote(app)) {
        int status = hand_over(app, program, config);
        g_object_unref(app);
        return status;
    }
    instance().app = app;  // kept for the life of the process
    return std::nullopt;
}

void attach_instance(vemo_ui::detail::AppSession& session) {
    auto& s = instance();
    s.session = &session;
    s.window = shown_toplevel();
    if (!s.window) return;
    accept_file_drops(GTK_WIDGET(s.window), session);
    follow_desktop_theme(GTK_WIDGET(s.window));
    g_object_add_weak_pointer(G_OBJECT(s.window), reinterpret_cast<gpointer*>(&s.window));
    char const* title = gtk_window_get_title(s.window);
    s.base_title = title ? title : "";
    g_signal_connect(s.window, "notify::is-active", G_CALLBACK(on_window_active), nullptr);
}

}  // namespace vemo_ui::launch::detail

namespace vemo_ui::desktop {

using launch::detail::instance;

bool notify(Notification const& n) {
    GApplication* app = instance().app;
    if (!app) return false;
    GNotification* note = g_notification_new(n.title.c_str());
    g_notification_set_body(note, n.body.c_str());
    g_notification_set_priority(note, G_NOTIFICATION_PRIORITY_HIGH);
    if (!n.target.empty())
        g_notification_set_default_action_and_target(note, "app.open-target", "s",
                                                     n.target.c_str());
    g_application_send_notification(app, n.id.empty() ? nullptr : n.id.c_str(), note);
    g_object_unref(note);
    return true;
}

void withdraw(std::string const& id) {
    if (GApplication* app = instance().app) g_application_withdraw_notification(app, id.c_str());
}

void set_unread_count(int count) {
    auto& s = instance();
    if (!s.window || count == s.unread) return;
    s.unread = count;
    std::string title =
        count > 0 ? "(" + std::to_string(count) + ") " + s.base_title : s.base_title;
    gtk_window_set_title(s.window, title.c_str());
}

void request_attention() {
    if (GtkWindow* w = instance().window; w && !gtk_window_is_active(w))
        gtk_window_set_urgency_hint(w, TRUE);
}

bool window_active() {
    GtkWindow* w = instance().window;
    return w && gtk_window_is_active(w);
}

std::optional<std::string> take_activated_target() {
    auto& targets = instance().activated;
    if (targets.empty()) return std::nullopt;
    std::string t = std::move(targets.front());
    targets.pop_front();
    return t;
}

}  // namespace vemo_ui::desktop
