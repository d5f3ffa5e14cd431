#include "app/composer_text.hpp"

#include <gio/gio.h>
#include <glib.h>

#include <chrono>
#include <cstdio>
#include <unordered_map>

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

// Labels of a long history ask for thousands of times a frame; formatting one through GLib's
// time zones costs microseconds, so the minutes already written are kept.
std::string clock_time(int64_t ts) {
    static bool const twelve_hour = desktop_uses_twelve_hour_clock();
    thread_local std::unordered_map<int64_t, std::string> written;
    int64_t minute = ts >= 0 ? ts / 60 : -((-ts + 59) / 60);
    if (auto it = written.find(minute); it != written.end()) return it->second;
    if (written.size() >= 65536) written.clear();
    return written.emplace(minute, clock_time_in(ts, "", twelve_hour)).first->second;
}

std::string clock_time_in(int64_t ts, std::string const& zone, bool twelve_hour) {
    GTimeZone* tz =
        zone.empty() ? g_time_zone_new_local() : g_time_zone_new_identifier(zone.c_str());
    if (!tz) tz = g_time_zone_new_utc();
    GDateTime* at = g_date_time_new_from_unix_utc(ts);
    GDateTime* local = at ? g_date_time_to_timezone(at, tz) : nullptr;
    std::string out = "--:--";
    if (local) {
        // "%p" follows the locale and is empty in some; fall back to the 24-hour form there.
        gchar* text = g_date_time_format(local, twelve_hour ? "%-l:%M %p" : "%H:%M");
        if (text && (!twelve_hour || std::string_view(text).back() != ' '))
            out = text;
        else if (gchar* plain = g_date_time_format(local, "%H:%M"))
            out = plain, g_free(plain);
        g_free(text);
        g_date_time_unref(local);
    }
    if (at) g_date_time_unref(at);
    g_time_zone_unref(tz);
    return out;
}

bool desktop_uses_twelve_hour_clock() {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source) return false;
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
    if (!schema) return false;
    bool twelve = false;
    if (g_settings_schema_has_key(schema, "clock-format")) {
        GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
        gchar* format = g_settings_get_string(settings, "clock-format");
        twelve = format && std::string_view(format) == "12h";
        g_free(format);
        g_object_unref(settings);
    }
    g_settings_schema_unref(schema);
    return twelve;
}

std::string image_source(std::string_view blob) {
    if (blob.starts_with("vemo-demo://")) return std::string(blob);
    return "vemo-blob://" + std::string(blob);
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
