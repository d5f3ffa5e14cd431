#include "vemo_ui/avatar.hpp"

#include <glib.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "vemo_ui/painter.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace vemo_ui::widget::avatar {

namespace {

struct Char {
    gunichar code = 0;  // 0 for a malformed byte
    std::string_view bytes;
};

std::vector<Char> decode(std::string_view s) {
    std::vector<Char> out;
    size_t i = 0;
    while (i < s.size()) {
        gunichar c = g_utf8_get_char_validated(s.data() + i, gssize(s.size() - i));
        if (c == gunichar(-1) || c == gunichar(-2)) {
            out.push_back({0, s.substr(i, 1)});
            i += 1;
            continue;
        }
        size_t len = size_t(g_utf8_skip[uint8_t(s[i])]);
        out.push_back({c, s.substr(i, len)});
        i += len;
    }
    return out;
}

bool is_latin(gunichar c) {
    return c < 0x250 || (c >= 0x1e00 && c < 0x1f00) || (c >= 0x2c60 && c < 0x2c80) ||
           (c >= 0xa720 && c < 0xa800) || (c >= 0xff21 && c < 0xff5b);
}

// The first letter of a word, with the combining marks after it (so "é" typed as e + ◌́
// stays whole).
std::optional<std::string> initial_of(std::vector<Char> const& chars, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
        if (chars[i].code == 0 || !g_unichar_isalpha(chars[i].code)) continue;
        std::string out;
        gunichar c = chars[i].code;
        if (is_latin(c) && g_unichar_islower(c)) {
            char buf[6];
            out.append(buf, size_t(g_unichar_to_utf8(g_unichar_toupper(c), buf)));
        } else {
            out.append(chars[i].bytes);
        }
        for (size_t j = i + 1; j < end && chars[j].code != 0 && g_unichar_ismark(chars[j].code);
             ++j)
            out.append(chars[j].bytes);
        return out;
    }
    return std::nullopt;
}

}  // namespace

std::string Avatar::initials_for_name(std::string_view name) {
    std::vector<Char> chars = decode(name);
    std::vector<std::string> initials;
    size_t i = 0;
    while (i < chars.size()) {
        while (i < chars.size() && chars[i].code != 0 && g_unichar_isspace(chars[i].code)) ++i;
        size_t start = i;
        while (i < chars.size() && !(chars[i].code != 0 && g_unichar_isspace(chars[i].code))) ++i;
        if (auto initial = initial_of(chars, start, i)) initials.push_back(std::move(*initial));
    }
    if (initials.empty()) return {};
    if (initials.size() == 1) return initials.front();
    return initials.front() + initials.back();
}

void Avatar::draw(Painter& p, Theme const& theme, TextRenderer& text, Rect const& r,
                  std::string_view initials, size_t color_index) {
    if (r.is_empty()) return;
    double d = std::min(r.width, r.height);
    Rect circle{r.center().x - d / 2, r.center().y - d / 2, d, d};
    p.fill_ellipse(circle, theme.avatar_color(color_index));
    if (initials.empty()) return;
    double size = std::round(d * 0.4 * 2) / 2;
    Size s = text.measure(initials, size, FontWeight::Semibold);
    Point at{circle.center().x - s.width / 2, circle.center().y - s.height / 2};
    text.draw_text_weighted(p, initials, at, size, FontWeight::Semibold, theme.avatar_text);
}

}  // namespace vemo_ui::widget::avatar
