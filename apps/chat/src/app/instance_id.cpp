#include "app/instance_id.hpp"

#include <cstdio>
#include <filesystem>

#include "doc/ids.hpp"
#include "doc/storage.hpp"
#include "xdg_paths/xdg_paths.hpp"

namespace chat {

namespace {

constexpr std::string_view app_id = "so.vemo.chat";
constexpr std::string_view invite_scheme = "vemo-invite:";
constexpr std::string_view chat_join_prefix = "vemo-chat:join?invite=";

std::filesystem::path comparable(std::filesystem::path const& p) {
    std::error_code ec;
    auto c = std::filesystem::weakly_canonical(p, ec);
    if (ec) c = p;
    c = c.lexically_normal();
    // "dir/" and "dir" are one directory.
    if (!c.has_filename() && c.has_parent_path()) c = c.parent_path();
    return c;
}

std::optional<std::filesystem::path> usual_directory() {
    if (auto data = xdg_paths::data_dir()) return *data / "vemo-chat";
    if (auto home = xdg_paths::home()) return *home / ".local/share" / "vemo-chat";
    return std::nullopt;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percent_decode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += char(hi * 16 + lo);
        i += 2;
    }
    return out;
}

}  // namespace

std::string instance_id() {
    auto dir = data_directory();
    auto usual = usual_directory();
    if (!dir || (usual && comparable(*dir) == comparable(*usual))) return std::string(app_id);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(fnv1a64(comparable(*dir).string())));
    // Elements of a bus name must not start with a digit.
    return std::string(app_id) + ".d" + hex;
}

std::expected<std::optional<std::string>, std::string> invite_from_link(std::string_view link) {
    if (link.starts_with(invite_scheme)) return std::string(link);
    if (!link.starts_with("vemo-chat:")) return std::nullopt;
    if (!link.starts_with(chat_join_prefix))
        return std::unexpected("unsupported link '" + std::string(link) +
                               "' (expected vemo-chat:join?invite=…)");
    auto invite = percent_decode(link.substr(chat_join_prefix.size()));
    if (!invite || !invite->starts_with(invite_scheme))
        return std::unexpected("the link '" + std::string(link) + "' carries no invite");
    return invite;
}

}  // namespace chat
