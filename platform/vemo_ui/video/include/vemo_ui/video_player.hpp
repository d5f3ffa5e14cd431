#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "vemo_callstream/h264_decoder.hpp"
#include "vemo_callstream/picture.hpp"
#include "vemo_ui/geometry.hpp"
#include "vemo_ui/painter.hpp"

namespace vemo_ui::widget::video_player {

// A decoded picture as the painter draws it: opaque premultiplied ARGB32.
ImageRef to_image(vemo_callstream::Picture const& picture);

// Draws `image` so that it covers `rect` entirely, keeping its aspect ratio and cropping the
// overhang evenly on both sides, inside rounded corners of `radius`.
void paint_cover(Painter& painter, Image const& image, Rect const& rect, double radius = 0);
// Draws all of `image` as large as fits inside `rect`, keeping its aspect ratio and centred;
// what it leaves of `rect` is not painted. For pictures that must not lose their edges.
void paint_contain(Painter& painter, Image const& image, Rect const& rect, double radius = 0);

// Shows one H.264 stream: feed it encoded access units, it decodes them and keeps only the
// newest picture, converted for painting once, on the first draw that needs it. Use from the
// UI thread.
class VideoPlayer {
  public:
    // Decodes one access unit. True when it produced a new picture; undecodable units are
    // counted and otherwise ignored, the last good picture stays.
    bool feed_frame(std::span<uint8_t const> access_unit);
    // Shows a picture decoded elsewhere (a stream receiver's newest).
    void show_picture(vemo_callstream::Picture picture);
    // Forgets the picture and restarts the decoder, e.g. when the stream ends.
    void clear();

    bool has_video() const { return m_picture.has_value() || m_image != nullptr; }
    // The newest picture in paintable form, or null before the first one.
    ImageRef image();

    void set_rect(Rect const& rect) { m_rect = rect; }
    Rect const& rect() const { return m_rect; }
    // Paints the newest picture over the laid-out rectangle; nothing before the first one.
    void draw(Painter& painter, double radius = 0);

    uint64_t pictures_decoded() const { return m_pictures; }
    uint64_t units_rejected() const { return m_rejected; }

  private:
    vemo_callstream::decoder::H264Decoder m_decoder;
    std::optional<vemo_callstream::Picture> m_picture;  // newer than m_image, not yet converted
    ImageRef m_image;
    Rect m_rect;
    uint64_t m_pictures = 0;
    uint64_t m_rejected = 0;
};

}  // namespace vemo_ui::widget::video_player
