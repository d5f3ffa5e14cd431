#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vemo_ui/image_decode.hpp"

using namespace vemo_ui;

namespace {

uint32_t pixel_at(Image const& img, int x, int y) {
    uint32_t v;
    std::memcpy(&v, img.pixels.data() + size_t(y) * img.stride + size_t(x) * 4, 4);
    return v;
}

// A 4x2 image: opaque red, green, blue, white / half-transparent red, transparent, grey, black.
std::vector<uint8_t> encode(char const* type, bool alpha) {
    uint8_t const rgba[8][4] = {{255, 0, 0, 255},     {0, 255, 0, 255}, {0, 0, 255, 255},
                                {255, 255, 255, 255}, {255, 0, 0, 128}, {10, 20, 30, 0},
                                {128, 128, 128, 255}, {0, 0, 0, 255}};
    GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, 4, 2);
    int stride = gdk_pixbuf_get_rowstride(pb);
    int channels = alpha ? 4 : 3;
    guchar* px = gdk_pixbuf_get_pixels(pb);
    for (int i = 0; i < 8; ++i)
        std::memcpy(px + (i / 4) * stride + (i % 4) * channels, rgba[i], size_t(channels));
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    bool ok = gdk_pixbuf_save_to_buffer(pb, &buffer, &size, type, &error, nullptr);
    g_object_unref(pb);
    if (!ok) {
        ADD_FAILURE() << type << ": " << (error ? error->message : "?");
        g_clear_error(&error);
        return {};
    }
    std::vector<uint8_t> out(buffer, buffer + size);
    g_free(buffer);
    return out;
}

TEST(DecodeImage, PngKeepsExactPremultipliedPixels) {
    auto image = decode_image(encode("png", true));
    ASSERT_TRUE(image.has_value()) << image.error();
    EXPECT_EQ(image->width, 4);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->stride, 16);
    EXPECT_EQ(pixel_at(*image, 0, 0), 0xffff0000u);
    EXPECT_EQ(pixel_at(*image, 1, 0), 0xff00ff00u);
    EXPECT_EQ(pixel_at(*image, 2, 0), 0xff0000ffu);
    EXPECT_EQ(pixel_at(*image, 0, 1), 0x80800000u);
    EXPECT_EQ(pixel_at(*image, 1, 1), 0x00000000u);
}

TEST(DecodeImage, LossyAndOtherFormatsDecodeToTheirColours) {
    for (char const* type : {"jpeg", "bmp", "png"}) {
        auto image = decode_image(encode(type, false));
        ASSERT_TRUE(image.has_value()) << type << ": " << image.error();
        EXPECT_EQ(image->width, 4) << type;
        uint32_t white = pixel_at(*image, 3, 0);
        EXPECT_EQ(white >> 24, 0xffu) << type;
        EXPECT_GT((white >> 8) & 0xff, 0xe0u) << type;
        uint32_t black = pixel_at(*image, 3, 1);
        EXPECT_LT(black & 0xff, 0x50u) << type;
    }
    // The smallest GIF: one red pixel.
    std::vector<uint8_t> gif{'G', 'I',  'F', '8', '9', 'a', 1, 0,    1, 0, 0x80, 0,
                             0,   0xff, 0,   0,   0,   0,   0, 0x2c, 0, 0, 0,    0,
                             1,   0,    1,   0,   0,   2,   2, 0x44, 1, 0, 0x3b};
    auto red = decode_image(gif);
    ASSERT_TRUE(red.has_value()) << red.error();
    EXPECT_EQ(pixel_at(*red, 0, 0), 0xffff0000u);
}

TEST(DecodeImage, WebpWhenTheLoaderCanWriteIt) {
    GdkPixbufFormat* webp = nullptr;
    GSList* formats = gdk_pixbuf_get_formats();
    for (GSList* f = formats; f; f = f->next) {
        gchar* name = gdk_pixbuf_format_get_name(static_cast<GdkPixbufFormat*>(f->data));
        if (std::string(name) == "webp") webp = static_cast<GdkPixbufFormat*>(f->data);
        g_free(name);
    }
    g_slist_free(formats);
    ASSERT_NE(webp, nullptr) << "webp-pixbuf-loader is not installed";
    if (!gdk_pixbuf_format_is_writable(webp)) GTEST_SKIP() << "webp loader cannot encode";
    auto image = decode_image(encode("webp", true));
    ASSERT_TRUE(image.has_value()) << image.error();
    EXPECT_EQ(image->width, 4);
}

uint32_t crc32(uint8_t const* data, size_t n) {
    uint32_t crc = 0xffffffff;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

void put_be32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift : {24, 16, 8, 0}) out.push_back(uint8_t(v >> shift));
}

void chunk(std::vector<uint8_t>& out, char const* type, std::vector<uint8_t> const& body) {
    put_be32(out, uint32_t(body.size()));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), body.begin(), body.end());
    put_be32(out, crc32(out.data() + start, out.size() - start));
}

// A PNG that claims a size and carries a token of image data: decoding must refuse it from
// the header, before allocating width × height pixels.
std::vector<uint8_t> png_claiming(uint32_t width, uint32_t height) {
    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uint8_t> ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", {0x78, 0x9c, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
    chunk(png, "IEND", {});
    return png;
}

std::vector<uint8_t> bmp_claiming(int32_t width, int32_t height) {
    std::vector<uint8_t> bmp(54 + 16, 0);
    auto le32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = uint8_t(v >> (8 * i));
    };
    bmp[0] = 'B', bmp[1] = 'M';
    le32(2, uint32_t(bmp.size()));
    le32(10, 54);
    le32(14, 40);
    le32(18, uint32_t(width));
    le32(22, uint32_t(height));
    bmp[26] = 1;
    bmp[28] = 32;
    return bmp;
}

struct BadInput {
    char const* name;
    std::vector<uint8_t> bytes;
    char const* error_contains;
};

class DecodeImageRejects : public testing::TestWithParam<BadInput> {};

TEST_P(DecodeImageRejects, WithAClearError) {
    auto image = decode_image(GetParam().bytes);
    ASSERT_FALSE(image.has_value()) << GetParam().name;
    EXPECT_NE(image.error().find(GetParam().error_contains), std::string::npos) << image.error();
}

std::vector<uint8_t> truncated_png() {
    auto png = encode("png", true);
    png.resize(png.size() / 2);
    return png;
}

std::vector<uint8_t> text(char const* s) {
    return std::vector<uint8_t>(s, s + std::strlen(s));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DecodeImageRejects,
    testing::Values(
        BadInput{"empty", {}, "not a PNG"},
        BadInput{"garbage", text("this is not an image at all"), "not a PNG"},
        BadInput{"svg", text("<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'/>"),
                 "not a PNG"},
        BadInput{"tiff", {'I', 'I', 42, 0, 8, 0, 0, 0}, "not a PNG"},
        BadInput{"bare magic", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}, "cannot decode png"},
        BadInput{"truncated", truncated_png(), "cannot decode png"},
        BadInput{"jpeg garbage", {0xff, 0xd8, 0xff, 0xe0, 1, 2, 3, 4, 5, 6}, "cannot decode jpeg"},
        BadInput{"too wide", png_claiming(16385, 1), "over the limit"},
        BadInput{"too many pixels", png_claiming(9000, 8000), "over the limit"},
        BadInput{"huge", png_claiming(16384, 16384), "over the limit"},
        BadInput{"huge bmp", bmp_claiming(20000, 20000), "over the limit"}),
    [](auto const& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (c == ' ') c = '_';
        return name;
    });

}  // namespace
