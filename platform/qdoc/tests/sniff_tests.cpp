#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <random>

#include "qdoc/sniff.hpp"

namespace {

using namespace qdoc::blobstore;
using Bytes = std::vector<uint8_t>;

void put_le(Bytes& out, uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void put_text(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

// Encodes a gradient with gdk-pixbuf's own savers.
Bytes encode_with_pixbuf(char const* type, int width, int height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    int stride = gdk_pixbuf_get_rowstride(pixbuf);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x)
            pixels[y * stride + x] = static_cast<guchar>(x * 5 + y * 3);
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    gboolean saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, &error, nullptr);
    g_object_unref(pixbuf);
    if (!saved) {
        ADD_FAILURE() << "gdk-pixbuf cannot write " << type << ": "
                      << (error ? error->message : "?");
        if (error) g_error_free(error);
        return {};
    }
    Bytes bytes(buffer, buffer + size);
    g_free(buffer);
    return bytes;
}

// The size gdk-pixbuf's decoder sees, proving a hand-made file is a real image.
std::optional<std::pair<int, int>> decoded_size(Bytes const& bytes) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    bool ok = gdk_pixbuf_loader_write(loader, bytes.data(), bytes.size(), nullptr) &&
              gdk_pixbuf_loader_close(loader, nullptr);
    std::optional<std::pair<int, int>> size;
    if (GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr)
        size = std::pair{gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf)};
    g_object_unref(loader);
    return size;
}

// A GIF whose LZW stream never grows past 8-bit codes: with a minimum code size of 7 and a
// clear code every 100 pixels, each pixel is one byte.
Bytes hand_made_gif(int width, int height) {
    Bytes out;
    put_text(out, "GIF89a");
    put_le(out, width, 2);
    put_le(out, height, 2);
    out.insert(out.end(), {0xF6, 0, 0});  // 128-colour global table
    for (int i = 0; i < 128; ++i) out.insert(out.end(), {uint8_t(i * 2), uint8_t(255 - i), 0});
    out.push_back(0x2C);
    put_le(out, 0, 4);
    put_le(out, width, 2);
    put_le(out, height, 2);
    out.push_back(0);
    out.push_back(7);
    Bytes codes;
    for (int i = 0; i < width * height; ++i) {
        if (i % 100 == 0) codes.push_back(0x80);
        codes.push_back(static_cast<uint8_t>(i % 128));
    }
    codes.push_back(0x81);
    for (size_t at = 0; at < codes.size(); at += 255) {
        size_t n = std::min<size_t>(255, codes.size() - at);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), codes.begin() + at, codes.begin() + at + n);
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

// Re-wraps a simple lossy WebP in the extended container.
Bytes as_extended_webp(Bytes const& simple, int width, int height) {
    Bytes vp8_chunk(simple.begin() + 12, simple.end());
    Bytes out;
    put_text(out, "RIFF");
    put_le(out, static_cast<uint32_t>(4 + 18 + vp8_chunk.size()), 4);
    put_text(out, "WEBPVP8X");
    put_le(out, 10, 4);
    put_le(out, 0, 4);
    put_le(out, width - 1, 3);
    put_le(out, height - 1, 3);
    out.insert(out.end(), vp8_chunk.begin(), vp8_chunk.end());
    return out;
}

