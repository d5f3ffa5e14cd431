// The window follows the desktop's light or dark preference and changes with it live.
#include "desktop_theme.hpp"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <optional>
#include <string>

#include "vemo_ui/desktop.hpp"

namespace vemo_ui::launch::detail {

namespace {

constexpr char const* portal_name = "org.freedesktop.portal.Desktop";
constexpr char const* portal_path = "/org/freedesktop/portal/desktop";
constexpr char const* settings_interface = "org.freedesktop.portal.Settings";
constexpr char const* appearance = "org.freedesktop.appearance";

struct ThemeState {
    GtkWidget* window = nullptr;
    std::optional<ThemeKind> portal;  // none: the portal has no preference or is not there
    std::optional<ThemeKind> chosen;  // the application's own choice
};

ThemeState& state() {
    static ThemeState s;
    return s;
}

// The portal's colour scheme: 1 prefers dark, 2 prefers light, 0 (or anything else) says nothing.
std::optional<ThemeKind> scheme_kind(GVariant* value) {
    // Read answers with the value wrapped twice, ReadOne and the signal once.
    GVariant* v = g_variant_ref(value);
    while (g_variant_is_of_type(v, G_VARIANT_TYPE_VARIANT)) {
        GVariant* inner = g_variant_get_variant(v);
        g_variant_unref(v);
        v = inner;
    }
    std::optional<ThemeKind> kind;
    if (g_variant_is_of_type(v, G_VARIANT_TYPE_UINT32)) {
        guint32 scheme = g_variant_get_uint32(v);
        if (scheme == 1) kind = ThemeKind::Dark;
        if (scheme == 2) kind = ThemeKind::Light;
    }
    g_variant_unref(v);
    return kind;
}

ThemeKind toolkit_kind() {
    GtkSettings* settings = gtk_settings_get_default();
    if (!settings) return ThemeKind::Dark;
    gboolean prefer_dark = FALSE;
    gchar* name = nullptr;
    g_object_get(settings, "gtk-application-prefer-dark-theme", &prefer_dark, "gtk-theme-name",
                 &name, nullptr);
    std::string theme = name ? name : "";
    g_free(name);
    if (prefer_dark || theme.ends_with("-dark") || theme.ends_with(":dark")) return ThemeKind::Dark;
    // A desktop that says nothing at all keeps the window's dark look it always had.
    return theme.empty() ? ThemeKind::Dark : ThemeKind::Light;
}

void repaint() {
    if (GtkWidget* w = state().window) gtk_widget_queue_draw(w);
}

void on_setting_changed(GDBusConnection*, gchar const*, gchar const*, gchar const*, gchar const*,
                        GVariant* parameters, gpointer) {
    gchar const* ns = nullptr;
    gchar const* key = nullptr;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(&s&sv)", &ns, &key, &value);
    if (std::string_view(ns) == appearance && std::string_view(key) == "color-scheme") {
        state().portal = scheme_kind(value);
        repaint();
    }
    g_variant_unref(value);
}

void on_read(GObject* bus, GAsyncResult* result, gpointer) {
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, nullptr);
    if (!reply) return;  // no portal, or it has no such setting: GTK's settings decide
    GVariant* value = g_variant_get_child_value(reply, 0);
    state().portal = scheme_kind(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    repaint();
}

}  // namespace

void follow_desktop_theme(GtkWidget* window) {
    state().window = window;
    g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer*>(&state().window));
    if (GtkSettings* settings = gtk_settings_get_default()) {
        g_signal_connect_swapped(settings, "notify::gtk-theme-name", G_CALLBACK(repaint), nullptr);
        g_signal_connect_swapped(settings, "notify::gtk-application-prefer-dark-theme",
                                 G_CALLBACK(repaint), nullptr);
    }
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return;
    g_dbus_connection_signal_subscribe(bus, portal_name, settings_interface, "SettingChanged",
                                       portal_path, appearance, G_DBUS_SIGNAL_FLAGS_NONE,
                                       on_setting_changed, nullptr, nullptr);
    // The older Read is the one every portal version answers.
    g_dbus_connection_call(bus, portal_name, portal_path, settings_interface, "Read",
                           g_variant_new("(ss)", appearance, "color-scheme"), G_VARIANT_TYPE("(v)"),
                           G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, on_read, nullptr);
    g_object_unref(bus);  // the connection stays open as the process's shared session bus
}

Theme const& window_theme() {
    auto const& s = state();
    if (s.chosen) return Theme::of(*s.chosen);
    if (s.portal) return Theme::of(*s.portal);
    return Theme::of(toolkit_kind());
}

}  // namespace vemo_ui::launch::detail

namespace vemo_ui::desktop {

void set_theme_preference(std::optional<ThemeKind> kind) {
    auto& s = launch::detail::state();
    if (s.chosen == kind) return;
    s.chosen = kind;
    launch::detail::repaint();
}

}  // namespace vemo_ui::desktop
