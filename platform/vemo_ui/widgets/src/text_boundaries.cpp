#include "text_boundaries.hpp"

#include <glib.h>

#include <cstdint>

namespace vemo_ui::text {

namespace {

bool is_continuation(uint8_t b) {
    return (b & 0xc0) == 0x80;
}

bool in(char32_t c, char32_t lo, char32_t hi) {
    return c >= lo && c <= hi;
}

bool is_control_break(char32_t c) {
    return c == '\r' || c == '\n' || (c < 0x20) || in(c, 0x7f, 0x9f) || c == 0x2028 || c == 0x2029;
}

bool is_extend(char32_t c) {
    return g_unichar_ismark(gunichar(c)) || c == 0x200d || in(c, 0xfe00, 0xfe0f) ||
           in(c, 0xe0100, 0xe01ef) || in(c, 0xe0020, 0xe007f) || in(c, 0x1f3fb, 0x1f3ff);
}

bool is_regional_indicator(char32_t c) {
    return in(c, 0x1f1e6, 0x1f1ff);
}

// Close enough to Extended_Pictographic for joining emoji sequences.
bool is_pictographic(char32_t c) {
    if (is_regional_indicator(c) || in(c, 0x1f3fb, 0x1f3ff)) return false;
    return c == 0xa9 || c == 0xae || c == 0x203c || c == 0x2049 || c == 0x2122 || c == 0x2139 ||
           in(c, 0x2194, 0x21aa) || in(c, 0x231a, 0x23ff) || c == 0x24c2 || in(c, 0x25aa, 0x27bf) ||
           in(c, 0x2934, 0x2935) || in(c, 0x2b05, 0x2b55) || c == 0x3030 || c == 0x303d ||
           c == 0x3297 || c == 0x3299 || in(c, 0x1f000, 0x1faff) || in(c, 0x1fc00, 0x1fffd);
}

enum class Hangul : uint8_t { None, L, V, T, LV, LVT };

Hangul hangul_of(char32_t c) {
    if (in(c, 0x1100, 0x115f) || in(c, 0xa960, 0xa97c)) return Hangul::L;
    if (in(c, 0x1160, 0x11a7) || in(c, 0xd7b0, 0xd7c6)) return Hangul::V;
    if (in(c, 0x11a8, 0x11ff) || in(c, 0xd7cb, 0xd7fb)) return Hangul::T;
    if (in(c, 0xac00, 0xd7a3)) return (c - 0xac00) % 28 == 0 ? Hangul::LV : Hangul::LVT;
    return Hangul::None;
}

bool hangul_joins(char32_t prev, char32_t c) {
    Hangul a = hangul_of(prev), b = hangul_of(c);
    if (a == Hangul::None || b == Hangul::None) return false;
    if (a == Hangul::L) return b != Hangul::T;
    if (a == Hangul::LV || a == Hangul::V) return b == Hangul::V || b == Hangul::T;
    return b == Hangul::T;  // LVT or T
}

bool is_word_char(char32_t c) {
    return c == '_' || g_unichar_isalnum(gunichar(c)) || g_unichar_ismark(gunichar(c));
}

bool is_space(char32_t c) {
    return g_unichar_isspace(gunichar(c));
}

// Every grapheme boundary of the paragraph that holds `at`, handed to f until it says stop.
template <typename F>
void for_each_boundary_from_line(std::string_view s, size_t at, F&& f) {
    size_t pos = line_start(s, at);
    while (f(pos) && pos < s.size()) pos = next_grapheme(s, pos);
}

}  // namespace

Decoded decode_at(std::string_view s, size_t at) {
    if (at >= s.size()) return {0, 0};
    auto b0 = uint8_t(s[at]);
    if (b0 < 0x80) return {b0, 1};
    size_t need = 0;
    if (b0 >= 0xc2 && b0 <= 0xdf)
        need = 1;
    else if (b0 >= 0xe0 && b0 <= 0xef)
        need = 2;
    else if (b0 >= 0xf0 && b0 <= 0xf4)
        need = 3;
    else
        return {0xfffd, 1};
    char32_t c = b0 & (0x3f >> need);
    for (size_t i = 1; i <= need; ++i) {
        if (at + i >= s.size() || !is_continuation(uint8_t(s[at + i]))) return {0xfffd, 1};
        c = (c << 6) | (uint8_t(s[at + i]) & 0x3f);
    }
    bool overlong = (need == 2 && c < 0x800) || (need == 3 && c < 0x10000);
    if (overlong || c > 0x10ffff || in(c, 0xd800, 0xdfff)) return {0xfffd, 1};
    return {c, need + 1};
}

size_t previous_char(std::string_view s, size_t at) {
    at = std::min(at, s.size());
    if (at == 0) return 0;
    // Step back over at most three continuation bytes, then check the sequence really ends here.
    size_t start = at - 1;
    for (int i = 0; i < 3 && start > 0 && is_continuation(uint8_t(s[start])); ++i) --start;
    if (start + decode_at(s, start).length == at) return start;
    return at - 1;
}

size_t next_grapheme(std::string_view s, size_t at) {
    if (at >= s.size()) return s.size();
    Decoded first = decode_at(s, at);
    char32_t prev = first.code;
    size_t pos = at + first.length;
    bool pictographic = is_pictographic(prev);
    int regional = is_regional_indicator(prev) ? 1 : 0;
    while (pos < s.size()) {
        Decoded d = decode_at(s, pos);
        char32_t c = d.code;
        bool join = false;
        if (prev == '\r' && c == '\n')
            join = true;
        else if (is_control_break(prev) || is_control_break(c))
            join = false;
        else if (hangul_joins(prev, c) || is_extend(c))
            join = true;
        else if (prev == 0x200d && pictographic && is_pictographic(c))
            join = true;
        else if (is_regional_indicator(c) && regional % 2 == 1)
            join = true;
        if (!join) break;
        if (is_regional_indicator(c)) ++regional;
        prev = c;
        pos += d.length;
    }
    return pos;
}

size_t previous_grapheme(std::string_view s, size_t at) {
    at = std::min(at, s.size());
    if (at == 0) return 0;
    size_t best = previous_char(s, at);
    size_t found = line_start(s, best);
    for_each_boundary_from_line(s, best, [&](size_t pos) {
        if (pos >= at) return false;
        found = pos;
        return true;
    });
    return found;
}

size_t snap_to_grapheme(std::string_view s, size_t at) {
    if (at >= s.size()) return s.size();
    size_t found = 0;
    for_each_boundary_from_line(s, at, [&](size_t pos) {
        if (pos > at) return false;
        found = pos;
        return true;
    });
    return found;
}

size_t next_word_end(std::string_view s, size_t at) {
    size_t pos = std::min(at, s.size());
    while (pos < s.size() && !is_word_char(decode_at(s, pos).code)) pos += decode_at(s, pos).length;
    while (pos < s.size() && is_word_char(decode_at(s, pos).code)) pos += decode_at(s, pos).length;
    return snap_to_grapheme(s, pos) == pos ? pos : next_grapheme(s, pos);
}

size_t previous_word_start(std::string_view s, size_t at) {
    size_t pos = std::min(at, s.size());
    auto before = [&](size_t p) { return decode_at(s, previous_char(s, p)).code; };
    while (pos > 0 && !is_word_char(before(pos))) pos = previous_char(s, pos);
    while (pos > 0 && is_word_char(before(pos))) pos = previous_char(s, pos);
    return snap_to_grapheme(s, pos);
}

Range word_at(std::string_view s, size_t at) {
    at = snap_to_grapheme(s, std::min(at, s.size()));
    if (at == s.size()) {
        if (at == 0) return {0, 0};
        at = previous_grapheme(s, at);
    }
    char32_t c = decode_at(s, at).code;
    if (c == '\n') return {at, at};
    auto same_kind = [&](char32_t x) {
        if (is_word_char(c)) return is_word_char(x);
        if (is_space(c)) return is_space(x) && x != '\n';
        return false;
    };
    if (!is_word_char(c) && !is_space(c)) return {at, next_grapheme(s, at)};
    size_t begin = at, end = at;
    while (begin > 0 && same_kind(decode_at(s, previous_char(s, begin)).code))
        begin = previous_char(s, begin);
    while (end < s.size() && same_kind(decode_at(s, end).code)) end += decode_at(s, end).length;
    return {snap_to_grapheme(s, begin),
            snap_to_grapheme(s, end) == end ? end : next_grapheme(s, end)};
}

size_t scalars_before(std::string_view s, size_t byte) {
    byte = std::min(byte, s.size());
    size_t n = 0;
    for (size_t pos = 0; pos < byte; pos += decode_at(s, pos).length) ++n;
    return n;
}

size_t byte_of_scalar(std::string_view s, size_t scalar) {
    size_t pos = 0;
    for (size_t n = 0; n < scalar && pos < s.size(); ++n) pos += decode_at(s, pos).length;
    return pos;
}

size_t line_start(std::string_view s, size_t at) {
    at = std::min(at, s.size());
    size_t nl = at == 0 ? std::string_view::npos : s.rfind('\n', at - 1);
    return nl == std::string_view::npos ? 0 : nl + 1;
}

size_t line_end(std::string_view s, size_t at) {
    size_t nl = s.find('\n', std::min(at, s.size()));
    return nl == std::string_view::npos ? s.size() : nl;
}

void append_utf8(std::string& out, char32_t c) {
    if (c > 0x10ffff || in(c, 0xd800, 0xdfff)) c = 0xfffd;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xc0 | (c >> 6));
        out += char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += char(0xe0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    } else {
        out += char(0xf0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3f));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    }
}

}  // namespace vemo_ui::text
