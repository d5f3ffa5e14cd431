#include <gtest/gtest.h>

#include "vemo_ui/event.hpp"
#include "vemo_ui/layout.hpp"

using namespace vemo_ui;

TEST(Layout, FixedAndFillChildrenShareTheParent)
{
    LayoutNode root = LayoutNode::fill("root");
    root.axis = LayoutNode::Axis::Horizontal;
    root.padding = 10;
    root.gap = 5;
    root.children = {LayoutNode::fixed("rail", 68), LayoutNode::fill("a"), LayoutNode::fill("b")};
    auto layout = compute_layout(root, Size{400, 300});
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->rect_of("root"), (Rect{0, 0, 400, 300}));
    EXPECT_EQ(layout->rect_of("rail"), (Rect{10, 10, 68, 280}));
    // 380 inner - 68 - 2 gaps of 5 = 302, split in two.
    EXPECT_EQ(layout->rect_of("a"), (Rect{83, 10, 151, 280}));
    EXPECT_EQ(layout->rect_of("b"), (Rect{239, 10, 151, 280}));
    EXPECT_FALSE(layout->rect_of("missing"));
}

TEST(Layout, OverfullParentGivesFillChildrenNothing)
{
    LayoutNode root = LayoutNode::fill("root");
    root.children = {LayoutNode::fixed("top", 500), LayoutNode::fill("rest")};
    auto layout = compute_layout(root, Size{100, 300});
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->rect_of("rest")->height, 0);
}

TEST(Layout, RejectsDuplicateEmptyAndNegative)
{
    LayoutNode dup = LayoutNode::fill("root");
    dup.children = {LayoutNode::fill("x"), LayoutNode::fill("x")};
    EXPECT_NE(compute_layout(dup, {10, 10}).error().message.find("duplicate"), std::string::npos);

    LayoutNode empty = LayoutNode::fill("");
    EXPECT_FALSE(compute_layout(empty, {10, 10}));

    LayoutNode negative = LayoutNode::fill("root");
    negative.children = {LayoutNode::fixed("n", -1)};
    EXPECT_NE(compute_layout(negative, {10, 10}).error().message.find("negative"), std::string::npos);
}

TEST(Wheel, LineStepsAreFortyFourPointsAndPixelsFollowTheScale)
{
    EXPECT_EQ(wheel_points(1, WheelUnit::Lines, 1), 44);
    EXPECT_EQ(wheel_points(-2, WheelUnit::Lines, 2), -88);
    EXPECT_EQ(wheel_points(30, WheelUnit::Pixels, 2), 15);
    EXPECT_EQ(wheel_points(30, WheelUnit::Pixels, 0.5), 30);
}
