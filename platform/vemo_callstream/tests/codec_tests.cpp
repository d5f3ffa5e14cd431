#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "test_pattern.hpp"
#include "vemo_callstream/h264_decoder.hpp"
#include "vemo_callstream/h264_encoder.hpp"
#include "vemo_callstream/picture.hpp"

using namespace vemo_callstream;
using vemo_callstream::decoder::H264Decoder;
using vemo_callstream::encoder::EncoderSettings;
using vemo_callstream::encoder::H264Encoder;
using vemo_callstream::testing::luma_psnr;
using vemo_callstream::testing::moving_pattern;

namespace {

// Limited-range BT.601, the matrix every H.264 decoder assumes without colour information.
uint8_t reference_luma(int r, int g, int b) {
    return uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}

struct ColourCase {
    uint8_t r, g, b;
};

class ColourConversion : public ::testing::TestWithParam<ColourCase> {};

TEST_P(ColourConversion, MatchesTheReferenceMatrixAndComesBack) {
    auto [r, g, b] = GetParam();
    int const w = 8, h = 4;
    std::vector<uint8_t> rgba;
    for (int i = 0; i < w * h; ++i) rgba.insert(rgba.end(), {r, g, b, 255});
    auto picture = rgba_to_i420(rgba, w, h);
    ASSERT_TRUE(picture.has_value());
    EXPECT_NEAR(picture->y()[0], reference_luma(r, g, b), 1);
    EXPECT_NEAR(picture->u()[0], ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128, 1);
    EXPECT_NEAR(picture->v()[0], ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128, 1);

    auto back = i420_to_rgba(*picture);
    EXPECT_NEAR(back[0], r, 4);
    EXPECT_NEAR(back[1], g, 4);
    EXPECT_NEAR(back[2], b, 4);
    EXPECT_EQ(back[3], 255);
    // Cairo's word layout: on a little-endian machine the bytes are B, G, R, A.
    auto argb = i420_to_argb32(*picture);
    uint32_t word;
    std::memcpy(&word, argb.data(), 4);
    EXPECT_NEAR(int(word >> 16 & 0xff), r, 4);
    EXPECT_NEAR(int(word >> 8 & 0xff), g, 4);
    EXPECT_NEAR(int(word & 0xff), b, 4);
    EXPECT_EQ(word >> 24, 0xffu);
}

INSTANTIATE_TEST_SUITE_P(Colours, ColourConversion,
                         ::testing::Values(ColourCase{0, 0, 0}, ColourCase{255, 255, 255},
                                           ColourCase{255, 0, 0}, ColourCase{0, 255, 0},
                                           ColourCase{0, 0, 255}, ColourCase{30, 144, 200},
                                           ColourCase{250, 200, 20}));

TEST(ColourConversion, RejectsAFrameOfTheWrongLength) {
    std::vector<uint8_t> rgba(640 * 480 * 4 - 1);
    EXPECT_FALSE(rgba_to_i420(rgba, 640, 480).has_value());
    EXPECT_FALSE(rgba_to_i420(rgba, 641, 480).has_value());
}

struct SizeCase {
    int width, height, fps;
    bool ok;
};

class EncoderSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(EncoderSizes, AcceptsOnlyCodableSizes) {
    auto [w, h, fps, ok] = GetParam();
    EXPECT_EQ(H264Encoder::create(w, h, fps).has_value(), ok);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EncoderSizes,
    ::testing::Values(SizeCase{640, 480, 30, true}, SizeCase{1280, 960, 30, true},
                      SizeCase{0, 480, 30, false}, SizeCase{641, 480, 30, false},
                      SizeCase{8192, 480, 30, false}, SizeCase{640, 480, 0, false}));

TEST(H264Encoder, RefusesAFrameOfAnotherSize) {
    auto encoder = H264Encoder::create(640, 480, 30);
    ASSERT_TRUE(encoder.has_value());
    EXPECT_FALSE(encoder->encode(moving_pattern(320, 240, 0)).has_value());
    EXPECT_TRUE(encoder->encode(moving_pattern(640, 480, 0)).has_value());
}

struct RoundTripCase {
    char const* name;
    int width, height;
    encoder::Content content;
    double min_psnr;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// Every frame that is coded comes back as the picture that went in, give or take the coding
// loss, and the first one is a key frame the decoder can start from.
TEST_P(RoundTrip, MovingPatternDecodesAboveThePsnrFloor) {
    auto const& c = GetParam();
    auto settings = c.content == encoder::Content::Camera
                        ? EncoderSettings::camera(c.width, c.height, 30)
                        : EncoderSettings::screen(c.width, c.height, 30);
    auto encoder = H264Encoder::create(c.width, c.height, 30, settings);
    ASSERT_TRUE(encoder.has_value());
    H264Decoder decoder;
    int coded = 0;
    double worst = 99;
    for (int frame = 0; frame < 24; ++frame) {
        auto rgba = moving_pattern(c.width, c.height, frame);
        auto unit = encoder->encode(rgba);
        ASSERT_TRUE(unit.has_value()) << unit.error().message;
        if (frame == 0) {
            ASSERT_FALSE(unit->empty());
            EXPECT_TRUE(encoder->last_was_key());
        }
        if (unit->empty()) continue;
        ++coded;
        auto picture = decoder.decode(*unit);
        ASSERT_TRUE(picture.has_value()) << picture.error().message;
        ASSERT_TRUE(picture->has_value()) << "frame " << frame;
        auto source = rgba_to_i420(rgba, c.width, c.height);
        worst = std::min(worst, luma_psnr(**picture, *source));
    }
    EXPECT_GE(coded, 12);
    EXPECT_GE(worst, c.min_psnr);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RoundTrip,
    ::testing::Values(RoundTripCase{"camera", 640, 480, encoder::Content::Camera, 38.0},
                      RoundTripCase{"screen", 1280, 960, encoder::Content::Screen, 38.0}),
    [](auto const& info) { return std::string(info.param.name); });

// Someone who joins a running call starts decoding mid-stream and must see a picture within
// two seconds of stream time, the camera's key-frame interval.
TEST(H264Decoder, ALateDecoderShowsAPictureWithinTwoSeconds) {
    int const fps = 30;
    auto encoder = H264Encoder::create(640, 480, fps);
    ASSERT_TRUE(encoder.has_value());
    for (int join_at : {1, 17, 45}) {
        std::optional<H264Decoder> late;
        std::optional<int> first_picture;
        for (int frame = 0; frame < join_at + 2 * fps + 1 && !first_picture; ++frame) {
            auto unit = encoder->encode(moving_pattern(640, 480, frame));
            ASSERT_TRUE(unit.has_value());
            if (frame < join_at || unit->empty()) continue;
            if (!late) late.emplace();
            auto picture = late->decode(*unit);
            if (picture && *picture) first_picture = frame;
        }
        ASSERT_TRUE(first_picture.has_value()) << "joined at frame " << join_at;
        EXPECT_LE(*first_picture - join_at, 2 * fps);
    }
}

TEST(H264Decoder, TellsKeyFramesFromTheRest) {
    auto encoder = H264Encoder::create(320, 240, 30);
    ASSERT_TRUE(encoder.has_value());
    auto key = encoder->encode(moving_pattern(320, 240, 0)).value();
    auto delta = encoder->encode(moving_pattern(320, 240, 1)).value();
    ASSERT_FALSE(delta.empty());
    EXPECT_TRUE(decoder::contains_idr(key));
    EXPECT_FALSE(decoder::contains_idr(delta));
    EXPECT_FALSE(decoder::contains_idr(std::vector<uint8_t>{0, 0, 1}));
    EXPECT_FALSE(decoder::contains_idr(std::vector<uint8_t>(64, 0x65)));
}

TEST(H264Decoder, EmptyInputIsAnError) {
    H264Decoder decoder;
    EXPECT_FALSE(decoder.decode({}).has_value());
}

}  // namespace
