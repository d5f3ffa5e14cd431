#include <spdlog/spdlog.h>

#include "runtime_identity/identity.hpp"
#include "xdg_paths/xdg_paths.hpp"

namespace runtime_identity::unix {

std::optional<std::filesystem::path> identity_path() {
    auto config = xdg_paths::config_dir();
    if (!config) return std::nullopt;
    return *config / "vemo" / "identity";
}

std::optional<Identity> load() {
    auto path = identity_path();
    if (!path) return std::nullopt;
    auto stored = read_identity_file(*path);
    if (!stored) {
        spdlog::warn("ignoring stored identity: {}", stored.error().message);
        return std::nullopt;
    }
    return *stored;
}

std::expected<void, Error> store(Identity const& identity) {
    auto path = identity_path();
    if (!path) return std::unexpected(Error{"no configuration directory (HOME is not set)"});
    return write_identity_file(*path, identity);
}

}  // namespace runtime_identity::unix
