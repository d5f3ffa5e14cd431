#include "vemo_ui/surface.hpp"

#include <cmath>

#include "vemo_ui/colors.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/theme.hpp"

namespace vemo_ui {

namespace {

double snap(Painter& p, double v) {
    return std::round(v * p.scale()) / p.scale();
}

// A line one device pixel thick at scale 1 and one logical point thick on denser screens,
// where a single device pixel would all but vanish.
double hairline_width(Painter& p) {
    return p.scale() < 1.5 ? 1 / p.scale() : 1.0;
}

Color scaled_alpha(Color c, float factor) {
    return c.with_alpha(c.a * factor);
}

}  // namespace

namespace surface {

void shadow(Painter& p, Theme const& theme, Rect const& r, double radius, Elevation elevation) {
    // Two layers: a tight contact shadow and a wide ambient one, as light falls in a room.
    switch (elevation) {
        case Elevation::Low:
            p.draw_shadow(r, radius, {{0, 1}, 2, scaled_alpha(theme.shadow, 0.45f)});
            p.draw_shadow(r, radius, {{0, 3}, 10, scaled_alpha(theme.shadow, 0.35f)});
            break;
        case Elevation::Medium:
            p.draw_shadow(r, radius, {{0, 2}, 4, scaled_alpha(theme.shadow, 0.5f)});
            p.draw_shadow(r, radius, {{0, 8}, 24, scaled_alpha(theme.shadow, 0.55f)});
            break;
        case Elevation::High:
            p.draw_shadow(r, radius, {{0, 3}, 6, scaled_alpha(theme.shadow, 0.55f)});
            p.draw_shadow(r, radius, {{0, 16}, 40, scaled_alpha(theme.shadow, 0.75f)});
            break;
    }
}

void card(Painter& p, Theme const& theme, Rect const& r, double radius) {
    card(p, theme, r, radius, theme.card_fill);
}

void card(Painter& p, Theme const& theme, Rect const& r, double radius, Color const& fill,
          Elevation elevation) {
    if (r.is_empty()) return;
    shadow(p, theme, r, radius, elevation);
    p.fill_rounded_rect(r, radius, fill);
    edge_on(p, r, radius, fill);
}

void separator(Painter& p, Theme const& theme, Point start, double length,
               Orientation orientation) {
    if (length <= 0) return;
    double w = hairline_width(p);
    if (orientation == Orientation::Horizontal)
        p.fill_rect({start.x, snap(p, start.y), length, w}, theme.hairline);
    else
        p.fill_rect({snap(p, start.x), start.y, w, length}, theme.hairline);
}

void edge_on(Painter& p, Rect const& r, double radius, Color const& background) {
    if (r.is_empty()) return;
    p.stroke_rounded_rect(r, radius, Colors::hairline_on(background), hairline_width(p));
}

void soft_outline(Painter& p, Theme const& theme, Rect const& r, double radius) {
    if (r.is_empty()) return;
    p.stroke_rounded_rect(r, radius, theme.hairline_strong, hairline_width(p));
}

void focus_ring(Painter& p, Theme const& theme, Rect const& r, double radius) {
    if (r.is_empty()) return;
    constexpr double gap = 2, width = 2;
    p.stroke_rounded_rect(r.inset(-(gap + width)), radius + gap + width, theme.focus_ring, width);
}

void floating_drag_grip(Painter& p, Theme const& theme, Rect const& area) {
    if (area.is_empty()) return;
    double w = std::min(36.0, area.width * 0.6);
    double h = std::min(4.0, area.height);
    Point c = area.center();
    Rect pill{c.x - w / 2, c.y - h / 2, w, h};
    // Floating surfaces mostly show video, dark or light in either theme: a light pill with
    // a dark halo reads on both.
    p.draw_shadow(pill, h / 2, {{0, 0}, 3, theme.shadow.with_alpha(0.5f)});
    p.fill_rounded_rect(pill, h / 2, Color::rgb(0xffffff, 0.72f));
}

}  // namespace surface

namespace chrome::shell {

void panel_border(Painter& p, Theme const& theme, Rect const& panel, Edge edge) {
    if (panel.is_empty()) return;
    double w = hairline_width(p);
    Rect line;
    switch (edge) {
        case Edge::Left:
            line = {snap(p, panel.left()), panel.top(), w, panel.height};
            break;
        case Edge::Right:
            line = {snap(p, panel.right()) - w, panel.top(), w, panel.height};
            break;
        case Edge::Top:
            line = {panel.left(), snap(p, panel.top()), panel.width, w};
            break;
        case Edge::Bottom:
            line = {panel.left(), snap(p, panel.bottom()) - w, panel.width, w};
            break;
    }
    p.fill_rect(line, theme.hairline);
}

}  // namespace chrome::shell

}  // namespace vemo_ui
