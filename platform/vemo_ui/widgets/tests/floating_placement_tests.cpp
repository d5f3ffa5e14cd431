#include <gtest/gtest.h>

#include "vemo_ui/floating_placement.hpp"

namespace {

using vemo_ui::FloatingPlacement;
using vemo_ui::Rect;
using State = FloatingPlacement::State;

struct CollapseCase {
    char const* suffix;
    std::optional<double> value;
};

class CollapseSuffix : public testing::TestWithParam<CollapseCase> {};

TEST_P(CollapseSuffix, ReadsTheWayOfTheAnimation) {
    auto got = vemo_ui::collapse_value_for(GetParam().suffix);
    ASSERT_EQ(got.has_value(), GetParam().value.has_value()) << GetParam().suffix;
    if (got) {
        EXPECT_DOUBLE_EQ(*got, *GetParam().value) << GetParam().suffix;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, CollapseSuffix,
    testing::Values(CollapseCase{"250", 0.75}, CollapseCase{"5000", 0.0}, CollapseCase{"0", 1.0},
                    CollapseCase{"+500", 0.5}, CollapseCase{"1000", 0.0},
                    CollapseCase{"0250", 0.75}, CollapseCase{"100x7", 0.9},
                    CollapseCase{"00000000000000000000100", 0.9},
                    CollapseCase{"99999999999999999999999999", 0.0}, CollapseCase{"", std::nullopt},
                    CollapseCase{"+", std::nullopt}, CollapseCase{"-250", std::nullopt},
                    CollapseCase{"x250", std::nullopt}));

Rect const content{0, 0, 1280, 800};

TEST(FloatingPlacement, PlacesTheAttachedPanelAtItsAnchorInsideTheContent) {
    FloatingPlacement p;
    p.place(content);
    Rect r = p.rect();
    EXPECT_DOUBLE_EQ(r.width, 320);
    EXPECT_DOUBLE_EQ(r.height, 184);
    EXPECT_DOUBLE_EQ(r.center().x, 0.505 * 1280);
    EXPECT_DOUBLE_EQ(r.center().y, 0.30 * 800);
    // A small window keeps the panel, header included, inside the margin.
    p.place({0, 0, 400, 300});
    EXPECT_GE(p.rect().y - 40, 12);
    EXPECT_GE(p.rect().x, 12);
    EXPECT_LE(p.rect().right(), 400 - 12);
}

TEST(FloatingPlacement, DragOutDetachesAndDragBackAdopts) {
    FloatingPlacement p;
    p.place(content);
    p.tick(0);
    EXPECT_FALSE(p.is_handoff_animating());
    Rect start = p.rect();
    p.begin_drag(content, {start.center().x, start.y - 18});
    EXPECT_TRUE(p.is_dragging());
    EXPECT_EQ(p.state(), State::Dragging);
    p.update_drag({start.center().x + 100, start.y - 18 + 50}, content);
    EXPECT_DOUBLE_EQ(p.rect().x, start.x + 100);
    EXPECT_DOUBLE_EQ(p.rect().y, start.y + 50);
    // Re-placing during a drag leaves the dragged panel alone.
    p.place(content);
    EXPECT_DOUBLE_EQ(p.rect().x, start.x + 100);

    // Leaving the content detaches at once; the panel keeps following the pointer out there.
    p.update_drag({1500, 300}, content);
    EXPECT_EQ(p.state(), State::Detached);
    EXPECT_TRUE(p.is_dragging());
    EXPECT_FALSE(p.attached_chrome());
    p.update_drag({1520, 340}, content);
    EXPECT_DOUBLE_EQ(p.rect().x, 1520 - (start.center().x - start.x));
    EXPECT_DOUBLE_EQ(p.rect().y, 340 + 18);
    p.end_drag({1520, 340});
    EXPECT_EQ(p.state(), State::Detached);
    EXPECT_FALSE(p.is_dragging());
    EXPECT_FALSE(p.attached_chrome());
    EXPECT_TRUE(p.is_handoff_animating());
    p.tick(1);
    p.tick(1 + FloatingPlacement::handoff_seconds);
    EXPECT_FALSE(p.is_handoff_animating());

    p.begin_drag(content, {p.rect().center().x, p.rect().y - 18});
    p.update_drag({700, 200}, content);
    EXPECT_EQ(p.state(), State::Returning);
    p.update_drag({1400, 200}, content);
    EXPECT_EQ(p.state(), State::Detached);
    p.update_drag({700, 200}, content);
    p.end_drag({700, 200});
    EXPECT_EQ(p.state(), State::Attached);
    EXPECT_TRUE(p.attached_chrome());
    EXPECT_EQ(p.rect(), p.attached_rect());
    EXPECT_TRUE(p.is_handoff_animating());
    // The hand-off starts from where the panel was let go.
    auto t = p.presentation_transform(p.rect(), true);
    EXPECT_NE(t.offset.x, 0);
}

// The host window moving beneath a detached panel shifts it back, so it stays put on the
// desktop; an attached or dragged panel goes with the window.
TEST(FloatingPlacement, OnlyARestingDetachedPanelShifts) {
    FloatingPlacement p;
    p.place(content);
    Rect attached = p.rect();
    p.shift_detached({-50, 20});
    EXPECT_EQ(p.rect(), attached);
    p.detach_to_desktop({1500, 300, 320, 184});
    p.shift_detached({-50, 20});
    EXPECT_EQ(p.rect(), (Rect{1450, 320, 320, 184}));
    p.begin_drag(content, {1600, 310});
    p.shift_detached({-50, 20});
    EXPECT_EQ(p.rect(), (Rect{1450, 320, 320, 184}));
}

TEST(FloatingPlacement, DroppedInsideReturnsToItsPlace) {
    FloatingPlacement p;
    p.place(content);
    Rect start = p.rect();
    p.begin_drag(content, start.center());
    p.update_drag({start.center().x - 200, start.center().y}, content);
    p.end_drag({start.center().x - 200, start.center().y});
    EXPECT_EQ(p.state(), State::Attached);
    EXPECT_EQ(p.rect(), start);
}

TEST(FloatingPlacement, PinnedHandoffStaysWhereItWasPinned) {
    FloatingPlacement p;
    p.place(content);
    p.detach_to_desktop({760, 300, 320, 184});
    p.pin_handoff_for_visual_review(500);
    p.tick(10);
    EXPECT_DOUBLE_EQ(p.handoff_progress(), 0.5);
    EXPECT_FALSE(p.is_handoff_animating());
    p.pin_handoff_for_visual_review(1000);
    auto t = p.presentation_transform(p.rect(), false);
    EXPECT_DOUBLE_EQ(t.offset.x, 0);
    EXPECT_DOUBLE_EQ(t.scale, 1);
    EXPECT_FALSE(t.attached_chrome);
}

TEST(FloatingPlacement, CollapseAnimatesAndFreezes) {
    FloatingPlacement p;
    p.detach_to_desktop({760, 300, 320, 184});
    p.start_collapse(true, 0);
    EXPECT_TRUE(p.is_collapse_animating());
    p.tick(FloatingPlacement::collapse_seconds);
    EXPECT_DOUBLE_EQ(p.collapse_value(), 0);
    EXPECT_FALSE(p.is_collapse_animating());
    p.freeze_collapse(0.75);
    p.tick(5);
    EXPECT_DOUBLE_EQ(p.collapse_value(), 0.75);
}

}  // namespace
