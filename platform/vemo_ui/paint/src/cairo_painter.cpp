#include "vemo_ui/cairo_painter.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "shadow_mask.hpp"

namespace vemo_ui {

namespace {

void set_source(cairo_t* cr, Color const& c) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
}

void rounded_rect_path(cairo_t* cr, Rect const& r, double radius) {
    double rad = std::clamp(radius, 0.0, std::min(r.width, r.height) / 2);
    if (rad <= 0) {
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        return;
    }
    constexpr double quarter = std::numbers::pi / 2;
    cairo_new_sub_path(cr);
    cairo_arc(cr, r.right() - rad, r.top() + rad, rad, -quarter, 0);
    cairo_arc(cr, r.right() - rad, r.bottom() - rad, rad, 0, quarter);
    cairo_arc(cr, r.left() + rad, r.bottom() - rad, rad, quarter, 2 * quarter);
    cairo_arc(cr, r.left() + rad, r.top() + rad, rad, 2 * quarter, 3 * quarter);
    cairo_close_path(cr);
}

void append_path(cairo_t* cr, Path const& p) {
    auto const& pts = p.points();
    size_t i = 0;
    for (Path::Verb v : p.verbs()) {
        switch (v) {
            case Path::Verb::Move:
                cairo_move_to(cr, pts[i].x, pts[i].y);
                i += 1;
                break;
            case Path::Verb::Line:
                cairo_line_to(cr, pts[i].x, pts[i].y);
                i += 1;
                break;
            case Path::Verb::Cubic:
                cairo_curve_to(cr, pts[i].x, pts[i].y, pts[i + 1].x, pts[i + 1].y, pts[i + 2].x,
                               pts[i + 2].y);
                i += 3;
                break;
            case Path::Verb::Close:
                cairo_close_path(cr);
                break;
        }
    }
}

bool image_is_consistent(Image const& image) {
    if (image.width <= 0 || image.height <= 0 || image.width > 32767 || image.height > 32767)
        return false;
    if (image.stride < image.width * 4 || image.stride % 4 != 0) return false;
    return image.pixels.size() >= size_t(image.stride) * size_t(image.height);
}

}  // namespace

CairoPainter::CairoPainter(cairo_t* cr, double scale)
    : m_cr(cr), m_scale(scale > 0 && std::isfinite(scale) ? scale : 1.0) {
    cairo_save(m_cr);
    cairo_scale(m_cr, m_scale, m_scale);
}

CairoPainter::~CairoPainter() {
    // Unbalanced pushes are a caller bug; unwind them so the context stays usable.
    while (!m_frames.empty()) {
        switch (m_frames.back()) {
            case Frame::Clip:
                pop_clip();
                break;
            case Frame::Layer:
                pop_layer();
                break;
            case Frame::Translate:
                pop_translate();
                break;
        }
    }
    cairo_restore(m_cr);
}

void CairoPainter::fill_rect(Rect const& r, Color const& c) {
    if (r.is_empty() || c.a <= 0) return;
    cairo_rectangle(m_cr, r.x, r.y, r.width, r.height);
    set_source(m_cr, c);
    cairo_fill(m_cr);
}

void CairoPainter::fill_rounded_rect(Rect const& r, double radius, Color const& c) {
    if (r.is_empty() || c.a <= 0) return;
    rounded_rect_path(m_cr, r, radius);
    set_source(m_cr, c);
    cairo_fill(m_cr);
}

// The stroke lies inside r, so an outline never spills over its neighbours.
void CairoPainter::stroke_rounded_rect(Rect const& r, double radius, Color const& c, double width) {
    if (r.is_empty() || c.a <= 0 || width <= 0) return;
    double half = width / 2;
    rounded_rect_path(m_cr, r.inset(half), std::max(0.0, radius - half));
    set_source(m_cr, c);
    cairo_set_line_width(m_cr, width);
    cairo_stroke(m_cr);
}

void CairoPainter::fill_ellipse(Rect const& r, Color const& c) {
    if (r.is_empty() || c.a <= 0) return;
    fill_path(Path().ellipse(r), c);
}

