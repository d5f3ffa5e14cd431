#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>

#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

struct Modifiers {
    bool shift = false;
    bool control = false;
    bool alt = false;
    bool super = false;
    friend bool operator==(Modifiers const&, Modifiers const&) = default;
};

// Keys the toolkit gives a name to; everything else arrives as Character with its code point.
enum class Key : uint8_t {
    Character,
    Enter,
    Tab,
    Escape,
    Backspace,
    Delete,
    Left,
    Right,
    Up,
    Down,
    Home,
    End,
    PageUp,
    PageDown,
    Space,
    F1,
    F2,
    F6,
    F10,
    ContextMenu,
    Other,
};

struct KeyEvent {
    Key key = Key::Other;
    char32_t character = 0;  // for Key::Character: the unshifted-aware code point typed
    Modifiers mods;
    bool pressed = true;  // false on release
};

// Text committed by the input method (or typed directly), as UTF-8.
struct TextEvent {
    std::string text;
};

// The input method's uncommitted composition; empty text ends it.
struct PreeditEvent {
    std::string text;
    int cursor_bytes = 0;
};

enum class PointerButton : uint8_t { None, Primary, Middle, Secondary };

struct PointerEvent {
    enum class Kind : uint8_t { Move, Press, Release, Leave };
    Kind kind = Kind::Move;
    Point position;
    PointerButton button = PointerButton::None;
    int click_count = 1;
    Modifiers mods;
};

// How a scroll device reported its motion: in line steps (wheel notches, GTK 3's smooth
// deltas) or in device pixels (pixel-precise touchpads).
enum class WheelUnit : uint8_t { Lines, Pixels };

// Logical points one line step scrolls.
inline constexpr double wheel_line_points = 44;

// Logical points scrolled by `amount` steps of `unit` on a display with this UI scale.
inline double wheel_points(double amount, WheelUnit unit, double ui_scale)
{
    return unit == WheelUnit::Lines ? amount * wheel_line_points
                                    : amount / std::max(ui_scale, 1.0);
}

struct WheelEvent {
    Point position;
    double dx = 0;  // logical points, positive scrolls content right
    double dy = 0;  // logical points, positive scrolls content down
    Modifiers mods;
};

struct FocusEvent {
    bool focused = true;
};

using Event = std::variant<KeyEvent, TextEvent, PreeditEvent, PointerEvent, WheelEvent, FocusEvent>;

}  // namespace vemo_ui
