#include <gtest/gtest.h>

#include "vemo_ui/colors.hpp"
#include "vemo_ui/theme.hpp"

using namespace vemo_ui;

namespace {

using Token = Color Theme::*;

struct Pairing {
    char const* name;
    Token text;
    Token fill;
    Token under;  // the opaque fill a translucent `fill` is drawn over, or null
    double minimum;
};

// What must stay readable on what, with WCAG ratios: 7 for body text on its surfaces, 4.5 for
// secondary and coloured text, 3 for tertiary hints.
std::vector<Pairing> const pairings{
    {"primary on window", &Theme::text_primary, &Theme::window_fill, nullptr, 7},
    {"primary on rail", &Theme::text_primary, &Theme::rail_fill, nullptr, 7},
    {"primary on sidebar", &Theme::text_primary, &Theme::sidebar_fill, nullptr, 7},
    {"primary on panel", &Theme::text_primary, &Theme::panel_fill, nullptr, 7},
    {"primary on card", &Theme::text_primary, &Theme::card_fill, nullptr, 7},
    {"primary on menu", &Theme::text_primary, &Theme::elevated_fill, nullptr, 7},
    {"primary on input", &Theme::text_primary, &Theme::input_fill, nullptr, 7},
    {"primary on selected row", &Theme::text_primary, &Theme::selected_fill, &Theme::sidebar_fill,
     7},
    {"primary on hovered card", &Theme::text_primary, &Theme::hover_fill, &Theme::card_fill, 7},
    {"secondary on window", &Theme::text_secondary, &Theme::window_fill, nullptr, 4.5},
    {"secondary on sidebar", &Theme::text_secondary, &Theme::sidebar_fill, nullptr, 4.5},
    {"secondary on card", &Theme::text_secondary, &Theme::card_fill, nullptr, 4.5},
    {"secondary on menu", &Theme::text_secondary, &Theme::elevated_fill, nullptr, 4.5},
    {"tertiary on window", &Theme::text_tertiary, &Theme::window_fill, nullptr, 3},
    {"tertiary on sidebar", &Theme::text_tertiary, &Theme::sidebar_fill, nullptr, 3},
    {"tertiary on card", &Theme::text_tertiary, &Theme::card_fill, nullptr, 3},
    {"tertiary on input", &Theme::text_tertiary, &Theme::input_fill, nullptr, 3},
    {"text on accent", &Theme::accent_text, &Theme::accent, nullptr, 4.5},
    {"text on accent hover", &Theme::accent_text, &Theme::accent_hover, nullptr, 4.5},
    {"link on window", &Theme::link, &Theme::window_fill, nullptr, 4.5},
    {"link on accent chip", &Theme::link, &Theme::accent_soft, &Theme::sidebar_fill, 4.5},
    {"mention", &Theme::mention_text, &Theme::mention_fill, &Theme::window_fill, 4.5},
    {"danger item in a menu", &Theme::danger, &Theme::elevated_fill, nullptr, 4.5},
    {"text on danger", &Theme::danger_text, &Theme::danger, nullptr, 4.5},
    {"notice", &Theme::notice_text, &Theme::notice, nullptr, 4.5},
    {"badge", &Theme::badge_text, &Theme::badge_fill, nullptr, 4.5},
    {"muted badge", &Theme::badge_muted_text, &Theme::badge_muted_fill, nullptr, 4.5},
    {"success on window", &Theme::success, &Theme::window_fill, nullptr, 3},
    {"warning on window", &Theme::warning, &Theme::window_fill, nullptr, 3},
};

std::vector<std::pair<char const*, Token>> const all_tokens{
    {"window_fill", &Theme::window_fill},
    {"rail_fill", &Theme::rail_fill},
    {"sidebar_fill", &Theme::sidebar_fill},
    {"panel_fill", &Theme::panel_fill},
    {"card_fill", &Theme::card_fill},
    {"elevated_fill", &Theme::elevated_fill},
    {"input_fill", &Theme::input_fill},
    {"hover_fill", &Theme::hover_fill},
    {"pressed_fill", &Theme::pressed_fill},
    {"selected_fill", &Theme::selected_fill},
    {"scrim", &Theme::scrim},
    {"hairline", &Theme::hairline},
    {"hairline_strong", &Theme::hairline_strong},
    {"focus_ring", &Theme::focus_ring},
    {"accent", &Theme::accent},
    {"accent_hover", &Theme::accent_hover},
    {"accent_text", &Theme::accent_text},
    {"accent_soft", &Theme::accent_soft},
    {"link", &Theme::link},
    {"danger", &Theme::danger},
    {"danger_text", &Theme::danger_text},
    {"success", &Theme::success},
    {"warning", &Theme::warning},
    {"notice", &Theme::notice},
    {"notice_text", &Theme::notice_text},
    {"text_primary", &Theme::text_primary},
    {"text_secondary", &Theme::text_secondary},
    {"text_tertiary", &Theme::text_tertiary},
    {"text_disabled", &Theme::text_disabled},
    {"mention_fill", &Theme::mention_fill},
    {"mention_text", &Theme::mention_text},
    {"badge_fill", &Theme::badge_fill},
    {"badge_text", &Theme::badge_text},
    {"badge_muted_fill", &Theme::badge_muted_fill},
    {"badge_muted_text", &Theme::badge_muted_text},
    {"avatar_text", &Theme::avatar_text},
    {"shadow", &Theme::shadow},
};

class ThemeTest : public testing::TestWithParam<ThemeKind> {
  protected:
    Theme const& theme() const { return Theme::of(GetParam()); }
};

TEST_P(ThemeTest, TextReadsOnEveryFillItIsDrawnOn) {
    Theme const& t = theme();
    for (Pairing const& p : pairings) {
        Color fill = p.under ? Colors::over(t.*p.fill, t.*p.under) : t.*p.fill;
        ASSERT_TRUE(p.under || (t.*p.fill).a == 1) << p.name << ": translucent fill";
        EXPECT_GE(Colors::contrast_ratio(t.*p.text, fill), p.minimum) << p.name;
    }
    for (size_t i = 0; i < 8; ++i)
        EXPECT_GE(Colors::contrast_ratio(t.avatar_text, t.avatar_color(i)), 4.5) << "avatar " << i;
}

TEST_P(ThemeTest, TextLevelsStepDownAndDisabledStillShows) {
    Theme const& t = theme();
    auto on_window = [&](Color c) { return Colors::contrast_ratio(c, t.window_fill); };
    EXPECT_GT(on_window(t.text_primary), on_window(t.text_secondary));
    EXPECT_GT(on_window(t.text_secondary), on_window(t.text_tertiary));
    EXPECT_GT(on_window(t.text_tertiary), on_window(t.text_disabled));
    EXPECT_GT(on_window(t.text_disabled), 1.6);
}

TEST_P(ThemeTest, EveryTokenIsSetAndTheSurfacesAreDistinct) {
    Theme const& t = theme();
    EXPECT_EQ(t.kind, GetParam());
    for (auto const& [name, token] : all_tokens) {
        Color c = t.*token;
        EXPECT_FALSE(c == Color{}) << name << " left at its default";
        EXPECT_GT(c.a, 0) << name;
    }
    for (size_t i = 0; i < 8; ++i)
        for (size_t j = i + 1; j < 8; ++j) EXPECT_FALSE(t.avatar_color(i) == t.avatar_color(j));
    EXPECT_EQ(t.avatar_color(9), t.avatar_color(1));
    // The rail, sidebar and conversation must be told apart at a glance.
    EXPECT_GT(Colors::contrast_ratio(t.rail_fill, t.sidebar_fill), 1.04);
    EXPECT_GT(Colors::contrast_ratio(t.sidebar_fill, t.window_fill), 1.04);
    EXPECT_GT(t.control_gap, 0);
    EXPECT_GT(t.bar_margin, 0);
    EXPECT_LT(t.radius_small, t.radius_medium);
    EXPECT_LT(t.radius_medium, t.radius_large);
}

INSTANTIATE_TEST_SUITE_P(Both, ThemeTest, testing::Values(ThemeKind::Dark, ThemeKind::Light),
                         [](auto const& info) {
                             return info.param == ThemeKind::Dark ? "Dark" : "Light";
                         });

TEST(Colors, LiftMovesAwayFromTheColoursOwnDarkness) {
    struct Case {
        Color in;
        bool lighter;
    };
    for (Case c : {Case{Color::rgb(0x171a22), true}, Case{Color::rgb(0x6c5ce7), true},
                   Case{Color::rgb(0xffffff), false}, Case{Color::rgb(0xf3f4f8, 0.5f), false}}) {
        Color lifted = Colors::lift(c.in, 0.1f);
        EXPECT_EQ(lifted.luminance() > c.in.luminance(), c.lighter);
        EXPECT_FLOAT_EQ(lifted.a, c.in.a);
        EXPECT_EQ(Colors::lift(c.in, 0), c.in);
    }
    EXPECT_EQ(Colors::lift(Color::rgb(0x000000), 1.0f), Color::rgb(0xffffff));
}

TEST(Colors, HairlinesAreVisibleButQuietOnAnyBackground) {
    for (uint32_t bg : {0x000000u, 0x171a22u, 0x6c5ce7u, 0x808080u, 0xf3f4f8u, 0xffffffu}) {
        Color background = Color::rgb(bg);
        double ratio = Colors::contrast_ratio(
            Colors::over(Colors::hairline_on(background), background), background);
        EXPECT_GT(ratio, 1.1) << std::hex << bg;
        EXPECT_LT(ratio, 2.0) << std::hex << bg;
        EXPECT_GE(Colors::contrast_ratio(Colors::text_on(background), background), 4.5);
    }
}

}  // namespace
