#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace qdoc::blobstore {

enum class ImageFormat { Png, Jpeg, Gif, Webp, Bmp };

struct ImageInfo {
    ImageFormat format;
    uint32_t width;
    uint32_t height;

    bool operator==(ImageInfo const&) const = default;
};

// Recognises an image by its header and reads its size without decoding pixels. None for
// anything else, for a truncated header, and for a zero or unknown width or height.
// Reads only within `bytes`; safe on any input.
std::optional<ImageInfo> sniff(std::span<uint8_t const> bytes);

char const* format_name(ImageFormat format);

}  // namespace qdoc::blobstore
