// Live pictures in the call view: what peers send ends up in their tiles and on the stage,
// the local camera in the self view, and people without video keep their avatar.
#include <gtest/gtest.h>

#include <filesystem>

#include "call_test_support.hpp"
#include "model/readers.hpp"
#include "ui_test_support.hpp"
#include "vemo_callstream/video_stream.hpp"

namespace chat::test {
namespace {

using media::MediaKind;

// Colour bars that move one step each frame, RGBA.
std::vector<std::uint8_t> bars(int w, int h, int frame) {
    static constexpr std::uint8_t colours[][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235},
                                                  {16, 235, 16},   {235, 16, 235}, {235, 16, 16},
                                                  {16, 16, 235},   {16, 16, 16}};
    std::vector<std::uint8_t> f(std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            auto const* c = colours[((x + frame * 4) * 8 / w) % 8];
            auto* p = &f[(std::size_t(y) * w + x) * 4];
            p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 255;
        }
    return f;
}

struct Bars final : video::FrameSource {
    Bars(int w = video::camera_width, int h = video::camera_height) : w(w), h(h) {}
    std::optional<std::vector<std::uint8_t>> pull_video_frame() override {
        return bars(w, h, frame++);
    }
    bool failed() override { return false; }
    int w, h, frame = 0;
};

struct CallPictures : ::testing::Test {
    CallPictures() {
        w.run();
        auto t = std::make_unique<ScriptedTransport>("me-ticket");
        transport = t.get();
        w.app.set_call_transport(std::move(t));
        video::VideoSources sources;
        sources.camera = []() -> video::SourceResult { return std::make_unique<Bars>(); };
        w.app.call_session().video().set_sources(std::move(sources));
        w.app.join_call("c_huddle");
        w.app.call_overlay().expanded = true;
        doc::set_ticket(w.doc, "c_huddle", "u_elin", elin.ticket);
        doc::set_ticket(w.doc, "c_huddle", "u_ravi", ravi.ticket);
        doc::set_sharing(w.doc, "c_huddle", "u_ravi", true);
        w.doc.commit();
    }
    void deliver(std::string sender, Identity const& id, MediaKind kind,
                 std::vector<std::uint8_t> payload) {
        transport->incoming.push_back(
            {std::move(sender), std::move(payload), {}, ++sequence, kind, id.key});
    }
    render_call::CallTile const* tile(render_call::CallScene const& scene, std::string const& id) {
        for (auto const& t : scene.tiles)
            if (t.id == id) return &t;
        return nullptr;
    }

