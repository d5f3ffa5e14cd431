#include "vemo_callstream/video_stream.hpp"

#include <algorithm>
#include <cstring>

namespace vemo_callstream::session {

namespace {

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

uint32_t get_u32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint16_t get_u16(uint8_t const* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

constexpr uint8_t key_flag = 0x01;
// Each coarser retry of an oversized frame raises the smallest quantiser step by this much.
constexpr int qp_step = 8;
constexpr int max_retries = 4;

}  // namespace

void PacketHeader::write_to(std::vector<uint8_t>& out) const {
    out.push_back(version);
    out.push_back(key_frame ? key_flag : 0);
    put_u32(out, number);
    put_u16(out, width);
    put_u16(out, height);
    put_u32(out, length);
}

std::expected<PacketHeader, std::string> PacketHeader::parse(std::span<uint8_t const> bytes) {
    if (bytes.size() < size) return std::unexpected("packet shorter than its header");
    PacketHeader h;
    h.version = bytes[0];
    if (h.version != current_version)
        return std::unexpected("unsupported packet version " + std::to_string(h.version));
    h.key_frame = (bytes[1] & key_flag) != 0;
    h.number = get_u32(&bytes[2]);
    h.width = get_u16(&bytes[6]);
    h.height = get_u16(&bytes[8]);
    h.length = get_u32(&bytes[10]);
    if (h.width == 0 || h.height == 0 || h.width > max_picture_side || h.height > max_picture_side)
        return std::unexpected("packet names an impossible picture size");
    if (h.length == 0) return std::unexpected("packet without an access unit");
    return h;
}

std::string FrameError::display_text() const {
    switch (kind) {
        case Kind::WrongSize:
            return "the captured frame has the wrong size: " + detail;
        case Kind::EncoderFailed:
            return "the video encoder failed: " + detail;
        case Kind::TooLarge:
            return "the encoded picture is too large to send: " + detail;
    }
    return detail;
}

// --- sender -------------------------------------------------------------------------------

std::expected<VideoStreamSender, CodecError> VideoStreamSender::create(int width, int height,
                                                                       int fps) {
    SenderOptions options;
    options.width = width;
    options.height = height;
    options.fps = fps;
    return create(options);
}

std::expected<VideoStreamSender, CodecError> VideoStreamSender::create(
    SenderOptions const& options) {
    if (options.max_packet_bytes <= PacketHeader::size)
        return std::unexpected(CodecError{"packet limit too small"});
    auto encoder = encoder::H264Encoder::create(
        options.width, options.height, options.fps,
        encoder::EncoderSettings::screen(options.width, options.height, options.fps));
    if (!encoder) return std::unexpected(encoder.error());
    return VideoStreamSender(options, std::move(*encoder));
}

VideoStreamSender::VideoStreamSender(SenderOptions options, encoder::H264Encoder encoder)
    : m_options(options), m_encoder(std::move(encoder)) {}

bool VideoStreamSender::due(Clock::time_point now, bool changed) const {
    if (!m_last_emit) return true;
    auto since = now - *m_last_emit;
    // Captures arrive with jitter around the frame period; a quarter period of slack keeps a
    // steady source at full rate instead of dropping every other frame.
    auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                  std::max(m_options.fps, 1);
    auto slack = period / 4;
    bool prompt = changed || m_key_pending;
    return since >= (prompt ? period : m_options.refresh_interval) - slack;
}

std::expected<std::optional<VideoStreamSender::Packet>, FrameError> VideoStreamSender::offer_frame(
    std::span<uint8_t const> rgba, Clock::time_point now) {
    size_t expected = size_t(m_options.width) * m_options.height * 4;
    if (rgba.size() != expected)
        return std::unexpected(FrameError{FrameError::Kind::WrongSize,
                                          std::to_string(rgba.size()) + " bytes, expected " +
                                              std::to_string(m_options.width) + "x" +
                                              std::to_string(m_options.height) + " RGBA (" +
                                              std::to_string(expected) + " bytes)"});

    bool changed = m_last_sent.size() != rgba.size() ||
                   std::memcmp(m_last_sent.data(), rgba.data(), rgba.size()) != 0;
    if (!due(now, changed)) return std::optional<Packet>{};

    // A refresh of a still screen is for late joiners, who can only start at a key frame.
    bool key =
        m_key_pending || !changed || !m_last_key || now - *m_last_key >= m_options.key_interval;
    if (key && m_coarse_since && now - *m_coarse_since >= m_options.coarse_hold) {
        auto normal = restart_encoder(
            encoder::EncoderSettings::screen(m_options.width, m_options.height, m_options.fps));
        if (!normal) return std::unexpected(normal.error());
        m_coarse_since.reset();
    }
    auto unit = encode_within_limit(rgba, key, now);
    if (!unit) return std::unexpected(unit.error());
    if (unit->empty()) return std::optional<Packet>{};  // the rate control skipped it

    bool sent_key = m_encoder.last_was_key();
    PacketHeader header;
    header.key_frame = sent_key;
    header.number = m_next_number++;
    header.width = uint16_t(m_options.width);
    header.height = uint16_t(m_options.height);
    header.length = uint32_t(unit->size());
    Packet packet;
    packet.reserve(PacketHeader::size + unit->size());
    header.write_to(packet);
    packet.insert(packet.end(), unit->begin(), unit->end());

    m_last_sent.assign(rgba.begin(), rgba.end());
    m_last_emit = now;
    if (sent_key) {
        m_last_key = now;
        m_key_pending = false;
    }
    return packet;
}

std::expected<std::vector<uint8_t>, FrameError> VideoStreamSender::encode_within_limit(
    std::span<uint8_t const> rgba, bool key, Clock::time_point now) {
    size_t limit = m_options.max_packet_bytes - PacketHeader::size;
    for (int attempt = 0;; ++attempt) {
        if (key) m_encoder.force_key_frame();
        auto unit = m_encoder.encode(rgba);
        if (!unit)
            return std::unexpected(
                FrameError{FrameError::Kind::EncoderFailed, unit.error().message});
        if (unit->size() <= limit) return std::move(*unit);

        // The encoder now references a picture nobody will receive: restart coarser, from a
        // key frame.
        encoder::EncoderSettings settings = m_encoder.settings();
        if (attempt >= max_retries || settings.min_qp >= 51)
            return std::unexpected(FrameError{FrameError::Kind::TooLarge,
                                              std::to_string(unit->size()) + " bytes after " +
                                                  std::to_string(attempt + 1) + " attempts"});
        settings.min_qp = std::min(std::max(settings.min_qp, 20) + qp_step, 51);
        settings.max_qp = std::max(settings.max_qp, settings.min_qp);
        if (auto coarser = restart_encoder(settings); !coarser)
            return std::unexpected(coarser.error());
        m_coarse_since = now;
        key = true;
    }
}

std::expected<void, FrameError> VideoStreamSender::restart_encoder(
    encoder::EncoderSettings const& settings) {
    auto fresh =
        encoder::H264Encoder::create(m_options.width, m_options.height, m_options.fps, settings);
    if (!fresh)
        return std::unexpected(FrameError{FrameError::Kind::EncoderFailed, fresh.error().message});
    m_encoder = std::move(*fresh);
    m_key_pending = true;  // the receiver's references are gone with the old encoder
    return {};
}

// --- receiver -----------------------------------------------------------------------------

std::vector<Picture> VideoStreamReceiver::push(std::span<uint8_t const> bytes) {
    std::vector<Picture> pictures;
    while (!bytes.empty()) {
        ++m_stats.packets;
        auto header = PacketHeader::parse(bytes);
        if (!header) {
            reject(header.error());
            break;  // without a trustworthy length nothing after it can be found
        }
        if (bytes.size() - PacketHeader::size < header->length) {
            reject("truncated packet");
            break;
        }
        auto unit = bytes.subspan(PacketHeader::size, header->length);
        bytes = bytes.subspan(PacketHeader::size + header->length);
        if (auto picture = take_packet(*header, unit)) pictures.push_back(std::move(*picture));
    }
    m_stats.pictures += pictures.size();
    return pictures;
}

std::optional<Picture> VideoStreamReceiver::take_packet(PacketHeader const& header,
                                                        std::span<uint8_t const> unit) {
    bool in_sequence = m_expected_number && header.number == *m_expected_number;
    m_expected_number = header.number + 1;
    if (!header.key_frame && (!in_sequence || m_waiting_for_key)) {
        m_waiting_for_key = true;
        ++m_stats.skipped;
        return std::nullopt;
    }
    auto decoded = m_decoder.decode(unit);
    if (!decoded) {
        // The decoder's references may be damaged now; only a key frame repairs them.
        m_waiting_for_key = true;
        reject(decoded.error().message);
        return std::nullopt;
    }
    m_waiting_for_key = false;
    if (!*decoded) return std::nullopt;
    Picture& picture = **decoded;
    if (picture.width != header.width || picture.height != header.height) {
        reject("picture is " + std::to_string(picture.width) + "x" +
               std::to_string(picture.height) + ", the packet says " +
               std::to_string(header.width) + "x" + std::to_string(header.height));
        return std::nullopt;
    }
    return std::move(picture);
}

void VideoStreamReceiver::reject(std::string reason) {
    ++m_stats.rejected;
    m_last_error = std::move(reason);
}

}  // namespace vemo_callstream::session
