#include "text_boundaries.hpp"

#include <glib.h>
#include <pango/pango.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vemo_ui::text {

namespace {

bool is_continuation(uint8_t b) {
    return (b & 0xc0) == 0x80;
}

bool in(char32_t c, char32_t lo, char32_t hi) {
    return c >= lo && c <= hi;
}

bool is_word_char(char32_t c) {
    return c == '_' || g_unichar_isalnum(gunichar(c)) || g_unichar_ismark(gunichar(c));
}

// The boundaries of one paragraph (a line with its ending newline, so CR LF stays whole), from
// Pango's log attributes: the same segmentation Pango uses to shape and draw the text. `bytes`
// maps each character index to its byte offset in the whole text (one entry past the end).
struct Paragraph {
    size_t begin = 0;
    size_t end = 0;
    std::vector<size_t> bytes;
    std::vector<PangoLogAttr> attrs;  // bytes.size() entries
};

Paragraph paragraph_at(std::string_view s, size_t p) {
    Paragraph para;
    para.begin = line_start(s, p);
    size_t nl = s.find('\n', p);
    para.end = nl == std::string_view::npos ? s.size() : nl + 1;
    std::string_view text = s.substr(para.begin, para.end - para.begin);
    for (size_t pos = 0; pos < text.size(); pos += decode_at(text, pos).length)
        para.bytes.push_back(para.begin + pos);
    para.bytes.push_back(para.end);
    para.attrs.assign(para.bytes.size(), PangoLogAttr{});
    if (g_utf8_validate(text.data(), gssize(text.size()), nullptr)) {
        pango_get_log_attrs(text.data(), int(text.size()), -1, pango_language_get_default(),
                            para.attrs.data(), int(para.attrs.size()));
        return para;
    }
    // Damaged text: every byte sequence is a character, words are runs of letters and digits.
    for (size_t i = 0; i < para.attrs.size(); ++i) {
        bool here = i + 1 < para.bytes.size() && is_word_char(decode_at(s, para.bytes[i]).code);
        bool before = i > 0 && is_word_char(decode_at(s, para.bytes[i - 1]).code);
        para.attrs[i].is_cursor_position = 1;
        para.attrs[i].is_word_start = here && !before;
        para.attrs[i].is_word_end = before && !here;
        para.attrs[i].is_white = i + 1 < para.bytes.size() &&
                                 g_unichar_isspace(gunichar(decode_at(s, para.bytes[i]).code));
    }
    return para;
}

// The character index of byte offset `at` inside the paragraph (the one starting there or
// holding it).
size_t index_of(Paragraph const& para, size_t at) {
    auto it = std::upper_bound(para.bytes.begin(), para.bytes.end(), at);
    return size_t(it - para.bytes.begin()) - 1;
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
    auto para = paragraph_at(s, at);
    for (size_t i = index_of(para, at) + 1; i < para.bytes.size(); ++i)
        if (para.attrs[i].is_cursor_position) return para.bytes[i];
    return para.end;
}

size_t previous_grapheme(std::string_view s, size_t at) {
    at = std::min(at, s.size());
    if (at == 0) return 0;
    auto para = paragraph_at(s, at - 1);
    for (size_t i = index_of(para, at - 1) + 1; i-- > 0;)
        if (para.bytes[i] < at && para.attrs[i].is_cursor_position) return para.bytes[i];
    return para.begin;
}

size_t snap_to_grapheme(std::string_view s, size_t at) {
    if (at >= s.size()) return s.size();
    auto para = paragraph_at(s, at);
    for (size_t i = index_of(para, at) + 1; i-- > 0;)
        if (para.attrs[i].is_cursor_position) return para.bytes[i];
    return para.begin;
}

size_t next_word_end(std::string_view s, size_t at) {
    for (size_t p = std::min(at, s.size()); p < s.size();) {
        auto para = paragraph_at(s, p);
        for (size_t i = index_of(para, p) + 1; i < para.bytes.size(); ++i)
            if (para.attrs[i].is_word_end && para.bytes[i] > at) return para.bytes[i];
        p = para.end;
    }
    return s.size();
}

size_t previous_word_start(std::string_view s, size_t at) {
    for (size_t p = std::min(at, s.size()); p > 0;) {
        auto para = paragraph_at(s, p - 1);
        for (size_t i = index_of(para, p - 1) + 1; i-- > 0;)
            if (para.attrs[i].is_word_start && para.bytes[i] < at) return para.bytes[i];
        p = para.begin;
    }
    return 0;
}

Range word_at(std::string_view s, size_t at) {
    at = snap_to_grapheme(s, std::min(at, s.size()));
    if (at == s.size()) {
        if (at == 0) return {0, 0};
        at = previous_grapheme(s, at);
    }
    if (s[at] == '\n') return {at, at};
    auto para = paragraph_at(s, at);
    size_t i = index_of(para, at);
    // Inside a word when the nearest word boundary at or before the character is a start.
    for (size_t k = i + 1; k-- > 0;) {
        if (para.attrs[k].is_word_start) {
            size_t e = i + 1;
            while (e + 1 < para.bytes.size() && !para.attrs[e].is_word_end) ++e;
            return {para.bytes[k], para.bytes[e]};
        }
        if (para.attrs[k].is_word_end) break;
    }
    auto blank = [&](size_t k) {
        return k + 1 < para.bytes.size() && para.attrs[k].is_white && s[para.bytes[k]] != '\n';
    };
    if (!blank(i)) return {at, next_grapheme(s, at)};
    size_t b = i, e = i;
    while (b > 0 && blank(b - 1)) --b;
    while (blank(e)) ++e;
    return {para.bytes[b], para.bytes[e]};
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
