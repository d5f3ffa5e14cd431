#pragma once

#include "vemo_ui/geometry.hpp"
#include "vemo_ui/transition.hpp"

namespace chat {

inline constexpr double left_region_width = 316;
inline constexpr double rail_width = 68;
inline constexpr double sidebar_width = 248;
inline constexpr double right_region_width = 360;
inline constexpr double heading_height = 60;
inline constexpr double narrow_below = 760;
inline constexpr double thread_narrow_below = 1040;

struct LayoutModes {
    bool narrow = false;         // the navigation flap overlays the content
    bool thread_narrow = false;  // the details flap overlays the content
    bool known = false;          // set once a frame had a usable width
};

// The modes for a content width; a width below one logical point keeps `previous`.
LayoutModes modes_for(double content_width, double ui_scale, LayoutModes previous);

struct Regions {
    vemo_ui::Rect content;
    vemo_ui::Rect left;  // rail and sidebar together
    vemo_ui::Rect rail;
    vemo_ui::Rect sidebar;
    vemo_ui::Rect main;
    vemo_ui::Rect heading;
    vemo_ui::Rect right;
    bool left_shown = false;
    bool left_overlay = false;
    bool right_shown = false;
    bool right_overlay = false;
    double left_eased = 0;
    double right_eased = 0;
};

Regions compute_regions(vemo_ui::Rect content, LayoutModes modes, vemo_ui::Flap const& left,
                        vemo_ui::Flap const& right, bool thread_open, double ui_scale);

}  // namespace chat
