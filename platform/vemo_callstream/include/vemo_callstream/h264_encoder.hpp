#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vemo_callstream/picture.hpp"

class ISVCEncoder;

namespace vemo_callstream {

struct CodecError {
    std::string message;
};

}  // namespace vemo_callstream

namespace vemo_callstream::encoder {

enum class Content : uint8_t { Camera, Screen };

// Encoder settings for real-time calls: baseline profile (no B-frames), one slice, one
// reference frame, parameter sets repeated with every key frame.
struct EncoderSettings {
    Content content = Content::Camera;
    int bitrate_bps = 1'000'000;
    int min_qp = 0;   // 0: the codec's default
    int max_qp = 51;  // coarser steps are never used, whatever the rate control wants
    // Lets the rate control drop frames when the budget is spent; such frames encode to nothing.
    bool frame_skip = true;
    int key_interval_frames = 60;

    // Camera video: about 1 Mbit/s at 640x480x30 scaled by area, an IDR every 2 s.
    static EncoderSettings camera(int width, int height, int fps);
    // Screen content: text-friendly coding at a higher quality floor, which the rate control
    // holds by lowering the frame rate when the budget is tight.
    static EncoderSettings screen(int width, int height, int fps);
};

// One H.264 encoder for frames of a fixed size. Use from one thread.
class H264Encoder {
  public:
    static std::expected<H264Encoder, CodecError> create(int width, int height, int fps);
    static std::expected<H264Encoder, CodecError> create(int width, int height, int fps,
                                                         EncoderSettings const& settings);
    H264Encoder(H264Encoder&&) noexcept;
    H264Encoder& operator=(H264Encoder&&) noexcept;
    ~H264Encoder();

    // Encodes one RGBA frame (width * height * 4 bytes) into an Annex B access unit. The
    // result is empty when the rate control skipped the frame.
    std::expected<std::vector<uint8_t>, CodecError> encode(std::span<uint8_t const> rgba);
    std::expected<std::vector<uint8_t>, CodecError> encode(Picture const& picture);
    // The next encoded frame is an IDR with its parameter sets.
    void force_key_frame();
    // Whether the last non-empty access unit was a key frame.
    bool last_was_key() const { return m_last_was_key; }

    int width() const { return m_width; }
    int height() const { return m_height; }
    EncoderSettings const& settings() const { return m_settings; }

  private:
    struct Release {
        void operator()(ISVCEncoder* encoder) const;
    };
    H264Encoder(std::unique_ptr<ISVCEncoder, Release> encoder, int width, int height, int fps,
                EncoderSettings settings);

    std::unique_ptr<ISVCEncoder, Release> m_encoder;
    int m_width = 0;
    int m_height = 0;
    int m_fps = 0;
    EncoderSettings m_settings;
    int64_t m_frames = 0;
    bool m_key_requested = false;
    bool m_last_was_key = false;
};

}  // namespace vemo_callstream::encoder