void CairoPainter::draw_line(Point a, Point b, Color const& c, double width) {
    if (c.a <= 0 || width <= 0) return;
    cairo_move_to(m_cr, a.x, a.y);
    cairo_line_to(m_cr, b.x, b.y);
    set_source(m_cr, c);
    cairo_set_line_width(m_cr, width);
    cairo_set_line_cap(m_cr, CAIRO_LINE_CAP_BUTT);
    cairo_stroke(m_cr);
}

void CairoPainter::fill_path(Path const& p, Color const& c) {
    if (p.is_empty() || c.a <= 0) return;
    append_path(m_cr, p);
    set_source(m_cr, c);
    cairo_fill(m_cr);
}

void CairoPainter::stroke_path(Path const& p, Color const& c, double width) {
    if (p.is_empty() || c.a <= 0 || width <= 0) return;
    append_path(m_cr, p);
    set_source(m_cr, c);
    cairo_set_line_width(m_cr, width);
    cairo_set_line_join(m_cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(m_cr, CAIRO_LINE_CAP_ROUND);
    cairo_stroke(m_cr);
}

void CairoPainter::fill_gradient(Rect const& r, double radius, Color const& from, Color const& to,
                                 bool vertical) {
    if (r.is_empty()) return;
    cairo_pattern_t* gradient = vertical ? cairo_pattern_create_linear(0, r.top(), 0, r.bottom())
                                         : cairo_pattern_create_linear(r.left(), 0, r.right(), 0);
    cairo_pattern_add_color_stop_rgba(gradient, 0, from.r, from.g, from.b, from.a);
    cairo_pattern_add_color_stop_rgba(gradient, 1, to.r, to.g, to.b, to.a);
    rounded_rect_path(m_cr, r, radius);
    cairo_set_source(m_cr, gradient);
    cairo_fill(m_cr);
    cairo_pattern_destroy(gradient);
}

void CairoPainter::draw_image(Image const& image, Rect const& dest, double radius, float opacity) {
    if (dest.is_empty() || opacity <= 0 || !image_is_consistent(image)) return;
    // cairo only reads a source surface, so lending it our const pixels is safe.
    auto* data = const_cast<unsigned char*>(image.pixels.data());
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        data, CAIRO_FORMAT_ARGB32, image.width, image.height, image.stride);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return;
    }
    cairo_save(m_cr);
    rounded_rect_path(m_cr, dest, radius);
    cairo_clip(m_cr);
    cairo_translate(m_cr, dest.x, dest.y);
    cairo_scale(m_cr, dest.width / image.width, dest.height / image.height);
    cairo_set_source_surface(m_cr, surface, 0, 0);
    cairo_pattern_t* pattern = cairo_get_source(m_cr);
    // GOOD convolves every source pixel when shrinking, which for a camera or screen picture
    // redrawn each frame costs more than the frame; large sources (moving pictures, since
    // stills are thumbnailed before they get here) take the bilinear filter instead.
    constexpr long large_source = 640L * 480L;
    cairo_pattern_set_filter(pattern, long(image.width) * image.height >= large_source
                                          ? CAIRO_FILTER_BILINEAR
                                          : CAIRO_FILTER_GOOD);
    // Padding keeps the edge pixels from fading into transparency when scaled.
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_paint_with_alpha(m_cr, std::clamp(opacity, 0.0f, 1.0f));
    cairo_restore(m_cr);
    cairo_surface_destroy(surface);
}

void CairoPainter::draw_shadow(Rect const& r, double radius, Shadow const& s) {
    if (r.is_empty() || s.color.a <= 0) return;
    Rect cast = r.translated(s.offset.x, s.offset.y);
    if (s.blur <= 0) {
        fill_rounded_rect(cast, radius, s.color);
        return;
    }
    double x = cast.x, y = cast.y;
    cairo_user_to_device(m_cr, &x, &y);
    double device_scale = m_scale;
    {
        double dx = 1, dy = 0;
        cairo_user_to_device_distance(m_cr, &dx, &dy);
        device_scale = std::hypot(dx, dy);
    }
    ShadowMask const* mask = shadow_mask_for(cast.width * device_scale, cast.height * device_scale,
                                             radius * device_scale, s.blur * device_scale);
    if (mask == nullptr) return;
    cairo_save(m_cr);
    cairo_identity_matrix(m_cr);
    cairo_translate(m_cr, std::round(x) - mask->padding, std::round(y) - mask->padding);
    cairo_scale(m_cr, mask->downscale, mask->downscale);
    set_source(m_cr, s.color);
    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(mask->surface);
    cairo_pattern_set_filter(pattern,
                             mask->downscale > 1 ? CAIRO_FILTER_BILINEAR : CAIRO_FILTER_NEAREST);
    cairo_mask(m_cr, pattern);
    cairo_pattern_destroy(pattern);
    cairo_restore(m_cr);
}

