#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

#include "vemo_callstream/h264_encoder.hpp"
#include "vemo_callstream/picture.hpp"

class ISVCDecoder;

namespace vemo_callstream::decoder {

// Whether an Annex B access unit carries an IDR slice, from which decoding can start afresh.
bool contains_idr(std::span<uint8_t const> access_unit);

// One H.264 decoder for an Annex B stream of access units. Pictures are never invented:
// until a key frame arrives, and after a damaged unit, decode yields nothing or an error
// rather than a concealed guess. Bad input of any kind is an error, never a crash. Use from
// one thread.
class H264Decoder {
  public:
    H264Decoder();
    H264Decoder(H264Decoder&&) noexcept;
    H264Decoder& operator=(H264Decoder&&) noexcept;
    ~H264Decoder();

    std::expected<std::optional<Picture>, CodecError> decode(std::span<uint8_t const> access_unit);

  private:
    struct Release {
        void operator()(ISVCDecoder* decoder) const;
    };
    std::expected<std::optional<Picture>, CodecError> decode_once(
        std::span<uint8_t const> access_unit);

    std::unique_ptr<ISVCDecoder, Release> m_decoder;
    // Damaged input can leave the codec unable to take even a clean key frame; a key frame
    // is self-contained, so it then starts on a fresh codec.
    bool m_damaged = false;
};

}  // namespace vemo_callstream::decoder
