#include "vemo_ui/video_player.hpp"

#include <algorithm>

namespace vemo_ui::widget::video_player {

ImageRef to_image(vemo_callstream::Picture const& picture) {
    auto image = std::make_shared<Image>();
    image->width = picture.width;
    image->height = picture.height;
    image->stride = picture.width * 4;
    // Opaque pixels are their own premultiplied form.
    image->pixels = vemo_callstream::i420_to_argb32(picture);
    return image;
}

namespace {

// `image` scaled by the larger (cover) or smaller (contain) of the two fitting scales,
// centred on `rect` and clipped to it.
void paint_fitted(Painter& painter, Image const& image, Rect const& rect, double radius,
                  bool cover) {
    if (rect.is_empty() || image.width <= 0 || image.height <= 0) return;
    double sx = rect.width / image.width, sy = rect.height / image.height;
    double scale = cover ? std::max(sx, sy) : std::min(sx, sy);
    double w = image.width * scale, h = image.height * scale;
    Rect dest{rect.x + (rect.width - w) / 2, rect.y + (rect.height - h) / 2, w, h};
    painter.push_clip(rect, radius);
    painter.draw_image(image, dest);
    painter.pop_clip();
}

}  // namespace

void paint_cover(Painter& painter, Image const& image, Rect const& rect, double radius) {
    paint_fitted(painter, image, rect, radius, true);
}

void paint_contain(Painter& painter, Image const& image, Rect const& rect, double radius) {
    paint_fitted(painter, image, rect, radius, false);
}

bool VideoPlayer::feed_frame(std::span<uint8_t const> access_unit) {
    auto decoded = m_decoder.decode(access_unit);
    if (!decoded) {
        ++m_rejected;
        return false;
    }
    if (!*decoded) return false;
    show_picture(std::move(**decoded));
    return true;
}

void VideoPlayer::show_picture(vemo_callstream::Picture picture) {
    m_picture = std::move(picture);
    ++m_pictures;
}

void VideoPlayer::clear() {
    m_decoder = vemo_callstream::decoder::H264Decoder();
    m_picture.reset();
    m_image.reset();
}

ImageRef VideoPlayer::image() {
    if (m_picture) {
        m_image = to_image(*m_picture);
        m_picture.reset();
    }
    return m_image;
}

void VideoPlayer::draw(Painter& painter, double radius) {
    if (auto shown = image()) paint_cover(painter, *shown, m_rect, radius);
}

}  // namespace vemo_ui::widget::video_player
