#include <gtest/gtest.h>

#include "vemo_ui/context_menu.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/tooltip_host.hpp"

using namespace vemo_ui;

namespace {

Event key(Key k) {
    return KeyEvent{k, 0, {}, true};
}
Event pointer(PointerEvent::Kind kind, Point at, PointerButton b = PointerButton::Primary) {
    return PointerEvent{kind, at, b, 1, {}};
}

ContextMenu channel_menu() {
    ContextMenu menu;
    menu.push("Delete", 1, true);
    menu.push("Archive / unarchive", 8);
    menu.push("Rename", 0);
    return menu;
}

struct NavCase {
    char const* name;
    std::vector<Key> keys;
    std::optional<size_t> highlighted;
};

class MenuKeys : public testing::TestWithParam<NavCase> {};

TEST_P(MenuKeys, MoveTheHighlightAndWrap) {
    ContextMenu menu = channel_menu();
    menu.open_at({10, 10});
    for (Key k : GetParam().keys) EXPECT_TRUE(menu.handle_event(key(k)));
    EXPECT_EQ(menu.highlighted(), GetParam().highlighted);
    EXPECT_TRUE(menu.is_open());
}

INSTANTIATE_TEST_SUITE_P(
    ContextMenu, MenuKeys,
    testing::Values(NavCase{"nothing_at_first", {}, std::nullopt},
                    NavCase{"down_starts_at_top", {Key::Down}, 0},
                    NavCase{"up_starts_at_bottom", {Key::Up}, 2},
                    NavCase{"down_wraps", {Key::End, Key::Down}, 0},
                    NavCase{"up_wraps", {Key::Home, Key::Up}, 2},
                    NavCase{"other_keys_are_swallowed", {Key::Down, Key::Tab, Key::Character}, 0}),
    [](auto const& info) { return info.param.name; });

TEST(ContextMenu, EnterChoosesHighlightedItemAndCloses) {
    ContextMenu menu = channel_menu();
    menu.open_at({0, 0});
    menu.handle_event(key(Key::Enter));  // nothing highlighted: nothing chosen
    EXPECT_TRUE(menu.is_open());
    menu.handle_event(key(Key::Down));
    menu.handle_event(key(Key::Down));
    menu.handle_event(key(Key::Space));
    EXPECT_FALSE(menu.is_open());
    auto chosen = menu.take_chosen();
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->index, 1u);
    EXPECT_EQ(chosen->code, 8);
    EXPECT_FALSE(menu.take_chosen());
    EXPECT_FALSE(menu.handle_event(key(Key::Down)));  // closed menus take nothing
}

TEST(ContextMenu, EscapeClosesWithoutChoosing) {
    ContextMenu menu = channel_menu();
    menu.open_at({0, 0});
    menu.handle_event(key(Key::Down));
    menu.handle_event(key(Key::Escape));
    EXPECT_FALSE(menu.is_open());
    EXPECT_FALSE(menu.take_chosen());
}

TEST(ContextMenu, PointerHoverHighlightsAndPressChooses) {
    ContextMenu menu = channel_menu();
    menu.open_at({100, 100});
    Point second = menu.item_rect(1).center();
    EXPECT_TRUE(menu.handle_event(pointer(PointerEvent::Kind::Move, second, PointerButton::None)));
    EXPECT_EQ(menu.highlighted(), 1u);
    EXPECT_TRUE(menu.handle_event(pointer(PointerEvent::Kind::Press, second)));
    EXPECT_EQ(menu.take_chosen()->code, 8);

    menu.open_at({100, 100});
    EXPECT_TRUE(menu.handle_event(pointer(PointerEvent::Kind::Press, {5, 5})));
    EXPECT_FALSE(menu.is_open());
    menu.open_at({100, 100});
    EXPECT_FALSE(
        menu.handle_event(pointer(PointerEvent::Kind::Press, {5, 5}, PointerButton::Secondary)));
    EXPECT_FALSE(menu.is_open());
    EXPECT_FALSE(menu.take_chosen());
}

