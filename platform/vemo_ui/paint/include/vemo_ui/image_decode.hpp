#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "vemo_ui/painter.hpp"

namespace vemo_ui {

constexpr int max_image_side = 16384;
constexpr int64_t max_image_pixels = int64_t(64) << 20;

// Decodes a PNG, JPEG, GIF (first frame), WebP or BMP into premultiplied ARGB32, applying a
// JPEG's orientation tag. Anything else, a truncated or corrupt file, or an image larger than
// max_image_side on a side or max_image_pixels in all is an error, found before the pixels
// are allocated. Safe to call from worker threads.
std::expected<Image, std::string> decode_image(std::span<uint8_t const> bytes);

}  // namespace vemo_ui
