#include "app/user_settings.hpp"

#include <glib.h>

#include <vector>

#include "xdg_paths/xdg_paths.hpp"

namespace chat {

namespace {

constexpr char const* appearance = "appearance";
constexpr char const* notifications = "notifications";

struct KeyFile {
    GKeyFile* file = g_key_file_new();
    ~KeyFile() { g_key_file_free(file); }
};

bool read_bool(GKeyFile* file, char const* group, char const* key, bool fallback) {
    GError* error = nullptr;
    gboolean v = g_key_file_get_boolean(file, group, key, &error);
    if (error) {
        g_error_free(error);
        return fallback;
    }
    return v != FALSE;
}

ThemeChoice read_theme(GKeyFile* file) {
    gchar* v = g_key_file_get_string(file, appearance, "theme", nullptr);
    std::string s = v ? v : "";
    g_free(v);
    if (s == "light") return ThemeChoice::Light;
    if (s == "dark") return ThemeChoice::Dark;
    return ThemeChoice::System;
}

char const* theme_name(ThemeChoice t) {
    switch (t) {
        case ThemeChoice::Light:
            return "light";
        case ThemeChoice::Dark:
            return "dark";
        case ThemeChoice::System:
            break;
    }
    return "system";
}

}  // namespace

std::optional<std::filesystem::path> user_settings_path() {
    auto dir = xdg_paths::config_dir();
    if (!dir) return std::nullopt;
    return *dir / "vemo-chat" / "settings.ini";
}

UserSettings load_user_settings(std::filesystem::path const& path) {
    UserSettings s;
    KeyFile kf;
    if (!g_key_file_load_from_file(kf.file, path.c_str(), G_KEY_FILE_NONE, nullptr)) return s;
    s.theme = read_theme(kf.file);
    s.notifications = read_bool(kf.file, notifications, "enabled", true);
    s.sounds = read_bool(kf.file, notifications, "sounds", true);
    gsize n = 0;
    gchar** muted = g_key_file_get_string_list(kf.file, notifications, "muted", &n, nullptr);
    for (gsize i = 0; muted && i < n; ++i)
        if (muted[i][0]) s.muted_channels.insert(muted[i]);
    g_strfreev(muted);
    return s;
}

std::expected<void, std::string> save_user_settings(std::filesystem::path const& path,
                                                    UserSettings const& s) {
    KeyFile kf;
    g_key_file_set_string(kf.file, appearance, "theme", theme_name(s.theme));
    g_key_file_set_boolean(kf.file, notifications, "enabled", s.notifications);
    g_key_file_set_boolean(kf.file, notifications, "sounds", s.sounds);
    std::vector<char const*> muted;
    for (auto const& id : s.muted_channels) muted.push_back(id.c_str());
    g_key_file_set_string_list(kf.file, notifications, "muted", muted.data(), muted.size());
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec)
        return std::unexpected("cannot create " + path.parent_path().string() + ": " +
                               ec.message());
    GError* error = nullptr;
    // GLib writes a temporary file and renames it over the old one.
    if (!g_key_file_save_to_file(kf.file, path.c_str(), &error)) {
        std::string why = error ? error->message : "unknown error";
        g_clear_error(&error);
        return std::unexpected("cannot save settings: " + why);
    }
    return {};
}

}  // namespace chat