TEST(ContextMenu, SemanticActionsUseItemIdentifiers) {
    ContextMenu menu = channel_menu();
    EXPECT_FALSE(menu.perform_semantic_action("context-menu:item:0"));  // not open
    menu.open_at({0, 0});
    a11y::AccessNode tree = menu.accessibility();
    EXPECT_EQ(tree.role, a11y::Role::Menu);
    ASSERT_EQ(tree.children.size(), 3u);
    EXPECT_EQ(tree.children[2].id, "context-menu:item:2");
    EXPECT_EQ(tree.children[2].label, "Rename");
    EXPECT_EQ(tree.children[2].role, a11y::Role::MenuItem);
    EXPECT_EQ(tree.children[2].rect, menu.item_rect(2));
    for (char const* bad : {"context-menu:item:3", "context-menu:item:", "context-menu:item:1x",
                            "context-menu:item:-1", "chat.inbox"})
        EXPECT_FALSE(menu.perform_semantic_action(bad)) << bad;
    EXPECT_TRUE(menu.perform_semantic_action("context-menu:item:2"));
    EXPECT_EQ(menu.take_chosen()->code, 0);
}

struct ClampCase {
    char const* name;
    Point at;
    Rect bounds;
};

class MenuClamp : public testing::TestWithParam<ClampCase> {};

TEST_P(MenuClamp, StaysInsideBounds) {
    static TextRenderer renderer;
    ContextMenu menu = channel_menu();
    menu.set_text_renderer(&renderer);
    ClampCase const& c = GetParam();
    menu.open_at_clamped(c.at, c.bounds);
    Rect r = menu.rect();
    EXPECT_GE(r.x, c.bounds.x);
    EXPECT_GE(r.y, c.bounds.y);
    EXPECT_LE(r.right(), c.bounds.right() + 1e-9);
    EXPECT_LE(r.bottom(), c.bounds.bottom() + 1e-9);
    // Never further from the pointer than needed.
    if (c.at.x + r.width <= c.bounds.right()) {
        EXPECT_EQ(r.x, std::max(c.at.x, c.bounds.x));
    }
    if (c.at.y + r.height <= c.bounds.bottom()) {
        EXPECT_EQ(r.y, std::max(c.at.y, c.bounds.y));
    }
}

INSTANTIATE_TEST_SUITE_P(ContextMenu, MenuClamp,
                         testing::Values(ClampCase{"inside", {100, 100}, {0, 0, 800, 600}},
                                         ClampCase{"right_edge", {790, 100}, {0, 0, 800, 600}},
                                         ClampCase{"bottom_edge", {100, 595}, {0, 0, 800, 600}},
                                         ClampCase{"corner", {799, 599}, {0, 0, 800, 600}},
                                         ClampCase{
                                             "left_of_offset_bounds", {5, 5}, {50, 40, 700, 500}}),
                         [](auto const& info) { return info.param.name; });

TEST(ContextMenu, EmptyBoundsAreIgnoredAndTooSmallBoundsKeepTopLeft) {
    ContextMenu menu = channel_menu();
    menu.open_at_clamped({900, 700}, {});
    EXPECT_EQ(menu.rect().x, 900);
    EXPECT_EQ(menu.rect().y, 700);
    menu.open_at_clamped({30, 30}, {10, 20, 50, 40});
    EXPECT_EQ(menu.rect().x, 10);
    EXPECT_EQ(menu.rect().y, 20);
}

TEST(TooltipHost, ShowsAfterDelayAndRestartsOnAnotherTarget) {
    TooltipHost tips;
    Rect r{10, 10, 20, 20};
    tips.on_pointer("a", r, "First", 1.0);
    tips.tick(1.49);
    EXPECT_TRUE(tips.pending());
    EXPECT_FALSE(tips.visible());
    tips.on_pointer("a", r, "First", 1.3);  // moving within the target keeps the timer
    tips.tick(1.5);
    EXPECT_TRUE(tips.visible());
    EXPECT_FALSE(tips.pending());
    tips.on_pointer("b", r, "Second", 1.6);
    EXPECT_FALSE(tips.visible());
    tips.tick(2.05);
    EXPECT_FALSE(tips.visible());
    tips.tick(2.1);
    EXPECT_TRUE(tips.visible());
    EXPECT_EQ(tips.text(), "Second");
}

TEST(TooltipHost, LeavingOrPressingHides) {
    TooltipHost tips;
    tips.on_pointer("a", {}, "Tip", 0);
    tips.tick(1);
    tips.on_leave();
    EXPECT_FALSE(tips.visible());
    EXPECT_FALSE(tips.pending());
    tips.on_pointer("a", {}, "Tip", 2);
    tips.on_press();
    tips.tick(5);
    EXPECT_FALSE(tips.visible());
    EXPECT_FALSE(tips.pending());
    tips.on_pointer("x", {}, "", 6);  // a control without a tooltip
    EXPECT_FALSE(tips.pending());
}

}  // namespace
