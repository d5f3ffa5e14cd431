#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace chat::media {

enum class MediaKind : std::uint8_t {
    Microphone = 0,
    Camera = 1,
    ScreenShare = 2,
};

// The name used in messages shown to the user.
std::string_view display_name(MediaKind kind);

// Media time of a frame. It travels in whole milliseconds.
struct MediaTimestamp {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;

    static MediaTimestamp from_millis(std::uint64_t millis);
    // Nothing when the value does not fit in 64 bits of milliseconds.
    std::optional<std::uint64_t> millis() const;

    bool operator==(MediaTimestamp const&) const = default;
};

inline constexpr std::size_t max_sender_bytes = 256;
inline constexpr std::size_t max_payload_bytes = 2'097'152;
inline constexpr std::size_t frame_overhead_bytes = 23;
inline constexpr std::size_t max_encoded_frame_bytes =
    frame_overhead_bytes + max_sender_bytes + max_payload_bytes;  // 2,097,431
inline constexpr std::size_t length_prefix_bytes = 4;

struct MediaFrame {
    std::string sender;  // the sending participant's local identity, UTF-8
    std::vector<std::uint8_t> payload;
    MediaTimestamp timestamp;
    std::uint64_t sequence = 0;
    MediaKind kind = MediaKind::Microphone;
    // The authenticated key (hex) of the connection the frame arrived on, so the receive
    // step can tell whether the peer that sent it owns the ticket of `sender`. Empty for
    // frames that did not come over the network. Never encoded.
    std::string remote_endpoint;
};

bool is_valid(MediaFrame const& frame);

// Layout, little-endian: kind u8, sequence u64, timestamp ms u64, sender length u16,
// sender, payload length u32, payload. Nothing when the frame is invalid.
std::optional<std::vector<std::uint8_t>> encode_frame(MediaFrame const& frame);
std::optional<MediaFrame> decode_frame(std::span<std::uint8_t const> bytes);

// Frames on a stream are each preceded by their encoded length.
std::array<std::uint8_t, length_prefix_bytes> length_prefix(std::uint32_t length);
std::uint32_t read_length_prefix(std::span<std::uint8_t const, length_prefix_bytes> bytes);
std::string frame_too_large_message(std::uint64_t length);

// Reads the frames of one stream: asks for `next_read()` bytes at a time and is handed
// exactly that many. Empty and undecodable frames are skipped; a length beyond the largest
// encoded frame is an error that ends the stream.
class FrameReader {
  public:
    std::size_t next_read() const { return m_body ? *m_body : length_prefix_bytes; }
    // A frame once one is complete, nothing while more is needed.
    std::expected<std::optional<MediaFrame>, std::string> take(std::span<std::uint8_t const> bytes);

  private:
    std::optional<std::size_t> m_body;  // length of the frame being read
};

bool is_valid_utf8(std::string_view text);

}  // namespace chat::media
