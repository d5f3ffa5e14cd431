#include "media/media_frame.hpp"

#include <cstring>

namespace chat::media {

namespace {

constexpr std::size_t kind_offset = 0;
constexpr std::size_t sequence_offset = 1;
constexpr std::size_t timestamp_offset = 9;
constexpr std::size_t sender_length_offset = 17;
constexpr std::size_t sender_offset = 19;

template <typename T>
void put_le(std::vector<std::uint8_t>& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

template <typename T>
T get_le(std::span<std::uint8_t const> bytes, std::size_t offset) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
    return static_cast<T>(value);
}

}  // namespace

std::string_view display_name(MediaKind kind) {
    switch (kind) {
        case MediaKind::Microphone:
            return "Microphone";
        case MediaKind::Camera:
            return "Camera";
        case MediaKind::ScreenShare:
            return "Screen sharing";
    }
    return "Media";
}

MediaTimestamp MediaTimestamp::from_millis(std::uint64_t millis) {
    return {millis / 1000, static_cast<std::uint32_t>((millis % 1000) * 1'000'000)};
}

std::optional<std::uint64_t> MediaTimestamp::millis() const {
    std::uint64_t whole = 0;
    if (__builtin_mul_overflow(seconds, std::uint64_t{1000}, &whole)) return std::nullopt;
    std::uint64_t total = 0;
    if (__builtin_add_overflow(whole, std::uint64_t{nanoseconds / 1'000'000}, &total))
        return std::nullopt;
    return total;
}

bool is_valid_utf8(std::string_view text) {
    auto const* p = reinterpret_cast<unsigned char const*>(text.data());
    std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for_len[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
        i += len;
    }
    return true;
}

bool is_valid(MediaFrame const& frame) {
    return !frame.sender.empty() && frame.sender.size() <= max_sender_bytes &&
           is_valid_utf8(frame.sender) && frame.payload.size() <= max_payload_bytes &&
           frame.timestamp.millis().has_value() &&
           static_cast<std::uint8_t>(frame.kind) <=
               static_cast<std::uint8_t>(MediaKind::ScreenShare);
}

std::optional<std::vector<std::uint8_t>> encode_frame(MediaFrame const& frame) {
    if (!is_valid(frame)) return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(frame_overhead_bytes + frame.sender.size() + frame.payload.size());
    out.push_back(static_cast<std::uint8_t>(frame.kind));
    put_le(out, frame.sequence);
    put_le(out, *frame.timestamp.millis());
    put_le(out, static_cast<std::uint16_t>(frame.sender.size()));
    out.insert(out.end(), frame.sender.begin(), frame.sender.end());
    put_le(out, static_cast<std::uint32_t>(frame.payload.size()));
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return out;
}

std::optional<MediaFrame> decode_frame(std::span<std::uint8_t const> bytes) {
    if (bytes.size() < sender_offset || bytes[kind_offset] > 2) return std::nullopt;
    std::size_t n = get_le<std::uint16_t>(bytes, sender_length_offset);
    if (n < 1 || n > max_sender_bytes || sender_offset + n > bytes.size()) return std::nullopt;
    std::string sender(reinterpret_cast<char const*>(bytes.data() + sender_offset), n);
    if (!is_valid_utf8(sender)) return std::nullopt;
    if (frame_overhead_bytes + n > bytes.size()) return std::nullopt;
    std::size_t p = get_le<std::uint32_t>(bytes, sender_offset + n);
    if (p > max_payload_bytes || frame_overhead_bytes + n + p != bytes.size()) return std::nullopt;

    MediaFrame frame;
    frame.kind = static_cast<MediaKind>(bytes[kind_offset]);
    frame.sequence = get_le<std::uint64_t>(bytes, sequence_offset);
    frame.timestamp = MediaTimestamp::from_millis(get_le<std::uint64_t>(bytes, timestamp_offset));
    frame.sender = std::move(sender);
    auto payload = bytes.subspan(frame_overhead_bytes + n);
    frame.payload.assign(payload.begin(), payload.end());
    if (!is_valid(frame)) return std::nullopt;
    return frame;
}

std::array<std::uint8_t, length_prefix_bytes> length_prefix(std::uint32_t length) {
    return {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

std::uint32_t read_length_prefix(std::span<std::uint8_t const, length_prefix_bytes> bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::expected<std::optional<MediaFrame>, std::string> FrameReader::take(
    std::span<std::uint8_t const> bytes) {
    if (bytes.size() != next_read()) return std::unexpected("media stream read out of step");
    if (m_body) {
        m_body.reset();
        return decode_frame(bytes);
    }
    auto length = read_length_prefix(bytes.first<length_prefix_bytes>());
    if (length > max_encoded_frame_bytes) return std::unexpected(frame_too_large_message(length));
    if (length > 0) m_body = length;
    return std::nullopt;
}

std::string frame_too_large_message(std::uint64_t length) {
    return "media frame too large: " + std::to_string(length);
}

}  // namespace chat::media
