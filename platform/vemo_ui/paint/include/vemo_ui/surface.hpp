#pragma once

#include "vemo_ui/color.hpp"
#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

class Painter;
struct Theme;

namespace surface {

enum class Elevation { Low, Medium, High };
enum class Orientation { Horizontal, Vertical };

// The soft shadow under a raised surface: Low for cards, Medium for popovers and the floating
// call, High for menus and dialogs.
void shadow(Painter& p, Theme const& theme, Rect const& r, double radius,
            Elevation elevation = Elevation::Low);
// A raised card: shadow, fill and an edge that keeps it apart from a similar background.
void card(Painter& p, Theme const& theme, Rect const& r, double radius);
void card(Painter& p, Theme const& theme, Rect const& r, double radius, Color const& fill,
          Elevation elevation = Elevation::Low);
// A 1-px hairline starting at `start`, snapped to the device pixel grid.
void separator(Painter& p, Theme const& theme, Point start, double length,
               Orientation orientation = Orientation::Horizontal);
// A 1-px edge just inside r that reads on `background`.
void edge_on(Painter& p, Rect const& r, double radius, Color const& background);
// A quiet outline for inputs, chips and secondary buttons.
void soft_outline(Painter& p, Theme const& theme, Rect const& r, double radius);
// The keyboard focus ring, drawn just outside r.
void focus_ring(Painter& p, Theme const& theme, Rect const& r, double radius);
// The handle a floating surface is dragged by: a short pill centred in `area`.
void floating_drag_grip(Painter& p, Theme const& theme, Rect const& area);

}  // namespace surface

namespace chrome::shell {

enum class Edge { Left, Top, Right, Bottom };

// The 1-px border on one side of a docked panel (the sidebar's right edge, say), inside it.
void panel_border(Painter& p, Theme const& theme, Rect const& panel, Edge edge);

}  // namespace chrome::shell

}  // namespace vemo_ui
