// The call view: tile layout, the floating window's texts and controls, dragging it out and
// back, and the call scenarios' state.
#include <gtest/gtest.h>

#include <cmath>

#include "app/screenshots.hpp"
#include "media/call_session.hpp"
#include "render_call/call_overlay.hpp"
#include "render_call/call_tiles.hpp"
#include "ui_test_support.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat::test {
namespace {

using render_call::layout_call_tiles;
using vemo_ui::Rect;

TEST(CallTiles, FourTilesInALandscapeAreaMakeATwoByTwoGrid) {
    Rect area{0, 0, 800, 450};
    auto l = layout_call_tiles(area, 4, false);
    ASSERT_EQ(l.tiles.size(), 4u);
    EXPECT_FALSE(l.featured);
    EXPECT_DOUBLE_EQ(l.tiles[0].y, l.tiles[1].y);
    EXPECT_DOUBLE_EQ(l.tiles[2].y, l.tiles[3].y);
    EXPECT_DOUBLE_EQ(l.tiles[0].x, l.tiles[2].x);
    EXPECT_GT(l.tiles[2].y, l.tiles[0].bottom());
    // The gap is 5 % of the shorter side, capped at 16.
    EXPECT_DOUBLE_EQ(l.tiles[1].x - l.tiles[0].right(), 16);
}

TEST(CallTiles, ThreeTilesCentreTheLastRow) {
    Rect area{10, 20, 600, 600};
    auto l = layout_call_tiles(area, 3, false);
    ASSERT_EQ(l.tiles.size(), 3u);
    EXPECT_DOUBLE_EQ(l.tiles[0].y, l.tiles[1].y);
    EXPECT_GT(l.tiles[2].y, l.tiles[0].y);
    EXPECT_NEAR(l.tiles[2].center().x, area.center().x, 1e-9);
    EXPECT_DOUBLE_EQ(l.tiles[0].y, area.y);
}

TEST(CallTiles, OneTileFillsTheArea) {
    Rect area{5, 7, 320, 184};
    auto l = layout_call_tiles(area, 1, false);
    ASSERT_EQ(l.tiles.size(), 1u);
    EXPECT_EQ(l.tiles[0], area);
}

TEST(CallTiles, PresenterWithFiveParticipants) {
    Rect area{0, 0, 1200, 700};
    auto l = layout_call_tiles(area, 5, true);
    ASSERT_TRUE(l.featured);
    ASSERT_EQ(l.tiles.size(), 5u);
    EXPECT_DOUBLE_EQ(l.featured->width, 1200);
    EXPECT_DOUBLE_EQ(l.tiles[0].y - l.featured->bottom(), 14);
    double strip = area.bottom() - l.tiles[0].y;
    for (auto const& t : l.tiles) {
        EXPECT_LE(t.width, 1.5 * strip + 1e-9);
        EXPECT_DOUBLE_EQ(t.bottom(), area.bottom());
    }
    EXPECT_DOUBLE_EQ(l.tiles[1].x - l.tiles[0].right(), 12);
    EXPECT_NEAR((l.tiles[0].x + l.tiles[4].right()) / 2, area.center().x, 1e-9);
}

TEST(CallTiles, DegenerateAreasHoldNoTiles) {
    EXPECT_TRUE(layout_call_tiles({0, 0, 1, 300}, 3, false).tiles.empty());
    EXPECT_TRUE(layout_call_tiles({0, 0, 300, 0.5}, 3, false).tiles.empty());
    EXPECT_TRUE(layout_call_tiles({0, 0, 300, 200}, 0, false).tiles.empty());
    auto flat = layout_call_tiles({0, 0, 300, 2}, 3, true);
    EXPECT_TRUE(flat.featured);
    EXPECT_TRUE(flat.tiles.empty());
}

render_call::CallScene scene_with(size_t participants, bool open = false) {
    render_call::CallScene s;
    s.participants = participants;
    s.participants_open = open;
    for (size_t i = 0; i < participants; ++i) {
        render_call::CallTile tile;
        tile.id = "u" + std::to_string(i);
        tile.name = "P" + std::to_string(i);
        tile.initials = "P";
        tile.local = i == 0;
        s.tiles.push_back(std::move(tile));
    }
    return s;
}

struct StatusCase {
    size_t participants;
    bool open;
    char const* text;
};

class StatusLine : public testing::TestWithParam<StatusCase> {};

TEST_P(StatusLine, NamesTheConnection) {
    auto c = GetParam();
    EXPECT_EQ(render_call::status_text(scene_with(c.participants, c.open)), c.text);
}

INSTANTIATE_TEST_SUITE_P(Counts, StatusLine,
                         testing::Values(StatusCase{0, false, "▸ 1 in call · peer-to-peer"},
                                         StatusCase{3, false, "▸ 3 in call · peer-to-peer"},
                                         StatusCase{3, true, "▾ 3 in call · peer-to-peer"},
                                         StatusCase{4, false, "▸ 4 in call · host relay"},
                                         StatusCase{13, true, "▸ 13 in call · host relay"}));

TEST(FloatingCall, NarrowWindowKeepsOnlyMuteAndDeafen) {
    using K = HitKind;
    EXPECT_EQ(render_call::floating_controls(299), (std::vector<K>{K::CallMute, K::CallDeafen}));
    EXPECT_EQ(render_call::floating_controls(300),
              (std::vector<K>{K::CallMute, K::CallDeafen, K::CallExpand, K::CallLeave}));
}

TEST(ExpandedCall, SubtitleNamesThePresenter) {
    auto s = scene_with(3);
    EXPECT_EQ(render_call::expanded_subtitle(s), "3 in the call");
    s.presenter = 0;
    EXPECT_EQ(render_call::expanded_subtitle(s), "3 in the call · You are sharing a screen");
    s.presenter = 2;
    EXPECT_EQ(render_call::expanded_subtitle(s), "3 in the call · P2 is sharing a screen");
}

// The attached panel's top border runs round its rounded corners: nothing is drawn in the
// square corner above the curve, in either theme.
class AttachedFrame : public testing::TestWithParam<vemo_ui::ThemeKind> {};

TEST_P(AttachedFrame, TopBorderFollowsTheRoundedCorners) {
    auto theme =
        GetParam() == vemo_ui::ThemeKind::Dark ? vemo_ui::Theme::dark() : vemo_ui::Theme::light();
    vemo_ui::FloatingPlacement placement;
    placement.place({0, 0, 800, 600});
    ASSERT_TRUE(placement.attached_chrome());
    vemo_ui::ImageCanvas canvas(800, 600);
    canvas.clear(theme.window_fill);
    vemo_ui::TextRenderer text;
    vemo_ui::DrawContext ctx{canvas.painter(), text, theme, 1000, 1};
    auto scene = scene_with(2);
    std::vector<HitRegion> hits;
    render_call::draw_floating_call(ctx, scene, placement, hits);

    Rect window = render_call::floating_window_rect(placement.rect(), scene);
    int top = int(std::round(window.y)), left = int(std::round(window.x));
    int right = int(std::round(window.right())) - 1;
    auto distance = [](vemo_ui::Color a, vemo_ui::Color b) {
        return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
    };
    // The border shows along the straight part of the top edge, set off from the fill ...
    int mid = left + int(window.width / 4);
    EXPECT_GT(distance(canvas.pixel(mid, top), canvas.pixel(mid, top + 3)), 0.02f);
    // ... and not in the corners outside the curve, which look like the window beside them.
    EXPECT_LT(distance(canvas.pixel(left + 1, top), canvas.pixel(left - 2, top)), 0.02f);
    EXPECT_LT(distance(canvas.pixel(right - 1, top), canvas.pixel(right + 2, top)), 0.02f);
}

INSTANTIATE_TEST_SUITE_P(Themes, AttachedFrame,
                         testing::Values(vemo_ui::ThemeKind::Dark, vemo_ui::ThemeKind::Light));

bool drawn(Window& w, HitKind kind) {
    for (auto const& r : w.app.hit_regions())
        if (r.target.kind == kind) return true;
    return false;
}

TEST(CallView, ShowsTheFloatingCallAndTogglesTheExpandedView) {
    Window w;
    w.run();
    EXPECT_FALSE(drawn(w, HitKind::CallMute));
    w.app.join_call("c_huddle");
    w.run();
    for (auto kind : {HitKind::CallDragHandle, HitKind::CallParticipantsToggle, HitKind::CallMute,
                      HitKind::CallDeafen, HitKind::CallExpand, HitKind::CallLeave})
        EXPECT_TRUE(drawn(w, kind)) << kind_name(kind);
    EXPECT_FALSE(drawn(w, HitKind::CallAudioOnly));
    auto scene = w.app.call_scene();
    EXPECT_EQ(scene.title, "Design Huddle");
    EXPECT_EQ(scene.participants, 4u);
    ASSERT_EQ(scene.tiles.size(), 4u);
    EXPECT_TRUE(scene.tiles[0].local);

    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-expand", "activate"));
    w.run();
    EXPECT_TRUE(w.app.call_overlay().expanded);
    EXPECT_TRUE(drawn(w, HitKind::CallAudioOnly));
    EXPECT_FALSE(drawn(w, HitKind::CallDragHandle));

    // Mute from the expanded view reaches the call.
    auto const* mute = w.find("chat.call-mute");
    ASSERT_TRUE(mute);
    w.app.handle_event(pointer(vemo_ui::PointerEvent::Kind::Press, mute->rect.center()));
    w.app.handle_event(pointer(vemo_ui::PointerEvent::Kind::Release, mute->rect.center()));
    EXPECT_TRUE(w.app.call_session().muted());

    w.app.leave_call();
    w.run();
    EXPECT_FALSE(w.app.call_overlay().expanded);
    EXPECT_FALSE(drawn(w, HitKind::CallMute));
}

TEST(CallView, DraggingTheHandleMovesThePanelAndAsksForFrames) {
    using Kind = vemo_ui::PointerEvent::Kind;
    Window w;
    w.run();
    w.app.join_call("c_huddle");
    w.run();
    EXPECT_FALSE(w.app.is_dragging_floating_call());
    auto const* handle = [&]() -> HitRegion const* {
        for (auto const& r : w.app.hit_regions())
            if (r.target.kind == HitKind::CallDragHandle) return &r;
        return nullptr;
    }();
    ASSERT_TRUE(handle);
    auto start = w.app.call_overlay().placement.rect();
    auto grab = handle->rect.center();
    EXPECT_TRUE(w.app.handle_event(pointer(Kind::Press, grab)));
    EXPECT_TRUE(w.app.is_dragging_floating_call());
    EXPECT_TRUE(w.app.needs_animation_frame());
    w.app.handle_event(pointer(Kind::Move, {grab.x - 100, grab.y + 40}));
    w.run();
    EXPECT_DOUBLE_EQ(w.app.call_overlay().placement.rect().x, start.x - 100);
    // Let go outside the window: with no desktop surface the panel comes back, animated.
    w.app.handle_event(pointer(Kind::Move, {1500, 300}));
    w.app.handle_event(pointer(Kind::Release, {1500, 300}));
    EXPECT_FALSE(w.app.is_dragging_floating_call());
    EXPECT_TRUE(w.app.call_overlay().placement.is_handoff_animating());
    EXPECT_TRUE(w.app.needs_animation_frame());
    w.run(1001);
    w.run(1002);
    EXPECT_EQ(w.app.call_overlay().placement.rect(), start);
    EXPECT_FALSE(w.app.call_overlay().placement.is_handoff_animating());
}

// With a desktop to show it on, the panel dragged out gets a window of its own, described,
// drawn and operated in the main window's coordinates, and comes back when dragged back or
// when its window is closed.
TEST(CallView, DraggedOutWithADesktopTheCallGetsItsOwnSurface) {
    using Kind = vemo_ui::PointerEvent::Kind;
    Window w;
    w.app.set_desktop_surfaces_available(true);
    w.run();
    w.app.join_call("c_huddle");
    w.run();
    EXPECT_TRUE(w.app.desktop_surfaces().empty());
    auto handle = [&] {
        for (auto const& r : w.app.hit_regions())
            if (r.target.kind == HitKind::CallDragHandle) return r.rect.center();
        ADD_FAILURE() << "no drag handle drawn";
        return vemo_ui::Point{};
    };
    auto grab = handle();
    w.app.handle_event(pointer(Kind::Press, grab));
    // Leaving the window does not drop the panel; it goes on following the pointer outside.
    w.app.handle_event(pointer(Kind::Leave, {1279, grab.y}));
    EXPECT_TRUE(w.app.is_dragging_floating_call());
    w.app.handle_event(pointer(Kind::Move, {1500, 300}));
    w.run();
    auto surfaces = w.app.desktop_surfaces();
    ASSERT_EQ(surfaces.size(), 1u);
    EXPECT_EQ(surfaces[0].id, "active-call:c_huddle");
    EXPECT_EQ(surfaces[0].title, "Active call");
    EXPECT_EQ(surfaces[0].app_id, "so.vemo.chat");
    auto body = w.app.call_overlay().placement.rect();
    EXPECT_DOUBLE_EQ(surfaces[0].rect.x, body.x - render_call::floating_frame_side);
    EXPECT_DOUBLE_EQ(surfaces[0].rect.y, body.y - render_call::floating_header);
    EXPECT_DOUBLE_EQ(surfaces[0].rect.center().x, 1500);
    w.app.handle_event(pointer(Kind::Release, {1500, 300}));
    EXPECT_TRUE(w.app.call_overlay().placement.is_detached());
    w.run();
    EXPECT_FALSE(w.find("chat.call-mute"));  // no longer drawn in the main window

    vemo_ui::ImageCanvas canvas(int(surfaces[0].rect.width), int(surfaces[0].rect.height));
    vemo_ui::TextRenderer text;
    auto theme = vemo_ui::Theme::dark();
    vemo_ui::DrawContext ctx{canvas.painter(), text, theme, 1000, 1};
    w.app.draw_desktop_surface("active-call:other", ctx);
    auto tree = w.app.desktop_surface_accessibility(surfaces[0].id);
    EXPECT_TRUE(tree.children.empty());  // nothing drawn for another id
    w.app.draw_desktop_surface(surfaces[0].id, ctx);
    tree = w.app.desktop_surface_accessibility(surfaces[0].id);
    EXPECT_EQ(tree.role, vemo_ui::a11y::Role::Window);
    EXPECT_EQ(tree.label, "Active call");
    auto const* mute = tree.find("chat.call-mute");
    ASSERT_TRUE(mute);
    EXPECT_FALSE(mute->states.pressed);
    EXPECT_TRUE(tree.find("chat.call-leave"));

    // Its controls take pointer input in main-window coordinates, outside the main window.
    auto at = mute->rect.center();
    EXPECT_GT(at.x, 1280);
    w.app.handle_event(pointer(Kind::Press, at));
    w.app.handle_event(pointer(Kind::Release, at));
    EXPECT_TRUE(w.app.call_session().muted());
    w.app.draw_desktop_surface(surfaces[0].id, ctx);
    EXPECT_TRUE(
        w.app.desktop_surface_accessibility(surfaces[0].id).find("chat.call-mute")->states.pressed);

    // Dragged back by its header over the window: taken in, animated, no surface left.
    auto header = w.app.desktop_surfaces().at(0).rect;
    w.app.handle_event(pointer(Kind::Press, {header.center().x, header.y + 10}));
    EXPECT_TRUE(w.app.is_dragging_floating_call());
    w.app.handle_event(pointer(Kind::Move, {600, 300}));
    EXPECT_EQ(w.app.call_overlay().placement.state(), vemo_ui::FloatingPlacement::State::Returning);
    w.app.handle_event(pointer(Kind::Release, {600, 300}));
    EXPECT_TRUE(w.app.desktop_surfaces().empty());
    EXPECT_TRUE(w.app.call_overlay().placement.is_handoff_animating());
    w.run();
    EXPECT_TRUE(w.find("chat.call-mute"));
    // A press where the surface was no longer reaches its controls.
    w.app.handle_event(pointer(Kind::Press, at));
    w.app.handle_event(pointer(Kind::Release, at));
    EXPECT_TRUE(w.app.call_session().muted());

    // Out again, then its window is closed on the desktop: the call comes back in.
    grab = handle();
    w.app.handle_event(pointer(Kind::Press, grab));
    w.app.handle_event(pointer(Kind::Move, {1500, 300}));
    w.app.handle_event(pointer(Kind::Release, {1500, 300}));
    ASSERT_EQ(w.app.desktop_surfaces().size(), 1u);
    w.app.desktop_surface_returned("active-call:other");
    EXPECT_EQ(w.app.desktop_surfaces().size(), 1u);
    w.app.desktop_surface_returned("active-call:c_huddle");
    EXPECT_TRUE(w.app.desktop_surfaces().empty());
    EXPECT_FALSE(w.app.call_overlay().placement.is_detached());

    // Out once more, drawn there, and the call left from its own window: nothing stays behind.
    w.app.handle_event(pointer(Kind::Press, handle()));
    w.app.handle_event(pointer(Kind::Move, {1500, 300}));
    w.app.handle_event(pointer(Kind::Release, {1500, 300}));
    w.run();
    w.app.draw_desktop_surface("active-call:c_huddle", ctx);
    auto leave = w.app.desktop_surface_accessibility("active-call:c_huddle")
                     .find("chat.call-leave")
                     ->rect.center();
    w.app.handle_event(pointer(Kind::Press, leave));
    EXPECT_FALSE(w.app.call_session().in_call());
    w.run();
    EXPECT_TRUE(w.app.desktop_surfaces().empty());
    w.app.handle_event(pointer(Kind::Move, leave));
    EXPECT_FALSE(w.app.handle_event(pointer(Kind::Press, leave)));
}

struct ScenarioCase {
    char const* name;
    bool expanded;
    bool sharing;
    bool detached;
    double collapse;
};

class CallScenario : public testing::TestWithParam<ScenarioCase> {};

TEST_P(CallScenario, SetsUpItsState) {
    auto c = GetParam();
    Window w;
    set_up_scenario(w.app, c.name);
    vemo_ui::FrameContext ctx{&w.doc, 1000, 1.0};
    w.app.sync(ctx);
    set_up_call_scenario(w.app, c.name);
    ASSERT_TRUE(w.frame.layout(w.app));
    w.app.set_up_floating_call_for_review(c.name);
    EXPECT_TRUE(w.app.call_session().in_call());
    EXPECT_EQ(w.app.call_session().channel(), "c_huddle");
    auto const& view = w.app.call_overlay();
    EXPECT_EQ(view.expanded, c.expanded);
    auto scene = w.app.call_scene();
    EXPECT_EQ(scene.presenter.has_value(), c.sharing);
    EXPECT_EQ(view.placement.is_detached(), c.detached);
    EXPECT_DOUBLE_EQ(view.placement.collapse_value(), c.collapse);
    if (c.detached && std::string_view(c.name) != "floating-call-returning") {
        EXPECT_DOUBLE_EQ(view.placement.rect().x, 760);
        EXPECT_DOUBLE_EQ(view.placement.rect().y, 300);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, CallScenario,
    testing::Values(ScenarioCase{"collaboration", false, false, false, 1},
                    ScenarioCase{"call", true, false, false, 1},
                    ScenarioCase{"share", true, true, false, 1},
                    ScenarioCase{"floating-call-attached", false, false, false, 1},
                    ScenarioCase{"floating-call", false, false, true, 1},
                    ScenarioCase{"floating-call-hover", false, false, true, 1},
                    ScenarioCase{"floating-call-returning", false, false, true, 1},
                    ScenarioCase{"floating-call-returned", false, false, false, 1},
                    ScenarioCase{"floating-call-collapse-250", false, false, true, 0.75},
                    ScenarioCase{"floating-call-collapse-5000", false, false, true, 0.0}),
    [](auto const& info) {
        std::string n = info.param.name;
        for (auto& ch : n)
            if (ch == '-') ch = '_';
        return n;
    });

TEST(CallScenario, CollaborationKeepsTheThreadOpen) {
    Window w;
    set_up_scenario(w.app, "collaboration");
    w.run();
    EXPECT_EQ(w.app.navigation().thread_root, std::optional<std::string>("m_concept"));
}

}  // namespace
}  // namespace chat::test
