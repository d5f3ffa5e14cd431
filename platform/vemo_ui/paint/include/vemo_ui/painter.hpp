#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vemo_ui/color.hpp"
#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

// A decoded raster image in premultiplied ARGB32, native endian (cairo's layout), shared
// between the image store and whoever draws it.
struct Image {
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row
    std::vector<uint8_t> pixels;
};
using ImageRef = std::shared_ptr<Image const>;

// A vector outline built from straight and cubic segments.
class Path {
public:
    enum class Verb : uint8_t { Move, Line, Cubic, Close };

    Path& move_to(Point p);
    Path& line_to(Point p);
    Path& cubic_to(Point c1, Point c2, Point end);
    Path& close();
    Path& rounded_rect(Rect r, double radius);
    Path& ellipse(Rect r);

    std::vector<Verb> const& verbs() const { return m_verbs; }
    std::vector<Point> const& points() const { return m_points; }
    bool is_empty() const { return m_verbs.empty(); }

private:
    std::vector<Verb> m_verbs;
    std::vector<Point> m_points;
};

struct Shadow {
    Point offset{0, 2};
    double blur = 8;  // radius of the soft edge
    Color color = Color::rgb(0x000000, 0.25f);
};

// What the application draws with. Coordinates are logical points; the backend applies the
// UI scale. Every push_* must be matched by its pop_* before the frame ends.
class Painter {
public:
    virtual ~Painter() = default;

    virtual void fill_rect(Rect const& r, Color const& c) = 0;
    virtual void fill_rounded_rect(Rect const& r, double radius, Color const& c) = 0;
    virtual void stroke_rounded_rect(Rect const& r, double radius, Color const& c,
                                     double width) = 0;
    virtual void fill_ellipse(Rect const& r, Color const& c) = 0;
    virtual void draw_line(Point a, Point b, Color const& c, double width) = 0;
    virtual void fill_path(Path const& p, Color const& c) = 0;
    virtual void stroke_path(Path const& p, Color const& c, double width) = 0;
    // A two-stop gradient from `from` at the top (or left) to `to` at the bottom (or right).
    virtual void fill_gradient(Rect const& r, double radius, Color const& from, Color const& to,
                               bool vertical = true) = 0;
    virtual void draw_image(Image const& image, Rect const& dest, double radius = 0,
                            float opacity = 1.0f) = 0;
    // A soft shadow cast by a rounded rectangle; the rectangle itself is not filled.
    virtual void draw_shadow(Rect const& r, double radius, Shadow const& s) = 0;

    virtual void push_clip(Rect const& r, double radius = 0) = 0;
    virtual void pop_clip() = 0;
    // Everything drawn until pop_layer is composited at once with this opacity.
    virtual void push_layer(float opacity) = 0;
    virtual void pop_layer() = 0;
    virtual void push_translate(double dx, double dy) = 0;
    virtual void pop_translate() = 0;

    virtual double scale() const = 0;
    // The backend's native drawing context, for the text renderer that shares the backend.
    virtual void* native_context() = 0;
};

}  // namespace vemo_ui