// Inserts an APP1 segment and fill bytes before the frame header, as cameras do.
Bytes with_exif_segment(Bytes jpeg) {
    Bytes segment{0xFF, 0xFF, 0xFF, 0xE1, 0x00, 0x0E};
    put_text(segment, "Exif");
    segment.resize(segment.size() + 8, 0);
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

Bytes top_down(Bytes bmp) {
    int32_t height = -static_cast<int32_t>(bmp[22] | bmp[23] << 8 | bmp[24] << 16 | bmp[25] << 24);
    for (int i = 0; i < 4; ++i)
        bmp[22 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (8 * i));
    return bmp;
}

struct RealImage {
    std::string name;
    Bytes bytes;
    ImageInfo expected;
};

std::vector<RealImage> real_images() {
    Bytes webp = encode_with_pixbuf("webp", 45, 17);
    return {
        {"png", encode_with_pixbuf("png", 37, 21), {ImageFormat::Png, 37, 21}},
        {"jpeg", encode_with_pixbuf("jpeg", 33, 29), {ImageFormat::Jpeg, 33, 29}},
        {"jpeg_exif",
         with_exif_segment(encode_with_pixbuf("jpeg", 33, 29)),
         {ImageFormat::Jpeg, 33, 29}},
        {"bmp", encode_with_pixbuf("bmp", 19, 23), {ImageFormat::Bmp, 19, 23}},
        {"bmp_top_down", top_down(encode_with_pixbuf("bmp", 19, 23)), {ImageFormat::Bmp, 19, 23}},
        {"webp_lossy", webp, {ImageFormat::Webp, 45, 17}},
        {"webp_extended", as_extended_webp(webp, 45, 17), {ImageFormat::Webp, 45, 17}},
        {"gif", hand_made_gif(31, 13), {ImageFormat::Gif, 31, 13}},
    };
}

TEST(Sniff, ReadsTheSizeOfRealImages) {
    for (auto const& image : real_images()) {
        SCOPED_TRACE(image.name);
        auto decoded = decoded_size(image.bytes);
        ASSERT_TRUE(decoded) << "the test image must decode";
        EXPECT_EQ(*decoded, std::pair(int(image.expected.width), int(image.expected.height)));
        EXPECT_EQ(sniff(image.bytes), image.expected);
    }
}

TEST(Sniff, TruncatedImagesNeverYieldAWrongSize) {
    for (auto const& image : real_images()) {
        for (size_t length = 0; length < std::min<size_t>(image.bytes.size(), 700); ++length) {
            auto info = sniff(std::span(image.bytes).first(length));
            if (info) {
                EXPECT_EQ(*info, image.expected) << image.name << " cut at " << length;
            }
        }
        EXPECT_FALSE(sniff(std::span(image.bytes).first(6))) << image.name;
    }
}

Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == ' ') {
            --i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

struct HeaderCase {
    char const* name;
    std::string hex_bytes;
    std::optional<ImageInfo> expected;
};

class SniffHeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(SniffHeaderTest, ReadsOnlyWellFormedHeaders) {
    EXPECT_EQ(sniff(hex(GetParam().hex_bytes)), GetParam().expected);
}

constexpr char png_sig[] = "89504e470d0a1a0a";

INSTANTIATE_TEST_SUITE_P(
    Cases, SniffHeaderTest,
    testing::Values(
        HeaderCase{"png_zero_width", std::string(png_sig) + "0000000d49484452 00000000 00000010",
                   std::nullopt},
        HeaderCase{"png_huge", std::string(png_sig) + "0000000d49484452 80000000 00000010",
                   std::nullopt},
        HeaderCase{"png_other_first_chunk",
                   std::string(png_sig) + "0000000d49444154 00000010 00000010", std::nullopt},
        HeaderCase{"jpeg_progressive", "ffd8 ffe0 0004 0000 ffc2 0011 08 0200 0300 03",
                   ImageInfo{ImageFormat::Jpeg, 0x300, 0x200}},
        HeaderCase{"jpeg_restart_markers_skipped", "ffd8 ffd0 ffc0 0011 08 0010 0020 03",
                   ImageInfo{ImageFormat::Jpeg, 0x20, 0x10}},
        HeaderCase{"jpeg_huffman_table_is_not_a_frame",
                   "ffd8 ffc4 0004 0000 ffc1 0011 08 0001 0002",
                   ImageInfo{ImageFormat::Jpeg, 2, 1}},
        HeaderCase{"jpeg_scan_before_frame", "ffd8 ffda 0004 0000 ffc0 0011 08 0010 0020",
                   std::nullopt},
        HeaderCase{"jpeg_zero_length_segment", "ffd8 ffe0 0000 ffc0 0011 08 0010 0020",
                   std::nullopt},
        HeaderCase{"jpeg_height_in_dnl", "ffd8 ffc0 0011 08 0000 0020 03", std::nullopt},
        HeaderCase{"jpeg_garbage_between_segments", "ffd8 ffe0 0002 00 ffc0 0011 08 0010 0020",
                   std::nullopt},
        HeaderCase{"jpeg_segment_past_end", "ffd8 ffe1 ffff 0000", std::nullopt},
        HeaderCase{"gif87", "474946383761 2001 1000 000000",
                   ImageInfo{ImageFormat::Gif, 0x120, 0x10}},
        HeaderCase{"gif_zero_height", "474946383961 2001 0000 000000", std::nullopt},
        HeaderCase{"gif_other_version", "474946383861 2001 1000 000000", std::nullopt},
        HeaderCase{"webp_lossless", "52494646 00000000 57454250 5650384c 05000000 2f 0f c0 06 00",
                   ImageInfo{ImageFormat::Webp, 16, 28}},
        HeaderCase{"webp_vp8_bad_start_code",
                   "52494646 00000000 57454250 56503820 0a000000 000000 9d012b 1000 1000",
                   std::nullopt},
        HeaderCase{"webp_vp8_scale_bits_ignored",
                   "52494646 00000000 57454250 56503820 0a000000 000000 9d012a 10c0 2040",
                   ImageInfo{ImageFormat::Webp, 16, 32}},
        HeaderCase{"webp_unknown_chunk",
                   "52494646 00000000 57454250 414c5048 0a000000 00000000000000000000",
                   std::nullopt},
        HeaderCase{"webp_short_chunk",
                   "52494646 00000000 57454250 56503858 04000000 00000000 0f0000 070000",
                   std::nullopt},
        HeaderCase{"bmp_core_header", "424d 00000000 00000000 00000000 0c000000 4000 2000",
                   ImageInfo{ImageFormat::Bmp, 64, 32}},
        HeaderCase{"bmp_min_int_height",
                   "424d 00000000 00000000 00000000 28000000 01000000 00000080",
                   ImageInfo{ImageFormat::Bmp, 1, 0x80000000u}},
        HeaderCase{"bmp_negative_width",
                   "424d 00000000 00000000 00000000 28000000 ffffffff 01000000", std::nullopt},
        HeaderCase{"bmp_unknown_header",
                   "424d 00000000 00000000 00000000 29000000 01000000 01000000", std::nullopt},
        HeaderCase{"text", "48656c6c6f2c20776f726c64", std::nullopt},
        HeaderCase{"empty", "", std::nullopt}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(Sniff, SurvivesRandomBytesBehindEveryMagic) {
    std::mt19937 random(1234);
    std::vector<std::string> magics{"\x89PNG\r\n\x1A\n",
                                    "\xFF\xD8",
                                    "GIF89a",
                                    "BM",
                                    std::string("RIFF\0\0\0\0WEBPVP8 ", 16),
                                    std::string("RIFF\0\0\0\0WEBPVP8L", 16),
                                    std::string("RIFF\0\0\0\0WEBPVP8X", 16)};
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes(magics[round % magics.size()].begin(), magics[round % magics.size()].end());
        size_t extra = random() % 64;
        for (size_t i = 0; i < extra; ++i)
            bytes.push_back(static_cast<uint8_t>(random() % 4 == 0 ? 0xFF : random()));
        auto info = sniff(bytes);
        if (info) {
            EXPECT_GT(info->width, 0u);
        }
    }
}

}  // namespace
