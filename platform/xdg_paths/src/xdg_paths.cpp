#include "xdg_paths/xdg_paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace xdg_paths {

namespace {

std::optional<std::filesystem::path> absolute_env(char const* name) {
    char const* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::filesystem::path(value);
}

std::optional<std::filesystem::path> home_from_passwd() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    passwd entry{};
    passwd* result = nullptr;
    // A huge entry (NSS over LDAP) may need more room; grow a few times, then give up.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int rc = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (rc != 0 || result == nullptr || result->pw_dir == nullptr) return std::nullopt;
        if (result->pw_dir[0] != '/') return std::nullopt;
        return std::filesystem::path(result->pw_dir);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> base_dir(char const* variable, char const* under_home) {
    if (auto explicit_dir = absolute_env(variable)) return explicit_dir;
    if (auto home_dir = absolute_env("HOME")) return *home_dir / under_home;
    return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> home() {
    if (auto from_env = absolute_env("HOME")) return from_env;
    return home_from_passwd();
}

std::optional<std::filesystem::path> data_dir() {
    return base_dir("XDG_DATA_HOME", ".local/share");
}

std::optional<std::filesystem::path> config_dir() {
    return base_dir("XDG_CONFIG_HOME", ".config");
}

std::optional<std::filesystem::path> cache_dir() {
    return base_dir("XDG_CACHE_HOME", ".cache");
}

}  // namespace xdg_paths
