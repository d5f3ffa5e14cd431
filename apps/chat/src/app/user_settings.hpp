#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace chat {

enum class ThemeChoice { System, Light, Dark };

// What one person chose for this computer: kept beside, not in, the shared document, because
// the others' windows must not follow it.
struct UserSettings {
    ThemeChoice theme = ThemeChoice::System;
    bool notifications = true;
    bool sounds = true;
    std::set<std::string> muted_channels;

    friend bool operator==(UserSettings const&, UserSettings const&) = default;
};

// "settings.ini" in the user's configuration directory ("vemo-chat" under XDG_CONFIG_HOME).
std::optional<std::filesystem::path> user_settings_path();

// Reads the key file; a missing file gives the defaults, and so does every key that is
// missing or unreadable, so a damaged file never stops the window.
UserSettings load_user_settings(std::filesystem::path const& path);
// Writes the whole key file through a temporary file and a rename.
std::expected<void, std::string> save_user_settings(std::filesystem::path const& path,
                                                    UserSettings const& settings);

}  // namespace chat
