#pragma once

#include <algorithm>
#include <cstdint>

namespace vemo_ui {

// Straight (non-premultiplied) RGBA with components in 0..1.
struct Color {
    float r = 0;
    float g = 0;
    float b = 0;
    float a = 1;

    static constexpr Color rgb(uint32_t hex, float alpha = 1.0f)
    {
        return {((hex >> 16) & 0xff) / 255.0f, ((hex >> 8) & 0xff) / 255.0f, (hex & 0xff) / 255.0f,
                alpha};
    }
    constexpr Color with_alpha(float alpha) const { return {r, g, b, alpha}; }
    constexpr Color mix(Color const& o, float t) const
    {
        return {r + (o.r - r) * t, g + (o.g - g) * t, b + (o.b - b) * t, a + (o.a - a) * t};
    }
    // Relative luminance (sRGB approximation), used to pick contrasting text.
    constexpr float luminance() const { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }

    friend bool operator==(Color const&, Color const&) = default;
};

}  // namespace vemo_ui
