#pragma once

#include "vemo_ui/color.hpp"

namespace vemo_ui {

struct Colors {
    // Moves a colour away from its own darkness: lighter when it is dark, darker when it is
    // light, by `amount` (0..1) of the way to white or black. Hover and raised states use it
    // so they read in both themes.
    static Color lift(Color const& c, float amount);
    // A 1-px line colour that reads on this background without shouting.
    static Color hairline_on(Color const& background);
    // `top` composited over an opaque `bottom`.
    static Color over(Color const& top, Color const& bottom);
    // The contrast ratio between two opaque colours, 1..21.
    static double contrast_ratio(Color const& a, Color const& b);
    // Near-white or near-black, whichever reads better on this background.
    static Color text_on(Color const& background);
};

}  // namespace vemo_ui
