#include "qdoc/sniff.hpp"

#include <cstring>
#include <string_view>

namespace qdoc::blobstore {

namespace {

// Bounds-checked little and big endian reads over the input; every parser below asks for
// the bytes it needs first, so none of them reads past the end.
class Reader {
  public:
    explicit Reader(std::span<uint8_t const> bytes) : m_bytes(bytes) {}

    size_t size() const { return m_bytes.size(); }
    bool has(size_t offset, size_t count) const {
        return offset <= m_bytes.size() && count <= m_bytes.size() - offset;
    }
    uint8_t u8(size_t at) const { return m_bytes[at]; }
    uint32_t be16(size_t at) const { return uint32_t(m_bytes[at]) << 8 | m_bytes[at + 1]; }
    uint32_t le16(size_t at) const { return uint32_t(m_bytes[at + 1]) << 8 | m_bytes[at]; }
    uint32_t le24(size_t at) const { return le16(at) | uint32_t(m_bytes[at + 2]) << 16; }
    uint32_t be32(size_t at) const { return be16(at) << 16 | be16(at + 2); }
    uint32_t le32(size_t at) const { return le16(at) | le16(at + 2) << 16; }
    bool matches(size_t at, std::string_view text) const {
        return has(at, text.size()) &&
               std::memcmp(m_bytes.data() + at, text.data(), text.size()) == 0;
    }

  private:
    std::span<uint8_t const> m_bytes;
};

std::optional<ImageInfo> sized(ImageFormat format, uint64_t width, uint64_t height) {
    if (width == 0 || height == 0 || width > UINT32_MAX || height > UINT32_MAX) return std::nullopt;
    return ImageInfo{format, static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
}

std::optional<ImageInfo> sniff_png(Reader const& r) {
    // The first chunk must be a 13-byte IHDR; the size limit of the format is 2^31 - 1.
    if (!r.has(0, 24) || r.be32(8) != 13 || !r.matches(12, "IHDR")) return std::nullopt;
    uint32_t width = r.be32(16);
    uint32_t height = r.be32(20);
    if (width > 0x7FFFFFFF || height > 0x7FFFFFFF) return std::nullopt;
    return sized(ImageFormat::Png, width, height);
}

bool is_start_of_frame(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool is_standalone_marker(uint8_t marker) {
    return marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7);
}

std::optional<ImageInfo> sniff_jpeg(Reader const& r) {
    size_t at = 2;
    while (true) {
        if (!r.has(at, 1) || r.u8(at) != 0xFF) return std::nullopt;
        while (r.has(at, 1) && r.u8(at) == 0xFF) ++at;  // fill bytes
        if (!r.has(at, 1)) return std::nullopt;
        uint8_t marker = r.u8(at++);
        if (is_standalone_marker(marker)) continue;
        // The frame header always precedes the first scan; reaching a scan or the end
        // without one means the size is not in the header.
        if (marker == 0xD9 || marker == 0xDA || marker == 0x00) return std::nullopt;
        if (!r.has(at, 2)) return std::nullopt;
        uint32_t length = r.be16(at);
        if (length < 2) return std::nullopt;
        if (is_start_of_frame(marker)) {
            if (length < 8 || !r.has(at, 7)) return std::nullopt;
            // A height of 0 defers the size to a later DNL segment; not read here.
            return sized(ImageFormat::Jpeg, r.be16(at + 5), r.be16(at + 3));
        }
        at += length;
    }
}

std::optional<ImageInfo> sniff_gif(Reader const& r) {
    if (!r.has(0, 10)) return std::nullopt;
    return sized(ImageFormat::Gif, r.le16(6), r.le16(8));
}

std::optional<ImageInfo> sniff_webp(Reader const& r) {
    constexpr size_t data = 20;  // after RIFF header, "WEBP" and the first chunk header
    if (!r.has(0, data)) return std::nullopt;
    uint32_t chunk_size = r.le32(16);
    if (r.matches(12, "VP8 ")) {
        if (chunk_size < 10 || !r.has(data, 10)) return std::nullopt;
        if (r.u8(data + 3) != 0x9D || r.u8(data + 4) != 0x01 || r.u8(data + 5) != 0x2A)
            return std::nullopt;
        // The top two bits of each dimension are an upscaling hint, not part of the size.
        return sized(ImageFormat::Webp, r.le16(data + 6) & 0x3FFF, r.le16(data + 8) & 0x3FFF);
    }
    if (r.matches(12, "VP8L")) {
        if (chunk_size < 5 || !r.has(data, 5) || r.u8(data) != 0x2F) return std::nullopt;
        uint32_t bits = r.le32(data + 1);
        return sized(ImageFormat::Webp, (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (r.matches(12, "VP8X")) {
        if (chunk_size < 10 || !r.has(data, 10)) return std::nullopt;
        return sized(ImageFormat::Webp, uint64_t(r.le24(data + 4)) + 1,
                     uint64_t(r.le24(data + 7)) + 1);
    }
    return std::nullopt;
}

std::optional<ImageInfo> sniff_bmp(Reader const& r) {
    if (!r.has(0, 18)) return std::nullopt;
    uint32_t header_size = r.le32(14);
    if (header_size == 12) {  // OS/2 core header: unsigned 16-bit sizes
        if (!r.has(18, 4)) return std::nullopt;
        return sized(ImageFormat::Bmp, r.le16(18), r.le16(20));
    }
    static constexpr uint32_t known_sizes[] = {16, 40, 52, 56, 64, 108, 124};
    bool known = false;
    for (uint32_t size : known_sizes) known = known || size == header_size;
    if (!known || !r.has(18, 8)) return std::nullopt;
    auto width = static_cast<int32_t>(r.le32(18));
    auto height = static_cast<int32_t>(r.le32(22));
    if (width <= 0) return std::nullopt;
    // A negative height marks rows stored top-down; the magnitude is the height.
    int64_t magnitude = height < 0 ? -int64_t(height) : int64_t(height);
    return sized(ImageFormat::Bmp, uint64_t(width), uint64_t(magnitude));
}

}  // namespace

std::optional<ImageInfo> sniff(std::span<uint8_t const> bytes) {
    Reader r(bytes);
    if (r.matches(0, "\x89PNG\r\n\x1A\n")) return sniff_png(r);
    if (r.matches(0, "\xFF\xD8")) return sniff_jpeg(r);
    if (r.matches(0, "GIF87a") || r.matches(0, "GIF89a")) return sniff_gif(r);
    if (r.matches(0, "RIFF") && r.matches(8, "WEBP")) return sniff_webp(r);
    if (r.matches(0, "BM")) return sniff_bmp(r);
    return std::nullopt;
}

char const* format_name(ImageFormat format) {
    switch (format) {
        case ImageFormat::Png:
            return "png";
        case ImageFormat::Jpeg:
            return "jpeg";
        case ImageFormat::Gif:
            return "gif";
        case ImageFormat::Webp:
            return "webp";
        case ImageFormat::Bmp:
            return "bmp";
    }
    return "unknown";
}

}  // namespace qdoc::blobstore
