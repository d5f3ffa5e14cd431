#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace vemo_callstream {

// Largest side the encoder, decoder and stream accept: H.264 level 5.1 tops out near 4096.
constexpr int max_picture_side = 4096;

// A decoded or to-be-encoded picture in planar I420 (BT.601, limited range): a full-size
// luma plane followed by two quarter-size chroma planes, rows packed without padding.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> planes;

    static Picture blank(int width, int height);

    int chroma_width() const { return (width + 1) / 2; }
    int chroma_height() const { return (height + 1) / 2; }
    uint8_t* y() { return planes.data(); }
    uint8_t* u() { return y() + size_t(width) * height; }
    uint8_t* v() { return u() + size_t(chroma_width()) * chroma_height(); }
    uint8_t const* y() const { return planes.data(); }
    uint8_t const* u() const { return y() + size_t(width) * height; }
    uint8_t const* v() const { return u() + size_t(chroma_width()) * chroma_height(); }
};

// Whether a width and height can be coded: positive, even, at most max_picture_side.
bool valid_picture_size(int width, int height);

// RGBA bytes (R, G, B, A in memory order), `width * 4` bytes a row, to I420. The span must
// hold exactly width * height * 4 bytes.
std::expected<Picture, std::string> rgba_to_i420(std::span<uint8_t const> rgba, int width,
                                                 int height);
// I420 back to RGBA bytes in memory order, alpha opaque.
std::vector<uint8_t> i420_to_rgba(Picture const& picture);
// I420 to 32-bit pixels with alpha in the high byte of a native-endian word (cairo's ARGB32),
// alpha opaque, `width * 4` bytes a row.
std::vector<uint8_t> i420_to_argb32(Picture const& picture);

}  // namespace vemo_callstream
