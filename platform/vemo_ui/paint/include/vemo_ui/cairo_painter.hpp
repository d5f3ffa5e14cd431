#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "vemo_ui/painter.hpp"

struct _cairo;
struct _cairo_surface;

namespace vemo_ui {

// The cairo backend of Painter. It scales the context by the UI scale on construction and
// restores the context's state when destroyed, so a caller can hand in any cairo_t.
class CairoPainter final : public Painter {
  public:
    CairoPainter(_cairo* cr, double scale);
    ~CairoPainter() override;
    CairoPainter(CairoPainter const&) = delete;
    CairoPainter& operator=(CairoPainter const&) = delete;

    void fill_rect(Rect const& r, Color const& c) override;
    void fill_rounded_rect(Rect const& r, double radius, Color const& c) override;
    void stroke_rounded_rect(Rect const& r, double radius, Color const& c, double width) override;
    void fill_ellipse(Rect const& r, Color const& c) override;
    void draw_line(Point a, Point b, Color const& c, double width) override;
    void fill_path(Path const& p, Color const& c) override;
    void stroke_path(Path const& p, Color const& c, double width) override;
    void fill_gradient(Rect const& r, double radius, Color const& from, Color const& to,
                       bool vertical = true) override;
    void draw_image(Image const& image, Rect const& dest, double radius = 0,
                    float opacity = 1.0f) override;
    void draw_shadow(Rect const& r, double radius, Shadow const& s) override;

    void push_clip(Rect const& r, double radius = 0) override;
    void pop_clip() override;
    void push_layer(float opacity) override;
    void pop_layer() override;
    void push_translate(double dx, double dy) override;
    void pop_translate() override;

    double scale() const override { return m_scale; }
    void* native_context() override { return m_cr; }

  private:
    enum class Frame : uint8_t { Clip, Layer, Translate };
    bool pop_frame(Frame expected);

    _cairo* m_cr;
    double m_scale;
    std::vector<Frame> m_frames;
    std::vector<float> m_layer_opacity;
};

// An offscreen ARGB32 surface with a painter over it: screenshots and tests draw here
// without a display.
class ImageCanvas {
  public:
    // Width and height in device pixels; the painter works in logical points (÷ scale).
    ImageCanvas(int width, int height, double scale = 1.0);
    ~ImageCanvas();
    ImageCanvas(ImageCanvas const&) = delete;
    ImageCanvas& operator=(ImageCanvas const&) = delete;

    Painter& painter() { return *m_painter; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    void clear(Color const& c);
    // The straight-alpha colour of a device pixel; transparent outside the surface.
    Color pixel(int x, int y);
    // A copy of the pixels in Image's premultiplied layout.
    Image snapshot();
    std::expected<void, std::string> write_png(std::string const& path);

  private:
    int m_width;
    int m_height;
    _cairo_surface* m_surface = nullptr;
    _cairo* m_cr = nullptr;
    std::unique_ptr<CairoPainter> m_painter;
};

}  // namespace vemo_ui
