#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "test_pattern.hpp"
#include "vemo_callstream/h264_encoder.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/video_player.hpp"

using namespace vemo_ui;
using namespace vemo_ui::widget::video_player;
using vemo_callstream::encoder::H264Encoder;
using vemo_callstream::testing::moving_pattern;

namespace {

constexpr int W = 640, H = 480;

std::vector<std::vector<uint8_t>> camera_units(int count) {
    auto encoder = H264Encoder::create(W, H, 30);
    EXPECT_TRUE(encoder.has_value());
    std::vector<std::vector<uint8_t>> units;
    for (int i = 0; i < count; ++i)
        units.push_back(encoder->encode(moving_pattern(W, H, i)).value());
    return units;
}

// Mean absolute difference between a painted ARGB32 image and an RGBA source frame.
double mean_difference(Image const& image, std::vector<uint8_t> const& rgba) {
    double sum = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            uint32_t word;
            std::memcpy(&word, &image.pixels[size_t(y) * image.stride + size_t(x) * 4], 4);
            uint8_t const* s = &rgba[(size_t(y) * image.width + x) * 4];
            sum += std::abs(int(word >> 16 & 0xff) - s[0]) +
                   std::abs(int(word >> 8 & 0xff) - s[1]) + std::abs(int(word & 0xff) - s[2]);
        }
    }
    return sum / (3.0 * image.width * image.height);
}

TEST(VideoPlayer, ShowsTheNewestPictureInPaintableForm) {
    VideoPlayer player;
    EXPECT_FALSE(player.has_video());
    EXPECT_EQ(player.image(), nullptr);
    auto units = camera_units(6);
    for (auto const& unit : units) EXPECT_TRUE(player.feed_frame(unit));
    ASSERT_TRUE(player.has_video());
    auto image = player.image();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, W);
    EXPECT_EQ(image->height, H);
    EXPECT_EQ(image->stride, W * 4);
    double newest = mean_difference(*image, moving_pattern(W, H, 5));
    EXPECT_LT(newest, 4.0);
    EXPECT_LT(newest, mean_difference(*image, moving_pattern(W, H, 4)));
    // Converted once: asking again hands out the same image.
    EXPECT_EQ(player.image(), image);
}

TEST(VideoPlayer, KeepsTheLastGoodPictureThroughGarbage) {
    VideoPlayer player;
    auto units = camera_units(2);
    ASSERT_TRUE(player.feed_frame(units[0]));
    auto before = player.image();
    std::vector<uint8_t> garbage(300, 0xa5);
    EXPECT_FALSE(player.feed_frame(garbage));
    EXPECT_FALSE(player.feed_frame({}));
    EXPECT_EQ(player.units_rejected(), 2u);
    EXPECT_EQ(player.image(), before);
    player.clear();
    EXPECT_FALSE(player.has_video());
    // After a restart the decoder starts again at a key frame.
    EXPECT_TRUE(player.feed_frame(units[0]));
}

// A 4:3 picture with a red top band, green middle and blue bottom band.
vemo_callstream::Picture banded_picture() {
    std::vector<uint8_t> rgba(size_t(W) * H * 4);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t* p = &rgba[(size_t(y) * W + x) * 4];
            p[0] = y < H / 4 ? 220 : 20;
            p[1] = y >= H / 4 && y < 3 * H / 4 ? 200 : 20;
            p[2] = y >= 3 * H / 4 ? 220 : 20;
            p[3] = 255;
        }
    return *vemo_callstream::rgba_to_i420(rgba, W, H);
}

TEST(VideoPlayer, CoversItsRectangleCroppingEvenly) {
    VideoPlayer player;
    player.show_picture(banded_picture());

    // A wide tile: the picture is scaled to its width and the top and bottom are cut.
    ImageCanvas canvas(400, 150, 1.0);
    canvas.clear(Color::rgb(0xffffff));
    player.set_rect({0, 0, 400, 150});
    player.draw(canvas.painter(), 12);
    canvas.write_png(
        (std::filesystem::path(VEMO_VIDEO_SHOT_DIR) / "video_player_cover.png").string());

    Color middle = canvas.pixel(200, 75);
    EXPECT_GT(middle.g, 0.6f);
    EXPECT_LT(middle.r, 0.2f);
    // 400 wide means 300 tall: 75 rows cut at each end, which removes the red band entirely
    // and the blue band too.
    Color top = canvas.pixel(200, 3);
    Color bottom = canvas.pixel(200, 146);
    EXPECT_GT(top.g, 0.6f);
    EXPECT_GT(bottom.g, 0.6f);
    // The rounded corner leaves the background.
    EXPECT_GT(canvas.pixel(0, 0).r, 0.9f);
}

// Contained, the same picture on the same wide tile keeps both bands and leaves the sides
// to whatever is under it.
TEST(VideoPlayer, ContainShowsTheWholePictureCentred) {
    auto image = to_image(banded_picture());
    ASSERT_TRUE(image);
    ImageCanvas canvas(400, 150, 1.0);
    canvas.clear(Color::rgb(0xffffff));
    paint_contain(canvas.painter(), *image, {0, 0, 400, 150}, 12);
    canvas.write_png(
        (std::filesystem::path(VEMO_VIDEO_SHOT_DIR) / "video_player_contain.png").string());

    // 150 tall means 200 wide, from x 100 to 300.
    struct Probe {
        int x, y;
        char expect;  // r, g, b: the band; w: the untouched background
    };
    for (auto [x, y, expect] :
         {Probe{200, 3, 'r'}, Probe{200, 75, 'g'}, Probe{200, 146, 'b'}, Probe{50, 75, 'w'},
          Probe{350, 75, 'w'}, Probe{103, 75, 'g'}, Probe{296, 75, 'g'}}) {
        Color c = canvas.pixel(x, y);
        bool ok = expect == 'w'   ? c.r > 0.9f && c.g > 0.9f && c.b > 0.9f
                  : expect == 'r' ? c.r > 0.6f && c.g < 0.2f
                  : expect == 'g' ? c.g > 0.6f && c.r < 0.2f
                                  : c.b > 0.6f && c.g < 0.2f;
        EXPECT_TRUE(ok) << x << "," << y << " expected " << expect << " got " << c.r << " " << c.g
                        << " " << c.b;
    }
}

}  // namespace
