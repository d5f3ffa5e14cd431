#include "vemo_ui/colors.hpp"

#include <algorithm>
#include <cmath>

namespace vemo_ui {

namespace {

constexpr Color white{1, 1, 1, 1};
constexpr Color ink = Color::rgb(0x0f172a);

double linear(float channel) {
    double c = std::clamp(double(channel), 0.0, 1.0);
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double relative_luminance(Color const& c) {
    return 0.2126 * linear(c.r) + 0.7152 * linear(c.g) + 0.0722 * linear(c.b);
}

bool is_dark(Color const& c) {
    return relative_luminance(c) < 0.18;
}

}  // namespace

Color Colors::lift(Color const& c, float amount) {
    float t = std::clamp(amount, 0.0f, 1.0f);
    Color target = is_dark(c) ? white : Color{0, 0, 0, 1};
    return c.mix(target.with_alpha(c.a), t);
}

Color Colors::hairline_on(Color const& background) {
    return is_dark(background) ? white.with_alpha(0.09f) : ink.with_alpha(0.11f);
}

Color Colors::over(Color const& top, Color const& bottom) {
    float a = std::clamp(top.a, 0.0f, 1.0f);
    return {top.r * a + bottom.r * (1 - a), top.g * a + bottom.g * (1 - a),
            top.b * a + bottom.b * (1 - a), 1};
}

double Colors::contrast_ratio(Color const& a, Color const& b) {
    double la = relative_luminance(a), lb = relative_luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Color Colors::text_on(Color const& background) {
    Color light = Color::rgb(0xf8f9fc);
    Color dark = Color::rgb(0x14161c);
    return contrast_ratio(light, background) >= contrast_ratio(dark, background) ? light : dark;
}

}  // namespace vemo_ui
