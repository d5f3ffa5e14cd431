#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

class Painter;
class TextRenderer;
struct Theme;

namespace widget::avatar {

class Avatar {
  public:
    // The first letter of the first and of the last word that hold a letter, at most two,
    // each a whole character (with any combining marks that follow it), upper-cased when
    // Latin. Empty when the name holds no letter. Malformed UTF-8 bytes count as non-letters.
    static std::string initials_for_name(std::string_view name);

    // A circle in the avatar colour (index taken modulo the palette) with the initials
    // centred in it.
    static void draw(Painter& p, Theme const& theme, TextRenderer& text, Rect const& r,
                     std::string_view initials, size_t color_index);
};

}  // namespace widget::avatar

}  // namespace vemo_ui
