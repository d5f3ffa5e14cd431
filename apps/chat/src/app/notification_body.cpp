#include "app/notification_body.hpp"

#include <gio/gio.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace chat {

namespace {

constexpr int bus_timeout_ms = 500;

bool name_has_owner(GDBusConnection* bus, char const* name) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
        bus_timeout_ms, nullptr, nullptr);
    if (!reply) return false;
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

bool advertises_body_markup(GDBusConnection* bus) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, bus_timeout_ms, nullptr, nullptr);
    if (!reply) return false;
    GVariantIter* caps = nullptr;
    g_variant_get(reply, "(as)", &caps);
    bool markup = false;
    gchar* cap = nullptr;
    while (g_variant_iter_loop(caps, "s", &cap))
        if (std::string_view(cap) == "body-markup") markup = true;
    g_variant_iter_free(caps);
    g_variant_unref(reply);
    return markup;
}

bool probe() {
    // GLib picks the backend the same way: a forced one, else the portal inside a sandbox,
    // else GTK's when its notification service runs, else the freedesktop one.
    char const* forced = std::getenv("GNOTIFICATION_BACKEND");
    if (forced && std::string_view(forced) != "freedesktop") return false;
    char const* portal = std::getenv("GTK_USE_PORTAL");
    if (!forced &&
        ((portal && std::string_view(portal) == "1") || std::filesystem::exists("/.flatpak-info")))
        return false;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return false;
    bool markup =
        (forced || !name_has_owner(bus, "org.gtk.Notifications")) && advertises_body_markup(bus);
    g_object_unref(bus);
    return markup;
}

}  // namespace

std::string notification_body(std::string_view text, bool server_reads_markup) {
    if (!server_reads_markup) return std::string(text);
    gchar* escaped = g_markup_escape_text(text.data(), gssize(text.size()));
    std::string out = escaped;
    g_free(escaped);
    return out;
}

bool notification_server_reads_markup() {
    static std::optional<bool> known;
    if (!known) known = probe();
    return *known;
}

}  // namespace chat
