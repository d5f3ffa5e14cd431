#include "render_call/call_icons.hpp"

#include <algorithm>

namespace chat::render_call {

using vemo_ui::Point;
using vemo_ui::Rect;

void draw_call_icon(vemo_ui::Painter& p, CallIcon icon, Rect box, vemo_ui::Color ink) {
    double u = std::min(box.width, box.height) / 14;  // one unit of the 14-point grid
    double x = box.center().x - 7 * u, y = box.center().y - 7 * u;
    auto at = [&](double gx, double gy) { return Point{x + gx * u, y + gy * u}; };
    double line = std::max(1.0, 1.5 * u);
    auto slash = [&] { p.draw_line(at(2, 1.5), at(12, 12.5), ink, line); };

    switch (icon) {
        case CallIcon::Microphone:
        case CallIcon::MicrophoneOff: {
            p.stroke_rounded_rect({x + 4.75 * u, y + 1 * u, 4.5 * u, 7.5 * u}, 2.25 * u, ink, line);
            vemo_ui::Path cup;
            cup.move_to(at(2.5, 6.5)).cubic_to(at(2.5, 11.5), at(11.5, 11.5), at(11.5, 6.5));
            p.stroke_path(cup, ink, line);
            p.draw_line(at(7, 10.3), at(7, 13), ink, line);
            p.draw_line(at(4.5, 13), at(9.5, 13), ink, line);
            if (icon == CallIcon::MicrophoneOff) slash();
            break;
        }
        case CallIcon::Headphones:
        case CallIcon::HeadphonesOff: {
            vemo_ui::Path band;
            band.move_to(at(2, 9)).cubic_to(at(2, 1.5), at(12, 1.5), at(12, 9));
            p.stroke_path(band, ink, line);
            p.fill_rounded_rect({x + 1 * u, y + 8 * u, 3.5 * u, 5 * u}, 1.2 * u, ink);
            p.fill_rounded_rect({x + 9.5 * u, y + 8 * u, 3.5 * u, 5 * u}, 1.2 * u, ink);
            if (icon == CallIcon::HeadphonesOff) slash();
            break;
        }
        case CallIcon::Expand:
            p.draw_line(at(3, 11), at(11, 3), ink, line);
            p.draw_line(at(11, 3), at(6.5, 3), ink, line);
            p.draw_line(at(11, 3), at(11, 7.5), ink, line);
            p.draw_line(at(3, 11), at(7.5, 11), ink, line);
            p.draw_line(at(3, 11), at(3, 6.5), ink, line);
            break;
        case CallIcon::Leave:
            p.draw_line(at(3.5, 3.5), at(10.5, 10.5), ink, line);
            p.draw_line(at(10.5, 3.5), at(3.5, 10.5), ink, line);
            break;
    }
}

}  // namespace chat::render_call
