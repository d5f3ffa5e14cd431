#pragma once

#include <gdk/gdk.h>

#include "vemo_ui/event.hpp"

namespace vemo_ui::launch::detail {

// GDK's modifier state and button numbers as the widget's events carry them; the main window
// and the windows beside it read pointer input the same way.
inline Modifiers modifiers_from(guint state) {
    return Modifiers{.shift = (state & GDK_SHIFT_MASK) != 0,
                     .control = (state & GDK_CONTROL_MASK) != 0,
                     .alt = (state & GDK_MOD1_MASK) != 0,
                     .super = (state & GDK_SUPER_MASK) != 0};
}

inline PointerButton button_from(guint button) {
    switch (button) {
        case 1:
            return PointerButton::Primary;
        case 2:
            return PointerButton::Middle;
        case 3:
            return PointerButton::Secondary;
        default:
            return PointerButton::None;
    }
}

}  // namespace vemo_ui::launch::detail
