#include <gtest/gtest.h>

#include <cmath>

#include "vemo_ui/transition.hpp"

using namespace vemo_ui;

namespace {

TEST(Flap, FirstModeSnapsLaterModesClearTheOverride) {
    Flap left = Flap::with_default(true);
    left.on_mode(FlapMode::Overlay);
    EXPECT_EQ(left.progress, 0);  // snapped, not animated
    EXPECT_FALSE(left.is_animating());
    left.toggle();
    EXPECT_EQ(left.override_state, FlapOverride::Open);
    left.on_mode(FlapMode::Overlay);  // same mode: nothing happens
    EXPECT_EQ(left.override_state, FlapOverride::Open);
    left.on_mode(FlapMode::Wide);
    EXPECT_EQ(left.override_state, FlapOverride::None);
    EXPECT_TRUE(left.target());
    EXPECT_EQ(left.progress, 0);  // animates from where it was
    EXPECT_TRUE(left.is_animating());
}

TEST(Flap, LongFrameGapsAdvanceAsIfATenthOfASecondPassed) {
    double const one_step = 1 - std::exp(-14 * 0.1);
    for (double gap : {0.1, 0.5, 3.0}) {
        Flap f = Flap::with_default(false);
        f.on_mode(FlapMode::Wide);
        f.toggle();
        f.tick(10);
        EXPECT_EQ(f.progress, 0);
        f.tick(10 + gap);
        EXPECT_NEAR(f.progress, one_step, 1e-12) << gap;
    }
}

TEST(Flap, SnapsWhenCloseAndSettlesInAboutHalfASecond) {
    Flap f = Flap::with_default(false);
    f.on_mode(FlapMode::Wide);
    f.progress = 0.9995;
    f.set_override(true);
    f.tick(0);
    f.tick(0.001);
    EXPECT_EQ(f.progress, 1);
    EXPECT_FALSE(f.is_animating());

    f.toggle();
    int frames = 0;
    for (double t = 0.001; f.is_animating() && frames < 600; ++frames) f.tick(t += 1.0 / 60);
    EXPECT_EQ(f.progress, 0);
    EXPECT_GT(frames, 20);
    EXPECT_LT(frames, 45);
}

TEST(Flap, EasedProgressIsCubicOutAndClamped) {
    Flap f;
    for (auto [p, e] : {std::pair{0.0, 0.0}, {0.5, 0.875}, {1.0, 1.0}, {1.5, 1.0}, {-0.5, 0.0}}) {
        f.progress = p;
        EXPECT_DOUBLE_EQ(f.eased(), e) << p;
    }
}

TEST(Transition, MovesToTargetOverItsDuration) {
    Transition t(0, 0.2, Easing::Linear);
    t.set_target(10, 1.0);
    EXPECT_TRUE(t.is_running());
    t.tick(1.1);
    EXPECT_NEAR(t.value(), 5, 1e-9);
    t.set_target(10, 1.15);  // same target: keeps going, no restart
    t.tick(1.2);
    EXPECT_EQ(t.value(), 10);
    EXPECT_FALSE(t.is_running());
}

TEST(Transition, RetargetingStartsFromTheCurrentValue) {
    Transition t(0, 1.0, Easing::Linear);
    t.set_target(100, 0);
    t.tick(0.5);
    t.set_target(0, 0.5);
    t.tick(0.75);
    EXPECT_NEAR(t.value(), 37.5, 1e-9);  // a quarter of the way from 50 back to 0
    Transition instant(3, 0);
    instant.set_target(7, 0);
    EXPECT_EQ(instant.value(), 7);
    EXPECT_FALSE(instant.is_running());
}

TEST(Transition, EasingsKeepTheirEnds) {
    for (Easing e : {Easing::Linear, Easing::EaseOutCubic, Easing::EaseInOutCubic}) {
        EXPECT_EQ(ease(e, 0), 0);
        EXPECT_EQ(ease(e, 1), 1);
        EXPECT_EQ(ease(e, 2), 1);
    }
    EXPECT_GT(ease(Easing::EaseOutCubic, 0.3), 0.3);
}

}  // namespace
