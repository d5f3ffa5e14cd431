#include <gtest/gtest.h>

#include "vemo_ui/avatar.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

using namespace vemo_ui;
using widget::avatar::Avatar;

namespace {

struct InitialsCase {
    char const* name;
    char const* initials;
};

class Initials : public testing::TestWithParam<InitialsCase> {};

TEST_P(Initials, FromFirstAndLastWord) {
    EXPECT_EQ(Avatar::initials_for_name(GetParam().name), GetParam().initials)
        << "name: " << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, Initials,
    testing::Values(InitialsCase{"Ana Lopez", "AL"}, InitialsCase{"ana maria lopez", "AL"},
                    InitialsCase{"Madonna", "M"}, InitialsCase{"x", "X"},
                    InitialsCase{"  spaced \t out\n", "SO"}, InitialsCase{"", ""},
                    InitialsCase{"   ", ""}, InitialsCase{"123 456", ""}, InitialsCase{"😀 🎉", ""},
                    InitialsCase{"😀 Emoji Fan", "EF"}, InitialsCase{"Ana 42", "A"},
                    InitialsCase{"(bob) smith!", "BS"}, InitialsCase{"björn ölberg", "BÖ"},
                    InitialsCase{"émile zola", "ÉZ"},
                    InitialsCase{"e\xcc\x81mile zola", "E\xcc\x81Z"},
                    InitialsCase{"jean-luc picard", "JP"}, InitialsCase{"ωmega", "ω"},
                    InitialsCase{"李 小龙", "李小"}, InitialsCase{"\xff\xfe bob", "B"},
                    InitialsCase{"b\xff", "B"}, InitialsCase{"ＡＢＣ ｄｅｆ", "ＡＤ"}));

TEST(Avatar, DrawsACircleInTheAvatarColourWithCentredInitials) {
    Theme const& theme = Theme::dark();
    TextRenderer text;
    ImageCanvas canvas(60, 60);
    canvas.clear(Color{0, 0, 0, 0});
    Avatar::draw(canvas.painter(), theme, text, {10, 10, 40, 40}, "AL", 11);
    Color fill = canvas.pixel(14, 30);
    Color want = theme.avatar_color(3);
    EXPECT_NEAR(fill.r, want.r, 0.02f);
    EXPECT_NEAR(fill.g, want.g, 0.02f);
    EXPECT_NEAR(fill.b, want.b, 0.02f);
    EXPECT_EQ(canvas.pixel(11, 11).a, 0) << "outside the circle";
    // White initials near the middle, balanced left and right of the centre.
    int left = 0, right = 0;
    for (int y = 20; y < 40; ++y)
        for (int x = 15; x < 45; ++x)
            if (canvas.pixel(x, y).g > 0.8f) (x < 30 ? left : right) += 1;
    EXPECT_GT(left, 5);
    EXPECT_GT(right, 5);
    EXPECT_LT(std::abs(left - right), (left + right) / 2);
}

}  // namespace
