#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "vemo_ui/cairo_painter.hpp"

using namespace vemo_ui;

namespace {

constexpr Color white{1, 1, 1, 1};
constexpr Color black{0, 0, 0, 1};
constexpr Color red{1, 0, 0, 1};

void expect_near(Color got, Color want, float tolerance, char const* where) {
    EXPECT_NEAR(got.r, want.r, tolerance) << where;
    EXPECT_NEAR(got.g, want.g, tolerance) << where;
    EXPECT_NEAR(got.b, want.b, tolerance) << where;
    EXPECT_NEAR(got.a, want.a, tolerance) << where;
}

struct Probe {
    int x, y;
    Color expected;
};

struct Scene {
    char const* name;
    double scale;
    void (*draw)(Painter&);
    std::vector<Probe> probes;
};

class PainterPixels : public testing::TestWithParam<Scene> {};

TEST_P(PainterPixels, DrawsExpectedPixels) {
    Scene const& scene = GetParam();
    ImageCanvas canvas(100, 100, scene.scale);
    canvas.clear(white);
    scene.draw(canvas.painter());
    for (Probe const& probe : scene.probes) {
        std::string where = std::string(scene.name) + " at " + std::to_string(probe.x) + "," +
                            std::to_string(probe.y);
        expect_near(canvas.pixel(probe.x, probe.y), probe.expected, 0.03f, where.c_str());
    }
}

Color gray(float v) {
    return {v, v, v, 1};
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, PainterPixels,
    testing::Values(
        Scene{"rect",
              1,
              [](Painter& p) {
                  p.fill_rect({10, 10, 20, 20}, red);
              },
              {{15, 15, red}, {29, 29, red}, {30, 30, white}, {9, 15, white}}},
        Scene{"rounded corners are cut",
              1,
              [](Painter& p) {
                  p.fill_rounded_rect({0, 0, 40, 40}, 12, black);
              },
              {{1, 1, white}, {20, 1, black}, {20, 20, black}, {38, 38, white}}},
        Scene{"radius larger than the rect gives a circle",
              1,
              [](Painter& p) {
                  p.fill_rounded_rect({0, 0, 40, 40}, 500, black);
              },
              {{20, 20, black}, {3, 3, white}, {20, 2, black}}},
        Scene{"stroke stays inside",
              1,
              [](Painter& p) {
                  p.stroke_rounded_rect({10, 10, 40, 40}, 0, black, 2);
              },
              {{10, 30, black},
               {11, 30, black},
               {9, 30, white},
               {12, 30, white},
               {49, 30, black},
               {50, 30, white}}},
        Scene{"clip limits drawing until popped",
              1,
              [](Painter& p) {
                  p.push_clip({0, 0, 50, 100});
                  p.fill_rect({0, 0, 100, 50}, black);
                  p.pop_clip();
                  p.fill_rect({0, 60, 100, 10}, red);
              },
              {{25, 25, black}, {75, 25, white}, {75, 65, red}}},
        Scene{"rounded clip",
              1,
              [](Painter& p) {
                  p.push_clip({0, 0, 60, 60}, 30);
                  p.fill_rect({0, 0, 100, 100}, black);
                  p.pop_clip();
              },
              {{2, 2, white}, {30, 30, black}, {58, 58, white}, {30, 1, black}}},
        Scene{"layer composites overlapping shapes once",
              1,
              [](Painter& p) {
                  p.push_layer(0.5f);
                  p.fill_rect({0, 0, 60, 60}, black);
                  p.fill_rect({30, 30, 60, 60}, black);
                  p.pop_layer();
              },
              {{10, 10, gray(0.5f)}, {45, 45, gray(0.5f)}, {80, 80, gray(0.5f)}, {80, 10, white}}},
        Scene{"nested layers multiply",
              1,
              [](Painter& p) {
                  p.push_layer(0.5f);
                  p.push_layer(0.5f);
                  p.fill_rect({0, 0, 50, 50}, black);
                  p.pop_layer();
                  p.pop_layer();
              },
              {{10, 10, gray(0.75f)}}},
        Scene{"translate moves and pops",
              1,
              [](Painter& p) {
                  p.push_translate(50, 50);
                  p.fill_rect({0, 0, 10, 10}, black);
                  p.pop_translate();
                  p.fill_rect({0, 0, 10, 10}, red);
              },
              {{55, 55, black}, {5, 5, red}, {45, 45, white}}},
        Scene{"scale maps logical points to device pixels",
              2,
              [](Painter& p) {
                  p.fill_rect({0, 0, 10, 10}, black);
              },
              {{19, 19, black}, {20, 20, white}}},
        Scene{"a pop that does not match is ignored",
              1,
              [](Painter& p) {
                  p.push_clip({0, 0, 50, 50});
                  p.pop_layer();
                  p.pop_translate();
                  p.pop_clip();
                  p.pop_clip();
                  p.fill_rect({60, 60, 10, 10}, black);
              },
              {{65, 65, black}}},
        Scene{"vertical gradient",
              1,
              [](Painter& p) {
                  p.fill_gradient({0, 0, 100, 100}, 0, black, white);
              },
              {{50, 0, gray(0.005f)}, {50, 50, gray(0.505f)}, {50, 99, gray(0.995f)}}},
        Scene{"ellipse and path",
              1,
              [](Painter& p) {
                  p.fill_ellipse({0, 0, 40, 20}, black);
                  p.fill_path(Path().move_to({50, 50}).line_to({90, 50}).line_to({50, 90}).close(),
                              red);
              },
              {{20, 10, black}, {2, 2, white}, {55, 55, red}, {85, 85, white}}}),
    [](auto const& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(CairoPainter, UnwindsUnbalancedPushesWhenDestroyed) {
    ImageCanvas canvas(40, 40);
    canvas.clear(white);
    auto* cr = static_cast<cairo_t*>(canvas.painter().native_context());
    {
        CairoPainter inner(cr, 1);
        inner.push_translate(10, 0);
        inner.push_layer(0.5f);
        inner.fill_rect({0, 0, 10, 10}, black);
    }
    // The layer was composited and the translation dropped: the outer painter is untouched.
    expect_near(canvas.pixel(15, 5), gray(0.5f), 0.03f, "layer");
    canvas.painter().fill_rect({0, 20, 5, 5}, black);
    expect_near(canvas.pixel(2, 22), black, 0.01f, "outer");
}

TEST(CairoPainter, ShadowFadesOutwardsAndLeavesTheRectUnfilled) {
    ImageCanvas canvas(120, 120);
    canvas.clear(white);
    canvas.painter().draw_shadow({40, 40, 40, 40}, 8, {{0, 0}, 12, black});
    float inside = canvas.pixel(60, 60).r;
    EXPECT_LT(inside, 0.1f);
    float previous = inside;
    for (int x = 80; x < 100; x += 2) {
        float v = canvas.pixel(x, 60).r;
        EXPECT_GE(v + 0.005f, previous) << x;
        previous = v;
    }
    EXPECT_GT(canvas.pixel(80, 60).r, 0.3f);
    EXPECT_LT(canvas.pixel(80, 60).r, 0.7f);
    expect_near(canvas.pixel(110, 60), white, 0.01f, "beyond the blur");
}

TEST(CairoPainter, ShadowHonoursOffsetAndTranslation) {
    ImageCanvas canvas(120, 120);
    canvas.clear(white);
    canvas.painter().push_translate(20, 0);
    canvas.painter().draw_shadow({10, 10, 20, 20}, 0, {{0, 40}, 4, black});
    canvas.painter().pop_translate();
    EXPECT_LT(canvas.pixel(40, 60).r, 0.1f);
    expect_near(canvas.pixel(40, 20), white, 0.01f, "not at the caster");
}

Image checker() {
    // Red, green / blue, half-transparent white (premultiplied).
    uint32_t px[4] = {0xffff0000, 0xff00ff00, 0xff0000ff, 0x80808080};
    Image img{2, 2, 8, std::vector<uint8_t>(16)};
    std::memcpy(img.pixels.data(), px, 16);
    return img;
}

TEST(CairoPainter, DrawsImagesScaledAndClippedToTheRadius) {
    ImageCanvas canvas(100, 100);
    canvas.clear(black);
    canvas.painter().draw_image(checker(), {10, 10, 80, 80}, 20);
    expect_near(canvas.pixel(30, 30), red, 0.05f, "top left");
    expect_near(canvas.pixel(70, 30), {0, 1, 0, 1}, 0.05f, "top right");
    expect_near(canvas.pixel(30, 70), {0, 0, 1, 1}, 0.05f, "bottom left");
    expect_near(canvas.pixel(70, 70), gray(0.5f), 0.05f, "translucent");
    expect_near(canvas.pixel(11, 11), black, 0.01f, "rounded corner");
}

TEST(CairoPainter, IgnoresInconsistentImages) {
    ImageCanvas canvas(20, 20);
    canvas.clear(white);
    Image short_pixels = checker();
    short_pixels.pixels.resize(9);
    Image narrow_stride = checker();
    narrow_stride.stride = 4;
    for (Image const& bad : {short_pixels, narrow_stride, Image{}}) {
        canvas.painter().draw_image(bad, {0, 0, 20, 20});
        expect_near(canvas.pixel(5, 5), white, 0.001f, "untouched");
    }
}

TEST(Path, StartsImplicitlyAndSkipsEmptyShapes) {
    Path p;
    p.line_to({1, 1}).line_to({2, 2}).close().close();
    EXPECT_EQ(p.verbs(), (std::vector{Path::Verb::Move, Path::Verb::Line, Path::Verb::Close}));
    Path empty;
    empty.rounded_rect({0, 0, 0, 10}, 4).ellipse({0, 0, 10, 0});
    EXPECT_TRUE(empty.is_empty());
    Path r;
    r.rounded_rect({0, 0, 10, 10}, 0);
    EXPECT_EQ(std::count(r.verbs().begin(), r.verbs().end(), Path::Verb::Cubic), 0);
    Path rounded;
    rounded.rounded_rect({0, 0, 10, 10}, 3);
    EXPECT_EQ(std::count(rounded.verbs().begin(), rounded.verbs().end(), Path::Verb::Cubic), 4);
}

TEST(ImageCanvas, WritesAPng) {
    ImageCanvas canvas(8, 8);
    canvas.clear(red);
    std::string path = testing::TempDir() + "/canvas.png";
    ASSERT_TRUE(canvas.write_png(path).has_value());
    EXPECT_FALSE(canvas.write_png("/nonexistent-dir/x.png").has_value());
}

}  // namespace
