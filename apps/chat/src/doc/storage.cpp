#include "doc/storage.hpp"

#include <cstdlib>

#include "xdg_paths/xdg_paths.hpp"

namespace chat {

std::optional<std::filesystem::path> data_directory() {
    if (char const* explicit_dir = std::getenv("VEMO_CHAT_DATA"))
        return std::filesystem::path(explicit_dir);
    if (auto data = xdg_paths::data_dir()) return *data / "vemo-chat";
    if (auto home = xdg_paths::home()) return *home / ".local/share" / "vemo-chat";
    return std::nullopt;
}

}  // namespace chat