    Window w;
    ScriptedTransport* transport = nullptr;
    Identity elin = Identity::make();
    Identity ravi = Identity::make();
    std::uint64_t sequence = 0;
};

TEST_F(CallPictures, TilesAndTheStageShowTheNewestPictures) {
    auto camera = vemo_callstream::encoder::H264Encoder::create(640, 480, 30);
    ASSERT_TRUE(camera);
    auto unit = camera->encode(bars(640, 480, 0));
    ASSERT_TRUE(unit && !unit->empty());
    deliver("u_elin", elin, MediaKind::Camera, *unit);
    auto screen = vemo_callstream::session::VideoStreamSender::create(1280, 960, 30);
    ASSERT_TRUE(screen);
    auto packet = screen->offer_frame(bars(1280, 960, 3), vemo_callstream::session::Clock::now());
    ASSERT_TRUE(packet && *packet);
    deliver("u_ravi", ravi, MediaKind::ScreenShare, **packet);
    w.run(1001);
    w.run(1002);

    auto scene = w.app.call_scene();
    ASSERT_TRUE(tile(scene, "u_elin"));
    ASSERT_TRUE(tile(scene, "u_elin")->camera);
    EXPECT_EQ(tile(scene, "u_elin")->camera->width, 640);
    EXPECT_FALSE(tile(scene, "u_tove")->camera);  // no video: the avatar stays
    ASSERT_TRUE(scene.tiles.front().local);
    EXPECT_TRUE(scene.tiles.front().camera);  // the self view
    ASSERT_TRUE(scene.presenter);
    EXPECT_EQ(scene.tiles[*scene.presenter].id, "u_ravi");
    ASSERT_TRUE(scene.screen);
    EXPECT_EQ(scene.screen->width, 1280);
    auto shots = std::filesystem::path(CHAT_SHOT_DIR);
    EXPECT_TRUE(w.frame.write_png(shots / "call-pictures.png"));
    w.app.call_overlay().expanded = false;
    w.run(1002.5);
    EXPECT_TRUE(w.frame.write_png(shots / "call-pictures-floating.png"));

    // Audio only: the self view goes, and so does a peer's picture once they say so.
    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-audio-only", "activate"));
    doc::set_voice_flags(w.doc, "c_huddle", "u_elin", false, false, false, true);
    w.doc.commit();
    w.run(1003);
    scene = w.app.call_scene();
    EXPECT_FALSE(scene.tiles.front().camera);
    EXPECT_FALSE(tile(scene, "u_elin")->camera);
}

// Pictures come in on the realtime tick, between frames; each asks for one frame to show it.
TEST_F(CallPictures, APictureBetweenFramesAsksForAFrame) {
    for (double t = 1001; t < 1003 && w.app.needs_animation_frame(); t += 0.1) w.run(t);
    ASSERT_FALSE(w.app.needs_animation_frame());
    auto camera = vemo_callstream::encoder::H264Encoder::create(640, 480, 30);
    ASSERT_TRUE(camera);
    deliver("u_elin", elin, MediaKind::Camera, *camera->encode(bars(640, 480, 0)));
    vemo_ui::FrameContext ctx{&w.doc, 1004, 1.0};
    w.app.realtime_tick(ctx);
    EXPECT_TRUE(w.app.needs_animation_frame());
    w.run(1004.1);
    EXPECT_FALSE(w.app.needs_animation_frame());
}

// The screen-share control through the window: a refusal lands in the status line, a grant
// starts the share and the document hears of it, the control again ends it.
TEST_F(CallPictures, TheShareControlAsksTheDesktopAndTogglesTheShare) {
    std::optional<std::string> refusal = "the user cancelled the dialogue";
    video::VideoSources sources;
    sources.request = [&] {
        auto r = std::make_unique<ScriptedRequest>();
        if (refusal)
            r->answer.emplace(std::unexpected(*refusal));
        else
            r->answer.emplace(vemo_ui::capture::ScreenCapture{9, 1280, 960, {}, {}});
        return r;
    };
    sources.screen = [](vemo_ui::capture::ScreenCapture const&, int w,
                        int h) -> video::SourceResult { return std::make_unique<Bars>(w, h); };
    w.app.call_session().video().set_sources(std::move(sources));
    auto me_sharing = [&] {
        for (auto const& p : model::read_voice(w.doc, "c_huddle"))
            if (p.person == w.app.identity().id) return p.sharing;
        return false;
    };

    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-share-screen", "activate"));
    EXPECT_EQ(w.app.status_line(), *refusal);
    EXPECT_FALSE(w.app.call_session().sharing());

    refusal.reset();
    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-share-screen", "activate"));
    EXPECT_TRUE(w.app.call_session().sharing());
    w.run(1001);
    EXPECT_TRUE(me_sharing());
    auto scene = w.app.call_scene();
    ASSERT_TRUE(scene.presenter);
    EXPECT_TRUE(scene.tiles[*scene.presenter].local);
    EXPECT_FALSE(w.app.call_session().notice());
    EXPECT_GT(w.app.call_session().counters(media::MediaKind::ScreenShare).sent, 0u);
    // The presenter sees what they share on their own stage.
    w.run(1001.1);
    scene = w.app.call_scene();
    ASSERT_TRUE(scene.screen);
    EXPECT_EQ(scene.screen->width, 1280);
    EXPECT_TRUE(w.frame.write_png(std::filesystem::path(CHAT_SHOT_DIR) / "call-own-screen.png"));

    ASSERT_TRUE(w.app.perform_semantic_action("chat.call-share-screen", "activate"));
    EXPECT_FALSE(w.app.call_session().sharing());
    EXPECT_FALSE(me_sharing());
    EXPECT_FALSE(w.app.call_session().video().screen_running());
}

}  // namespace
}  // namespace chat::test
