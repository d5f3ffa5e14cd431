#include "vemo_callstream/picture.hpp"

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>

#include <bit>

namespace vemo_callstream {

Picture Picture::blank(int width, int height) {
    Picture p;
    p.width = width;
    p.height = height;
    size_t luma = size_t(width) * height;
    size_t chroma = size_t(p.chroma_width()) * p.chroma_height();
    p.planes.assign(luma + 2 * chroma, 0);
    std::fill(p.planes.begin(), p.planes.begin() + luma, uint8_t(16));
    std::fill(p.planes.begin() + luma, p.planes.end(), uint8_t(128));
    return p;
}

bool valid_picture_size(int width, int height) {
    return width > 0 && height > 0 && width <= max_picture_side && height <= max_picture_side &&
           width % 2 == 0 && height % 2 == 0;
}

std::expected<Picture, std::string> rgba_to_i420(std::span<uint8_t const> rgba, int width,
                                                 int height) {
    if (!valid_picture_size(width, height)) return std::unexpected("unsupported picture size");
    if (rgba.size() != size_t(width) * height * 4)
        return std::unexpected("frame has " + std::to_string(rgba.size()) + " bytes, expected " +
                               std::to_string(size_t(width) * height * 4));
    Picture p = Picture::blank(width, height);
    // libyuv names formats by their little-endian word: RGBA bytes in memory are its "ABGR".
    libyuv::ABGRToI420(rgba.data(), width * 4, p.y(), width, p.u(), p.chroma_width(), p.v(),
                       p.chroma_width(), width, height);
    return p;
}

std::vector<uint8_t> i420_to_rgba(Picture const& p) {
    std::vector<uint8_t> out(size_t(p.width) * p.height * 4);
    libyuv::I420ToABGR(p.y(), p.width, p.u(), p.chroma_width(), p.v(), p.chroma_width(), out.data(),
                       p.width * 4, p.width, p.height);
    return out;
}

std::vector<uint8_t> i420_to_argb32(Picture const& p) {
    static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big);
    std::vector<uint8_t> out(size_t(p.width) * p.height * 4);
    if constexpr (std::endian::native == std::endian::little) {
        // Word 0xAARRGGBB stored little-endian is B, G, R, A: libyuv's "ARGB".
        libyuv::I420ToARGB(p.y(), p.width, p.u(), p.chroma_width(), p.v(), p.chroma_width(),
                           out.data(), p.width * 4, p.width, p.height);
    } else {
        // Stored big-endian the word is A, R, G, B: libyuv's "BGRA".
        libyuv::I420ToBGRA(p.y(), p.width, p.u(), p.chroma_width(), p.v(), p.chroma_width(),
                           out.data(), p.width * 4, p.width, p.height);
    }
    return out;
}

}  // namespace vemo_callstream
