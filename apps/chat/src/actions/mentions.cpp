#include "actions/mentions.hpp"

#include <glib.h>

#include <algorithm>

namespace chat {

namespace {

// Length in bytes of `name` matched case-insensitively at the start of `text`, or 0.
size_t match_name(std::string_view text, std::string_view name)
{
    char const* t = text.data();
    char const* t_end = t + text.size();
    char const* n = name.data();
    char const* n_end = n + name.size();
    while (n < n_end) {
        if (t >= t_end) return 0;
        gunichar tc = g_utf8_get_char_validated(t, t_end - t);
        gunichar nc = g_utf8_get_char_validated(n, n_end - n);
        if (tc == gunichar(-1) || tc == gunichar(-2) || nc == gunichar(-1) || nc == gunichar(-2)) return 0;
        if (g_unichar_tolower(tc) != g_unichar_tolower(nc)) return 0;
        t = g_utf8_next_char(t);
        n = g_utf8_next_char(n);
    }
    if (t < t_end) {
        gunichar next = g_utf8_get_char_validated(t, t_end - t);
        if (next != gunichar(-1) && next != gunichar(-2) && g_unichar_isalnum(next)) return 0;
    }
    return size_t(t - text.data());
}

}  // namespace

std::vector<Mention> detect_mentions(std::string_view text, std::vector<MentionCandidate> candidates)
{
    std::erase_if(candidates, [](auto const& c) { return c.name.empty(); });
    std::stable_sort(candidates.begin(), candidates.end(), [](auto const& a, auto const& b) {
        if (a.name.size() != b.name.size()) return a.name.size() > b.name.size();
        return a.name < b.name;
    });
    std::vector<Mention> out;
    for (size_t at = text.find('@'); at != std::string_view::npos; at = text.find('@', at + 1)) {
        std::string_view rest = text.substr(at + 1);
        for (auto const& c : candidates) {
            size_t len = match_name(rest, c.name);
            if (len == 0) continue;
            out.push_back(Mention{c.id, at, len + 1, c.agent});
            break;
        }
    }
    return out;
}

}  // namespace chat