void CairoPainter::push_clip(Rect const& r, double radius) {
    cairo_save(m_cr);
    rounded_rect_path(m_cr, r.is_empty() ? Rect{r.x, r.y, 0, 0} : r, radius);
    cairo_clip(m_cr);
    m_frames.push_back(Frame::Clip);
}

void CairoPainter::pop_clip() {
    if (pop_frame(Frame::Clip)) cairo_restore(m_cr);
}

void CairoPainter::push_layer(float opacity) {
    cairo_push_group(m_cr);
    m_frames.push_back(Frame::Layer);
    m_layer_opacity.push_back(std::clamp(opacity, 0.0f, 1.0f));
}

void CairoPainter::pop_layer() {
    if (!pop_frame(Frame::Layer)) return;
    float opacity = m_layer_opacity.back();
    m_layer_opacity.pop_back();
    cairo_pop_group_to_source(m_cr);
    cairo_paint_with_alpha(m_cr, opacity);
}

void CairoPainter::push_translate(double dx, double dy) {
    cairo_save(m_cr);
    cairo_translate(m_cr, dx, dy);
    m_frames.push_back(Frame::Translate);
}

void CairoPainter::pop_translate() {
    if (pop_frame(Frame::Translate)) cairo_restore(m_cr);
}

// A pop that does not match the innermost push is ignored rather than unwinding someone
// else's state: the frame stays drawable and the mismatch shows as a visual glitch only.
bool CairoPainter::pop_frame(Frame expected) {
    if (m_frames.empty() || m_frames.back() != expected) return false;
    m_frames.pop_back();
    return true;
}

ImageCanvas::ImageCanvas(int width, int height, double scale)
    : m_width(std::max(1, width)), m_height(std::max(1, height)) {
    m_surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, m_width, m_height);
    m_cr = cairo_create(m_surface);
    m_painter = std::make_unique<CairoPainter>(m_cr, scale);
}

ImageCanvas::~ImageCanvas() {
    m_painter.reset();
    cairo_destroy(m_cr);
    cairo_surface_destroy(m_surface);
}

void ImageCanvas::clear(Color const& c) {
    cairo_save(m_cr);
    cairo_identity_matrix(m_cr);
    cairo_reset_clip(m_cr);
    cairo_set_operator(m_cr, CAIRO_OPERATOR_SOURCE);
    set_source(m_cr, c);
    cairo_paint(m_cr);
    cairo_restore(m_cr);
}

Color ImageCanvas::pixel(int x, int y) {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) return Color{0, 0, 0, 0};
    cairo_surface_flush(m_surface);
    unsigned char const* data = cairo_image_surface_get_data(m_surface);
    int stride = cairo_image_surface_get_stride(m_surface);
    uint32_t v;
    std::memcpy(&v, data + size_t(y) * stride + size_t(x) * 4, 4);
    float a = ((v >> 24) & 0xff) / 255.0f;
    if (a <= 0) return Color{0, 0, 0, 0};
    auto channel = [&](int shift) { return std::min(1.0f, ((v >> shift) & 0xff) / 255.0f / a); };
    return Color{channel(16), channel(8), channel(0), a};
}

Image ImageCanvas::snapshot() {
    cairo_surface_flush(m_surface);
    Image image{m_width, m_height, cairo_image_surface_get_stride(m_surface), {}};
    unsigned char const* data = cairo_image_surface_get_data(m_surface);
    image.pixels.assign(data, data + size_t(image.stride) * size_t(m_height));
    return image;
}

std::expected<void, std::string> ImageCanvas::write_png(std::string const& path) {
    cairo_surface_flush(m_surface);
    cairo_status_t status = cairo_surface_write_to_png(m_surface, path.c_str());
    if (status != CAIRO_STATUS_SUCCESS)
        return std::unexpected("cannot write " + path + ": " + cairo_status_to_string(status));
    return {};
}

}  // namespace vemo_ui
