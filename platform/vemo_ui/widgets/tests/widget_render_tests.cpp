#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/context_menu.hpp"
#include "vemo_ui/text_input.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/tooltip_host.hpp"
#include "vemo_ui/widget.hpp"

using namespace vemo_ui;

namespace {

// Pictures land next to the test binary (or in VEMO_WIDGET_SHOTS) for a person to look at.
std::string shot_path(std::string const& name) {
    char const* dir = std::getenv("VEMO_WIDGET_SHOTS");
    return (std::filesystem::path(dir ? dir : VEMO_WIDGET_SHOT_DIR) / name).string();
}

bool near(Color a, Color b, float tolerance = 0.08f) {
    return std::abs(a.r - b.r) < tolerance && std::abs(a.g - b.g) < tolerance &&
           std::abs(a.b - b.b) < tolerance;
}

class WidgetRender : public testing::TestWithParam<ThemeKind> {
  protected:
    static TextRenderer& text() {
        static TextRenderer renderer;
        return renderer;
    }
    char const* theme_name() const { return GetParam() == ThemeKind::Dark ? "dark" : "light"; }
};

TEST_P(WidgetRender, TextInputsWithSelectionPreeditAndPlaceholder) {
    Theme const& theme = Theme::of(GetParam());
    ImageCanvas canvas(520, 300, 1.0);
    canvas.clear(theme.window_fill);
    DrawContext ctx{canvas.painter(), text(), theme};

    TextInput selected;
    selected.set_text("Ship the release notes 🚀 today\nand tell the team");
    selected.set_selection(9, 40);
    selected.set_focused(true);
    Rect a{20, 20, 480, selected.preferred_height(480)};
    selected.set_text_renderer(&text());
    a.height = selected.preferred_height(480);
    selected.draw(ctx, a);

    TextInput composing;
    composing.set_text("Meeting at ");
    composing.set_cursor_pos(11);
    composing.handle_event(PreeditEvent{"とうきょう", 0});
    composing.set_focused(true);
    Rect b{20, a.bottom() + 20, 480, 38};
    composing.draw(ctx, b);

    TextInput empty;
    empty.set_placeholder("Message #general");
    Rect c{20, b.bottom() + 20, 480, 38};
    empty.draw(ctx, c);
    ASSERT_TRUE(canvas.write_png(shot_path(std::string("text_input_") + theme_name() + ".png")));

    // The selection is tinted with the accent; the unselected start of the line is not.
    Rect sel_start = text().caret_rect(selected.text(), 15, 480 - 24, 9);
    Color inside = canvas.pixel(int(a.x + 12 + sel_start.x + 4), int(a.y + 9 + 3));
    Color before = canvas.pixel(int(a.x + 6), int(a.y + 9 + 3));
    EXPECT_TRUE(near(before, theme.input_fill));
    EXPECT_FALSE(near(inside, theme.input_fill));
    // The caret of the composing field sits at the start of the preedit, as the input method
    // asked, and the field reports it for the candidate window.
    EXPECT_NEAR(composing.caret_rect().x, b.x + 12 + text().measure("Meeting at ", 15).width, 1.5);
}

TEST_P(WidgetRender, ContextMenuWithDestructiveItemAndTooltip) {
    Theme const& theme = Theme::of(GetParam());
    ImageCanvas canvas(420, 300, 1.0);
    canvas.clear(theme.window_fill);
    DrawContext ctx{canvas.painter(), text(), theme};
    ContextMenu menu;
    menu.push("Edit message", 9);
    menu.push("Pin / unpin", 10);
    menu.push("Delete message", 11, true);
    menu.set_text_renderer(&text());
    menu.open_at_clamped({300, 120}, {0, 0, 420, 300});
    menu.handle_event(KeyEvent{Key::Down, 0, {}, true});
    menu.draw(ctx);

    TooltipHost tips;
    tips.on_pointer("send", {20, 40, 32, 32}, "Send message", 0);
    tips.tick(1);
    tips.draw(ctx, {0, 0, 420, 300});
    ASSERT_TRUE(canvas.write_png(shot_path(std::string("context_menu_") + theme_name() + ".png")));

    EXPECT_LE(menu.rect().right(), 420);
    EXPECT_LE(menu.rect().bottom(), 300);
    // Some pixel of the destructive label carries the danger colour.
    Rect danger_row = menu.item_rect(2);
    bool found = false;
    for (int y = int(danger_row.y); y < int(danger_row.bottom()) && !found; ++y)
        for (int x = int(danger_row.x); x < int(danger_row.right()) && !found; ++x)
            found = near(canvas.pixel(x, y), theme.danger, 0.12f);
    EXPECT_TRUE(found);
}

TEST_P(WidgetRender, TallTextScrollsToTheCaretButTheWheelMayLookElsewhere) {
    Theme const& theme = Theme::of(GetParam());
    ImageCanvas canvas(300, 120, 1.0);
    DrawContext ctx{canvas.painter(), text(), theme};
    TextInput input;
    input.set_focused(true);
    input.set_text("one\ntwo\nthree\nfour\nfive\nsix");
    input.set_cursor_pos(99);
    Rect field{10, 10, 280, 60};
    input.draw(ctx, field);
    EXPECT_LE(input.caret_rect().bottom(), field.bottom());
    EXPECT_GE(input.caret_rect().y, field.y);

    EXPECT_TRUE(input.handle_event(WheelEvent{field.center(), 0, -1000, {}}));
    input.draw(ctx, field);
    EXPECT_GT(input.caret_rect().y, field.bottom());  // scrolled to the top, caret below

    input.handle_event(TextEvent{"!"});
    input.draw(ctx, field);
    EXPECT_LE(input.caret_rect().bottom(), field.bottom());
}

INSTANTIATE_TEST_SUITE_P(Themes, WidgetRender, testing::Values(ThemeKind::Dark, ThemeKind::Light),
                         [](auto const& info) {
                             return info.param == ThemeKind::Dark ? "dark" : "light";
                         });

}  // namespace
