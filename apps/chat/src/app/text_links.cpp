#include "app/text_links.hpp"

#include <glib.h>

#include <algorithm>
#include <array>

namespace chat {

namespace {

constexpr size_t max_link_bytes = 4096;
constexpr std::array<std::string_view, 3> schemes = {"https://", "http://", "mailto:"};

bool ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (g_ascii_tolower(text[i]) != prefix[i]) return false;
    return true;
}

// The length of the character at `at` when it may be part of an address, 0 when it ends one:
// white space, controls, invisible formatting (bidirectional overrides, zero-width spaces),
// malformed UTF-8 and the ASCII characters that never appear unescaped in an address.
size_t address_char(std::string_view text, size_t at) {
    auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) {
        if (c <= 0x20 || c == 0x7f) return 0;
        return std::string_view("<>\"`\\{}|^").find(char(c)) == std::string_view::npos ? 1 : 0;
    }
    gunichar u = g_utf8_get_char_validated(text.data() + at, gssize(text.size() - at));
    if (u == gunichar(-1) || u == gunichar(-2)) return 0;
    if (g_unichar_isspace(u)) return 0;
    switch (g_unichar_type(u)) {
        case G_UNICODE_CONTROL:
        case G_UNICODE_FORMAT:
        case G_UNICODE_SPACE_SEPARATOR:
        case G_UNICODE_LINE_SEPARATOR:
        case G_UNICODE_PARAGRAPH_SEPARATOR:
        case G_UNICODE_UNASSIGNED:
        case G_UNICODE_PRIVATE_USE:
        case G_UNICODE_SURROGATE:
            return 0;
        default:
            return size_t(g_utf8_skip[c]);
    }
}

std::string_view scheme_of(std::string_view text) {
    for (auto s : schemes)
        if (starts_with_nocase(text, s)) return s;
    return {};
}

// After the scheme: a host for the web, an address with an @ for mail.
bool well_formed(std::string_view scheme, std::string_view rest) {
    if (scheme == "mailto:") {
        auto query = rest.find('?');
        auto address = rest.substr(0, query);
        auto at = address.find('@');
        return at != std::string_view::npos && at > 0 && at + 1 < address.size() &&
               std::ranges::any_of(address.substr(at + 1),
                                   [](char c) { return ascii_alnum(c) || (c & 0x80); });
    }
    auto host = rest.substr(0, rest.find_first_of("/?#"));
    return !host.empty() && host.front() != '.' && host.front() != ':' &&
           std::ranges::any_of(host, [](char c) { return ascii_alnum(c) || (c & 0x80); });
}

std::string encoded(std::string_view link) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(link.size());
    for (char ch : link) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Sentence punctuation after a link belongs to the sentence; a closing bracket belongs to the
// link only when the link opened it.
size_t trimmed_end(std::string_view text, size_t begin, size_t end) {
    auto body = text.substr(begin, end - begin);
    auto round = std::ranges::count(body, '(') - std::ranges::count(body, ')');
    auto square = std::ranges::count(body, '[') - std::ranges::count(body, ']');
    while (end > begin) {
        char last = text[end - 1];
        if (last == ')' && round < 0)
            ++round;
        else if (last == ']' && square < 0)
            ++square;
        else if (std::string_view(".,:;!?'*_~").find(last) == std::string_view::npos)
            break;
        --end;
    }
    return end;
}

bool word_char_before(std::string_view text, size_t at) {
    if (at == 0) return false;
    auto c = static_cast<unsigned char>(text[at - 1]);
    if (c < 0x80) return ascii_alnum(c) || c == '_' || c == '-' || c == '/' || c == '.';
    char const* prev = g_utf8_find_prev_char(text.data(), text.data() + at);
    if (!prev) return false;
    gunichar u = g_utf8_get_char_validated(prev, gssize(text.data() + at - prev));
    return u != gunichar(-1) && u != gunichar(-2) && g_unichar_isalnum(u);
}

}  // namespace

std::vector<FoundLink> find_links(std::string_view text) {
    std::vector<FoundLink> found;
    size_t i = 0;
    while (i < text.size()) {
        char c = char(g_ascii_tolower(text[i]));
        auto scheme = (c == 'h' || c == 'm') && !word_char_before(text, i)
                          ? scheme_of(text.substr(i))
                          : std::string_view{};
        if (scheme.empty()) {
            ++i;
            continue;
        }
        size_t end = i + scheme.size();
        while (end < text.size()) {
            size_t n = address_char(text, end);
            if (n == 0) break;
            end += n;
        }
        // Nothing this long is a link, nor is anything that starts inside it.
        if (end - i > max_link_bytes) {
            i = end;
            continue;
        }
        end = trimmed_end(text, i + scheme.size(), end);
        auto rest = text.substr(i + scheme.size(), end - i - scheme.size());
        if (well_formed(scheme, rest)) {
            found.push_back({i, end, encoded(text.substr(i, end - i))});
            i = end;
        } else {
            i += scheme.size();
        }
    }
    return found;
}

std::optional<std::string> safe_link(std::string_view address) {
    while (!address.empty() && g_ascii_isspace(address.front())) address.remove_prefix(1);
    while (!address.empty() && g_ascii_isspace(address.back())) address.remove_suffix(1);
    auto scheme = scheme_of(address);
    if (scheme.empty() || address.size() > max_link_bytes) return std::nullopt;
    for (size_t at = 0; at < address.size();) {
        size_t n = address_char(address, at);
        if (n == 0) return std::nullopt;
        at += n;
    }
    if (!well_formed(scheme, address.substr(scheme.size()))) return std::nullopt;
    return encoded(address);
}

}  // namespace chat
