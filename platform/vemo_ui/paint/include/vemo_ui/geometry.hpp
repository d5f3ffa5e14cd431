#pragma once

#include <algorithm>
#include <cmath>

namespace vemo_ui {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(Point const&, Point const&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(Size const&, Size const&) = default;
};

// An axis-aligned rectangle in logical points (origin top-left, y grows downwards).
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    static Rect from_edges(double x0, double y0, double x1, double y1)
    {
        return {x0, y0, x1 - x0, y1 - y0};
    }

    double left() const { return x; }
    double top() const { return y; }
    double right() const { return x + width; }
    double bottom() const { return y + height; }
    Point center() const { return {x + width / 2, y + height / 2}; }
    bool is_empty() const { return width <= 0 || height <= 0; }

    bool contains(Point p) const { return p.x >= x && p.x < right() && p.y >= y && p.y < bottom(); }

    Rect inset(double d) const { return inset(d, d); }
    Rect inset(double dx, double dy) const
    {
        return {x + dx, y + dy, std::max(0.0, width - 2 * dx), std::max(0.0, height - 2 * dy)};
    }
    Rect translated(double dx, double dy) const { return {x + dx, y + dy, width, height}; }

    Rect intersected(Rect const& o) const
    {
        double x0 = std::max(x, o.x);
        double y0 = std::max(y, o.y);
        double x1 = std::min(right(), o.right());
        double y1 = std::min(bottom(), o.bottom());
        if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
        return from_edges(x0, y0, x1, y1);
    }
    bool intersects(Rect const& o) const { return !intersected(o).is_empty(); }

    friend bool operator==(Rect const&, Rect const&) = default;
};

}  // namespace vemo_ui
