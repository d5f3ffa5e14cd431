#pragma once

#include <filesystem>
#include <optional>

// Per-user directories following the XDG base directory rules. Every function reads the
// environment at call time, so tests and child processes can redirect them.
namespace xdg_paths {

// The user's home directory: $HOME when it is set to an absolute path, else the home
// directory of the effective user in the password database. None when neither is known.
std::optional<std::filesystem::path> home();

// Where applications keep user data: $XDG_DATA_HOME when it is an absolute path (relative
// values are ignored, as the XDG rules require), else $HOME/.local/share. Deliberately
// looks at $HOME only and not the password database: a process started without a home
// (a service, a sandbox, a test) runs without persistent storage instead of writing into
// a directory nobody asked for.
std::optional<std::filesystem::path> data_dir();

// Where applications keep user configuration: $XDG_CONFIG_HOME when absolute, else
// $HOME/.config; same rules as data_dir().
std::optional<std::filesystem::path> config_dir();

// Where applications keep files they can make again (indexes, thumbnails): $XDG_CACHE_HOME
// when absolute, else $HOME/.cache; same rules as data_dir().
std::optional<std::filesystem::path> cache_dir();

}  // namespace xdg_paths
