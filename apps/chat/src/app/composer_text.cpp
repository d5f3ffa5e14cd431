#include "app/composer_text.hpp"

#include <glib.h>

#include <chrono>
#include <cstdio>

namespace chat {

std::array<EmojiCategory, 5> const emoji_categories = {{
    {"Frequent", {"👍", "🎉", "❤️", "😂", "🚀", "👀"}},
    {"Smileys", {"😀", "😄", "😁", "😂", "🙂", "😉", "😍", "😎", "🤔", "😇", "🥳", "😴"}},
    {"Gestures", {"👍", "👎", "👏", "🙌", "🙏", "💪", "🤝", "👋", "✌️", "🤙", "👀", "🫶"}},
    {"Symbols", {"❤️", "🔥", "⭐", "✨", "🎉", "🚀", "💯", "✅", "❌", "⚡", "💡", "📌"}},
    {"Objects", {"☕", "🍕", "🎧", "📷", "🖥️", "📝", "🐛", "🌈", "🌙", "☀️", "🎈", "🧩"}},
}};

namespace {

// Decodes the text into scalar values; malformed bytes become U+FFFD so positions stay
// meaningful.
std::vector<char32_t> scalars(std::string_view text) {
    std::vector<char32_t> out;
    char const* p = text.data();
    char const* end = p + text.size();
    while (p < end) {
        gunichar c = g_utf8_get_char_validated(p, end - p);
        if (c == gunichar(-1) || c == gunichar(-2)) {
            out.push_back(0xFFFD);
            ++p;
            continue;
        }
        out.push_back(c);
        p = g_utf8_next_char(p);
    }
    return out;
}

}  // namespace

std::string trimmed(std::string_view text) {
    auto chars = scalars(text);
    size_t b = 0, e = chars.size();
    while (b < e && g_unichar_isspace(chars[b])) ++b;
    while (e > b && g_unichar_isspace(chars[e - 1])) --e;
    // Cut the original bytes so valid text comes back byte for byte.
    char const* p = text.data();
    char const* end = p + text.size();
    auto advance = [&](char const* q, size_t n) {
        for (size_t i = 0; i < n && q < end; ++i) {
            gunichar c = g_utf8_get_char_validated(q, end - q);
            q = (c == gunichar(-1) || c == gunichar(-2)) ? q + 1 : g_utf8_next_char(q);
        }
        return q;
    };
    char const* start = advance(p, b);
    char const* stop = advance(start, e - b);
    return std::string(start, stop);
}

std::string clock_time(int64_t ts) {
    int64_t day_seconds = ((ts % 86400) + 86400) % 86400;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d:%02d", int(day_seconds / 3600),
                  int(day_seconds / 60 % 60));
    return buf;
}

std::string badge_text(uint32_t count) {
    return count > 99 ? "99+" : std::to_string(count);
}

int64_t now_seconds() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return secs < 0 ? int64_t(1782477600) : secs;
}

}  // namespace chat
