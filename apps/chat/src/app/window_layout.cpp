#include "app/window_layout.hpp"

#include <algorithm>

namespace chat {

using vemo_ui::Rect;

LayoutModes modes_for(double content_width, double ui_scale, LayoutModes previous) {
    double logical = content_width / std::max(ui_scale, 1.0);
    if (logical < 1) return previous;
    return {logical < narrow_below, logical < thread_narrow_below, true};
}

Regions compute_regions(Rect content, LayoutModes modes, vemo_ui::Flap const& left,
                        vemo_ui::Flap const& right, bool thread_open, double ui_scale) {
    Regions r;
    r.content = content;
    r.left_eased = left.eased();
    r.right_eased = right.eased();

    double main_x0 = content.x;
    double main_x1 = content.right();
    if (modes.narrow) {
        r.left_overlay = true;
        r.left_shown = r.left_eased > 0.001;
        r.left = {content.x - (1 - r.left_eased) * left_region_width, content.y, left_region_width,
                  content.height};
    } else {
        r.left_shown = left.target();
        r.left = {content.x, content.y, left_region_width, content.height};
        if (r.left_shown) main_x0 += left_region_width;
    }
    if (modes.thread_narrow) {
        r.right_overlay = true;
        r.right_shown = r.right_eased > 0.001;
        double width = thread_open ? content.width : right_region_width;
        r.right = {content.right() - r.right_eased * width, content.y, width, content.height};
    } else {
        r.right_shown = right.target();
        r.right = {content.right() - right_region_width, content.y, right_region_width,
                   content.height};
        if (r.right_shown) main_x1 -= right_region_width;
    }
    r.rail = {r.left.x, r.left.y, rail_width, r.left.height};
    r.sidebar = {r.left.x + rail_width, r.left.y, sidebar_width, r.left.height};
    r.main = Rect::from_edges(main_x0, content.y, std::max(main_x0, main_x1), content.bottom());
    r.heading = {r.main.x, r.main.y, r.main.width, heading_height * ui_scale};
    return r;
}

}  // namespace chat
