#pragma once

#include <cstdint>
#include <span>

namespace chat::media::fuzz {

// One input as an encoded frame: it decodes or is refused, and what decodes encodes back
// to the same bytes.
void decode_frame_input(std::span<std::uint8_t const> input);

// One input as the bytes of a media stream, read the way the receive loop reads it.
void stream_input(std::span<std::uint8_t const> input);

}  // namespace chat::media::fuzz
