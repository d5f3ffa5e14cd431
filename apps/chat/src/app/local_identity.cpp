#include "app/local_identity.hpp"

#include <glib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>

#include "doc/ids.hpp"
#include "doc/storage.hpp"
#include "vemo_ui/avatar.hpp"

namespace chat {

namespace {

std::optional<std::string> env(char const* name)
{
    if (char const* v = std::getenv(name)) return std::string(v);
    return std::nullopt;
}

std::string trimmed(std::string s)
{
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && is_space(s.back())) s.pop_back();
    size_t start = 0;
    while (start < s.size() && is_space(s[start])) ++start;
    return s.substr(start);
}

std::optional<std::string> read_file(std::filesystem::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first value that is present and not empty.
std::string first_of(std::optional<std::string> const& a, std::optional<std::string> const& b)
{
    if (a && !a->empty()) return *a;
    if (b && !b->empty()) return *b;
    return {};
}

std::optional<std::string> read_peer_id(std::filesystem::path const& dir)
{
    auto text = read_file(dir / "peer-id");
    if (!text) return std::nullopt;
    std::string id = trimmed(*text);
    if (id.empty()) return std::nullopt;
    return id;
}

// Written to a temporary file and renamed, so a crash never leaves a half-written id behind.
bool write_peer_id(std::filesystem::path const& dir, std::string const& id)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    auto tmp = dir / ("peer-id.tmp." + std::to_string(::getpid()));
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << id << "\n";
        out.flush();
        if (!out) {
            std::filesystem::remove(tmp, ec);
            return false;
        }
    }
    std::filesystem::rename(tmp, dir / "peer-id", ec);
    if (ec) std::filesystem::remove(tmp, ec);
    return !ec;
}

std::string user_host_id(IdentitySources const& s)
{
    std::string user = first_of(s.user, s.username);
    std::string host = s.hostname && !s.hostname->empty()
                           ? *s.hostname
                           : trimmed(read_file(s.hostname_file).value_or(""));
    std::string joined = user + "@" + host;
    if (joined == "@") return new_id("u_");
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a64(joined)));
    return "u_" + std::string(hex);
}

std::string stored_or_new_id(IdentitySources const& s)
{
    if (s.data_dir) {
        if (auto id = read_peer_id(*s.data_dir)) return *id;
        std::string id = new_id("u_");
        if (write_peer_id(*s.data_dir, id)) return id;
    }
    return user_host_id(s);
}

}  // namespace

IdentitySources IdentitySources::from_environment()
{
    IdentitySources s;
    s.stored = runtime_identity::unix::load();
    s.data_dir = data_directory();
    s.user = env("USER");
    s.username = env("USERNAME");
    s.hostname = env("HOSTNAME");
    return s;
}

std::string display_name_from_user(std::optional<std::string> const& user,
                                   std::optional<std::string> const& username)
{
    std::string source = first_of(user, username);
    std::string name;
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        // Upper-case the first character as a whole code point, leave the rest alone.
        gunichar first = g_utf8_get_char_validated(word.c_str(), gssize(word.size()));
        if (first != gunichar(-1) && first != gunichar(-2)) {
            char buf[6];
            int n = g_unichar_to_utf8(g_unichar_toupper(first), buf);
            size_t first_len = size_t(g_utf8_next_char(word.c_str()) - word.c_str());
            word = std::string(buf, size_t(n)) + word.substr(first_len);
        }
        if (!name.empty()) name += ' ';
        name += word;
        word.clear();
    };
    for (char c : source) {
        if (c == '.' || c == '_' || c == '-' || c == ' ' || c == '\t')
            flush();
        else
            word += c;
    }
    flush();
    return name.empty() ? "You" : name;
}

std::string initials_for(std::string const& display_name)
{
    std::string initials = vemo_ui::widget::avatar::Avatar::initials_for_name(display_name);
    return initials.empty() ? "Y" : initials;
}

LocalIdentity determine_local_identity(IdentitySources const& s)
{
    LocalIdentity identity;
    if (s.stored) {
        identity.id = s.stored->identifier;
        identity.color_idx = uint8_t(fnv1a64(std::span<uint8_t const>(s.stored->key)) & 7);
        identity.display_name = s.stored->name.empty()
                                    ? display_name_from_user(s.user, s.username)
                                    : s.stored->name;
    } else {
        identity.id = stored_or_new_id(s);
        identity.color_idx = color_index_for(identity.id);
        identity.display_name = display_name_from_user(s.user, s.username);
    }
    identity.initials = initials_for(identity.display_name);
    return identity;
}

}  // namespace chat
