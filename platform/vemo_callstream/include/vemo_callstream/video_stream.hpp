#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vemo_callstream/h264_decoder.hpp"
#include "vemo_callstream/h264_encoder.hpp"
#include "vemo_callstream/picture.hpp"

namespace vemo_callstream::session {

using Clock = std::chrono::steady_clock;

// Every packet is this header followed by one H.264 access unit. Integers are big-endian.
//   0      format version (1)
//   1      flags: bit 0 set on a key frame; other bits are reserved and ignored
//   2..5   picture number, counting emitted packets from 0 and wrapping
//   6..7   width
//   8..9   height
//   10..13 length of the access unit that follows
// The length lets a receiver tell a truncated packet from a whole one and take several
// packets written back to back.
struct PacketHeader {
    static constexpr uint8_t current_version = 1;
    static constexpr size_t size = 14;

    uint8_t version = current_version;
    bool key_frame = false;
    uint32_t number = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t length = 0;

    void write_to(std::vector<uint8_t>& out) const;
    // The header at the start of `bytes`; an error for a short buffer or another version.
    static std::expected<PacketHeader, std::string> parse(std::span<uint8_t const> bytes);
};

// Largest packet a call carries (the media frame payload limit).
constexpr size_t max_packet_bytes = 2 * 1024 * 1024;

struct FrameError {
    enum class Kind : uint8_t { WrongSize, EncoderFailed, TooLarge };
    Kind kind;
    std::string detail;

    // One line for the user, e.g. "frame is 800x600 bytes, expected 1280x960".
    std::string display_text() const;
};

struct SenderOptions {
    int width = 1280;
    int height = 960;
    int fps = 30;
    // While the picture stands still one packet is still sent this often, a key frame, so
    // that someone who joins later sees the screen.
    Clock::duration refresh_interval = std::chrono::seconds(1);
    // While the picture changes a key frame goes out at least this often.
    Clock::duration key_interval = std::chrono::seconds(2);
    size_t max_packet_bytes = session::max_packet_bytes;
    // After a picture had to be coded more coarsely to fit, the normal quality returns at the
    // first key frame this long afterwards.
    Clock::duration coarse_hold = std::chrono::seconds(10);
};

// Turns a stream of captured screen frames into packets. Offer every captured frame; the
// sender decides which ones become packets: at most `fps` a second, none while the screen is
// unchanged except the periodic refresh, and never one over the packet limit (it re-encodes
// more coarsely instead).
class VideoStreamSender {
  public:
    using Packet = std::vector<uint8_t>;

    static std::expected<VideoStreamSender, CodecError> create(int width, int height, int fps);
    static std::expected<VideoStreamSender, CodecError> create(SenderOptions const& options);

    // A packet to send, nothing this time, or why the frame cannot be sent at all.
    std::expected<std::optional<Packet>, FrameError> offer_frame(std::span<uint8_t const> rgba,
                                                                 Clock::time_point now);

    // The next packet is a key frame, sent at the next frame period even if the screen
    // stands still: someone new is watching.
    void request_key_frame() { m_key_pending = true; }

    int width() const { return m_options.width; }
    int height() const { return m_options.height; }

  private:
    VideoStreamSender(SenderOptions options, encoder::H264Encoder encoder);
    bool due(Clock::time_point now, bool changed) const;
    std::expected<std::vector<uint8_t>, FrameError> encode_within_limit(
        std::span<uint8_t const> rgba, bool key, Clock::time_point now);
    std::expected<void, FrameError> restart_encoder(encoder::EncoderSettings const& settings);

    SenderOptions m_options;
    encoder::H264Encoder m_encoder;
    std::vector<uint8_t> m_last_sent;  // RGBA of the last frame that became a packet
    std::optional<Clock::time_point> m_last_emit;
    std::optional<Clock::time_point> m_last_key;
    uint32_t m_next_number = 0;
    bool m_key_pending = true;  // the encoder's references are no longer the receiver's
    std::optional<Clock::time_point> m_coarse_since;  // when quality was last lowered to fit
};

// Decodes the packets of one sender. Packets that cannot be used are dropped: malformed or
// truncated ones, another version, and after a gap in the numbering everything up to the
// next key frame, so a damaged reference never turns into a smeared picture.
class VideoStreamReceiver {
  public:
    struct Stats {
        uint64_t packets = 0;
        uint64_t pictures = 0;
        uint64_t rejected = 0;  // malformed, truncated, undecodable or mismatched
        uint64_t skipped = 0;   // well-formed but waiting for a key frame
    };

    // Every picture decoded from the packets in `bytes` (one packet or several back to back),
    // oldest first.
    std::vector<Picture> push(std::span<uint8_t const> bytes);

    Stats const& stats() const { return m_stats; }
    // Why the last rejected packet was rejected.
    std::string const& last_error() const { return m_last_error; }

  private:
    std::optional<Picture> take_packet(PacketHeader const& header,
                                       std::span<uint8_t const> access_unit);
    void reject(std::string reason);

    decoder::H264Decoder m_decoder;
    std::optional<uint32_t> m_expected_number;
    bool m_waiting_for_key = true;
    Stats m_stats;
    std::string m_last_error;
};

}  // namespace vemo_callstream::session
