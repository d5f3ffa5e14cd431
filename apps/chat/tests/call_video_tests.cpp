// Camera and screen in a call: what a device sends, and what it makes of what its peers send.
// Frames come from synthetic sources and travel through scripted transports, so every step is
// the real encoder, decoder and stream code.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <variant>

#include "call_test_support.hpp"
#include "model/readers.hpp"
#include "vemo_callstream/video_stream.hpp"

namespace chat::test {
namespace {

using media::MediaKind;
using vemo_ui::capture::ScreenCapture;
using vemo_ui::capture::ScreenCaptureRequest;

struct Media {
    int camera_starts = 0;
    bool camera_missing = false;
    int shade = 200;
    int screen_width = video::screen_width;  // what the screen source delivers
    bool screen_dead = false;
    int request_waits = 1;
    std::optional<std::string> request_failure;

    video::VideoSources sources() {
        video::VideoSources s;
        s.camera = [this]() -> video::SourceResult {
            ++camera_starts;
            if (camera_missing) return std::unexpected(video::no_camera_text);
            return std::make_unique<PatternSource>(video::camera_width, video::camera_height, shade,
                                                   nullptr);
        };
        s.screen = [this](ScreenCapture const&, int, int h) -> video::SourceResult {
            return std::make_unique<PatternSource>(screen_width, h, 230, &screen_dead);
        };
        s.request = [this] {
            auto r = std::make_unique<ScriptedRequest>();
            r->waits = request_waits;
            if (request_failure)
                r->answer.emplace(std::unexpected(*request_failure));
            else
                r->answer.emplace(ScreenCapture{7, 1280, 960, {}, {}});
            return r;
        };
        return s;
    }
};

int count(std::vector<ChatAction> const& actions, bool sharing) {
    int n = 0;
    for (auto const& a : actions)
        if (auto const* s = std::get_if<action::SetScreenShare>(&a); s && s->sharing == sharing)
            ++n;
    return n;
}

// A device in the call of "c_a", with the peers "u_peer" and "u_other" in its document.
struct Participant {
    explicit Participant(std::string self, Media& media)
        : transport(new ScriptedTransport(self + "-ticket")),
          device(self, std::unique_ptr<media::CallTransport>(transport), {}, media.sources()) {
        add_voice_channel(device.doc, "c_a");
    }
    std::vector<media::MediaFrame> take_sent(MediaKind kind) {
        std::vector<media::MediaFrame> out;
        for (auto& f : transport->sent)
            if (f.kind == kind) out.push_back(f);
        transport->sent.clear();
        return out;
    }
    ScriptedTransport* transport;
    Device device;
};

struct VideoFixture : ::testing::Test {
    VideoFixture() {
        for (auto const& [person, id] : {std::pair{"u_peer", &peer_id}, {"u_other", &other_id}}) {
            doc::join_call(me.device.doc, "c_a", person);
            doc::set_ticket(me.device.doc, "c_a", person, id->ticket);
        }
        me.device.call.join_call(me.device.env(), "c_a");
        peer.device.call.join_call(peer.device.env(), "c_a");
    }
    // Runs the peer's steps and hands what it sent of `kind` to us as coming from `sender`.
    void relay(Participant& from, MediaKind kind, int steps, std::string const& sender,
               Identity const& id) {
        for (int i = 0; i < steps; ++i) {
            from.device.call.step(from.device.env());
            for (auto& f : from.take_sent(kind)) {
                f.sender = sender;
                f.remote_endpoint = id.key;
                me.transport->incoming.push_back(std::move(f));
            }
            if (kind == MediaKind::ScreenShare)
                std::this_thread::sleep_for(std::chrono::milliseconds(40));  // the sender's pace
        }
        me.device.call.step(me.device.env());
    }
    void deliver(MediaKind kind, std::vector<std::uint8_t> payload, std::uint64_t sequence) {
        me.transport->incoming.push_back(
            {"u_peer", std::move(payload), {}, sequence, kind, peer_id.key});
        me.device.call.step(me.device.env());
    }
    video::CallVideo& video() { return me.device.call.video(); }

    Media my_media, peer_media, other_media;
    Participant me{"u_me", my_media};
    Participant peer{"u_peer", peer_media};
    Identity peer_id = Identity::make();
    Identity other_id = Identity::make();
};

// --- Camera -------------------------------------------------------------------------------

TEST_F(VideoFixture, CameraFramesGoOutInSequenceAndBecomeThePeersPicture) {
    me.device.call.step(me.device.env());
    auto mine = me.take_sent(MediaKind::Camera);
    ASSERT_FALSE(mine.empty());
    EXPECT_TRUE(video().self_view_image());
    auto kinds = me.transport->bookkeeping().enabled_kinds();
    EXPECT_NE(std::ranges::find(kinds, MediaKind::Camera), kinds.end());

    for (int i = 0; i < 3; ++i) peer.device.call.step(peer.device.env());
    auto sent = peer.take_sent(MediaKind::Camera);
    ASSERT_EQ(sent.size(), 3u);
    for (std::size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GT(sent[i].sequence, sent[i - 1].sequence);
        EXPECT_EQ(sent[i].timestamp.millis(), sent[i].sequence * 33);
    }
    for (auto& f : sent) {
        f.sender = "u_peer";
        f.remote_endpoint = peer_id.key;
        me.transport->incoming.push_back(std::move(f));
    }
    me.device.call.step(me.device.env());
    auto const* feed = video().camera_feed("u_peer");
    ASSERT_NE(feed, nullptr);
    EXPECT_EQ(feed->width, 640);
    EXPECT_EQ(feed->height, 480);
    EXPECT_GE(feed->pictures, 1u);
    auto image = video().camera_image("u_peer");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 640);
    EXPECT_EQ(me.device.call.counters(MediaKind::Camera).received, 3u);
}

TEST_F(VideoFixture, AudioOnlyReleasesTheCameraOnTheNextStepAndClearingRestartsIt) {
    auto& call = me.device.call;
    call.step(me.device.env());
    EXPECT_TRUE(video().camera_running());
    call.toggle_audio_only(me.device.env());
    call.step(me.device.env());
    EXPECT_FALSE(video().camera_running());
    EXPECT_FALSE(video().self_view_image());
    me.transport->sent.clear();
    call.step(me.device.env());
    EXPECT_TRUE(me.take_sent(MediaKind::Camera).empty());
    call.toggle_audio_only(me.device.env());
    call.step(me.device.env());
    EXPECT_TRUE(video().camera_running());
    EXPECT_EQ(my_media.camera_starts, 2);
    EXPECT_FALSE(me.take_sent(MediaKind::Camera).empty());
}

TEST_F(VideoFixture, WithoutACameraNothingIsSentAndTheSearchIsPaced) {
    my_media.camera_missing = true;
    auto& call = me.device.call;
    for (double t : {100.0, 100.02, 101.0, 104.9}) call.step(me.device.env(t));
    EXPECT_EQ(my_media.camera_starts, 1);
    EXPECT_EQ(video().camera_status(), video::no_camera_text);
    EXPECT_TRUE(me.take_sent(MediaKind::Camera).empty());
    EXPECT_TRUE(call.in_call());
    call.step(me.device.env(105.1));
    EXPECT_EQ(my_media.camera_starts, 2);
    call.step(me.device.env(114.9));  // each fruitless search waits longer for the next
    EXPECT_EQ(my_media.camera_starts, 2);
    // The camera turns up: the next search finds it.
    my_media.camera_missing = false;
    call.step(me.device.env(115.2));
    EXPECT_TRUE(video().camera_running());
    EXPECT_EQ(video().camera_status(), "");
}

TEST_F(VideoFixture, EachSenderHasItsOwnDecoderUntilItLeaves) {
    Participant other{"u_other", other_media};
    other_media.shade = 40;
    other.device.call.join_call(other.device.env(), "c_a");
    relay(peer, MediaKind::Camera, 2, "u_peer", peer_id);
    relay(other, MediaKind::Camera, 2, "u_other", other_id);
    relay(peer, MediaKind::Camera, 1, "u_peer", peer_id);
    auto const* bright = video().camera_feed("u_peer");
    auto const* dark = video().camera_feed("u_other");
    ASSERT_TRUE(bright && dark);
    EXPECT_GT(bright->luma_max, 150);
    EXPECT_LT(dark->luma_max, 80);
    EXPECT_TRUE(video().has_decoder("u_other"));

    ASSERT_TRUE(
        dispatch_action(me.device.actions, me.device.doc, action::LeaveCall{"c_a", "u_other"}));
    me.device.call.step(me.device.env());
    EXPECT_FALSE(video().has_decoder("u_other"));
    EXPECT_TRUE(video().has_decoder("u_peer"));
    EXPECT_TRUE(video().camera_image("u_other"));  // the last picture stays for the call

    me.device.call.leave_call(me.device.env());
    me.device.call.step(me.device.env());
    EXPECT_EQ(video().camera_feed("u_peer"), nullptr);
    EXPECT_FALSE(video().camera_running());
}

TEST_F(VideoFixture, DamagedVideoIsCountedAndDroppedAndTheStreamRecovers) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> noise(5000);
    for (auto& b : noise) b = std::uint8_t(rng());
    // A real key frame, then damaged copies of it.
    peer.device.call.step(peer.device.env());
    auto unit = peer.take_sent(MediaKind::Camera).at(0).payload;
    std::vector<std::uint8_t> truncated(unit.begin(), unit.begin() + unit.size() / 3);
    std::vector<std::uint8_t> header_only(unit.begin(), unit.begin() + 5);
    std::vector<std::uint8_t> screen_bad_version = {9, 1, 0, 0, 0, 0, 5, 0, 3, 192, 0, 0, 0, 1, 0};
    std::vector<std::uint8_t> screen_lying_length = {1, 1, 0,   0,   0,   0,   5,
                                                     0, 3, 192, 255, 255, 255, 255};
    std::uint64_t seq = 1;
    for (auto const& [kind, payload] : std::vector<std::pair<MediaKind, std::vector<std::uint8_t>>>{
             {MediaKind::Camera, {}},
             {MediaKind::Camera, noise},
             {MediaKind::Camera, truncated},
             {MediaKind::Camera, header_only},
             {MediaKind::ScreenShare, {}},
             {MediaKind::ScreenShare, noise},
             {MediaKind::ScreenShare, screen_bad_version},
             {MediaKind::ScreenShare, screen_lying_length},
             {MediaKind::ScreenShare, unit},  // a bare unit without the stream header
         })
        deliver(kind, payload, seq++);
    EXPECT_EQ(video().camera_image("u_peer"), nullptr);
    EXPECT_EQ(video().screen_image("u_peer"), nullptr);
    EXPECT_GE(video().camera_feed("u_peer")->rejected, 1u);
    EXPECT_GE(video().screen_feed("u_peer")->rejected, 4u);
    deliver(MediaKind::Camera, unit, seq++);
    EXPECT_TRUE(video().camera_image("u_peer"));
}

// --- Screen -------------------------------------------------------------------------------

TEST_F(VideoFixture, AGrantedScreenIsSharedPublishedAndSeen) {
    auto& call = peer.device.call;
    ASSERT_TRUE(call.request_screen_share(peer.device.env()));
    EXPECT_FALSE(call.request_screen_share(peer.device.env()));  // one request at a time
    EXPECT_EQ(call.poll_screen_capture(peer.device.env()), std::nullopt);
    EXPECT_FALSE(call.sharing());
    EXPECT_EQ(call.poll_screen_capture(peer.device.env()), std::nullopt);
    EXPECT_TRUE(call.sharing());
    EXPECT_FALSE(call.screen_request_pending());
    auto kinds = peer.transport->bookkeeping().enabled_kinds();
    EXPECT_NE(std::ranges::find(kinds, MediaKind::ScreenShare), kinds.end());

    peer.device.issued.clear();
    relay(peer, MediaKind::ScreenShare, 3, "u_peer", peer_id);
    EXPECT_EQ(count(peer.device.issued, true), 1);
    auto const* feed = video().screen_feed("u_peer");
    ASSERT_NE(feed, nullptr);
    EXPECT_EQ(feed->width, 1280);
    EXPECT_EQ(feed->height, 960);
    EXPECT_TRUE(video().screen_image("u_peer"));

    // The control again: the share stops at once and the others hear of it.
    peer.device.issued.clear();
    call.toggle_screen_share(peer.device.env());
    EXPECT_FALSE(call.sharing());
    EXPECT_FALSE(call.video().screen_running());
    EXPECT_EQ(count(peer.device.issued, false), 1);
}

TEST_F(VideoFixture, AnswersThatComeTooLateStartNothing) {
    auto& call = peer.device.call;
    ASSERT_TRUE(call.request_screen_share(peer.device.env()));
    call.leave_call(peer.device.env());
    EXPECT_EQ(call.poll_screen_capture(peer.device.env()), std::nullopt);
    call.step(peer.device.env());
    EXPECT_FALSE(call.sharing());
    EXPECT_FALSE(call.video().screen_running());

    call.join_call(peer.device.env(), "c_a");
    peer_media.request_waits = 0;
    ASSERT_TRUE(call.request_screen_share(peer.device.env()));
    call.poll_screen_capture(peer.device.env());
    ASSERT_TRUE(call.sharing());
    // An answer for a request made while sharing cannot arrive: no request is made then.
    EXPECT_FALSE(call.request_screen_share(peer.device.env()));

    // Without the right to take part an answer is dropped.
    call.toggle_screen_share(peer.device.env());
    ASSERT_TRUE(call.request_screen_share(peer.device.env()));
    peer.device.permitted = false;
    peer_media.request_waits = 1;
    call.poll_screen_capture(peer.device.env());
    EXPECT_FALSE(call.sharing());
}

TEST_F(VideoFixture, ARefusedRequestAnswersItsReason) {
    peer_media.request_waits = 0;
    peer_media.request_failure = "the user cancelled";
    auto& call = peer.device.call;
    ASSERT_TRUE(call.request_screen_share(peer.device.env()));
    EXPECT_EQ(call.poll_screen_capture(peer.device.env()), "the user cancelled");
    EXPECT_FALSE(call.sharing());
    EXPECT_TRUE(call.request_screen_share(peer.device.env()));  // a new request may be made
}

// A frame the stream refuses, or a capture the desktop ended, stops the share with a notice
// and publishes sharing = false exactly once.
struct ShareEnd {
    char const* name;
    int screen_width;
    bool dead;
    char const* notice_start;
};

class ShareEnds : public VideoFixture, public ::testing::WithParamInterface<ShareEnd> {};

TEST_P(ShareEnds, StopTheShareAndPublishItOnce) {
    auto& call = peer.device.call;
    peer_media.request_waits = 0;
    peer_media.screen_width = GetParam().screen_width;
    ASSERT_TRUE(call.request_screen_share(peer.device.env()));
    call.poll_screen_capture(peer.device.env());
    ASSERT_TRUE(call.sharing());
    peer_media.screen_dead = GetParam().dead;
    call.step(peer.device.env());
    peer.device.issued.clear();
    for (int i = 0; i < 3; ++i) call.step(peer.device.env());
    EXPECT_FALSE(call.sharing());
    ASSERT_TRUE(call.notice());
    EXPECT_TRUE(call.notice()->starts_with(GetParam().notice_start)) << *call.notice();
    EXPECT_EQ(count(peer.device.issued, false), 1);
    EXPECT_FALSE(call.video().screen_running());
    EXPECT_TRUE(call.request_screen_share(peer.device.env()));
}

INSTANTIATE_TEST_SUITE_P(Screen, ShareEnds,
                         ::testing::Values(ShareEnd{"WrongFrameSize", 1000, false,
                                                    "Screen sharing stopped: the captured frame"},
                                           ShareEnd{"CaptureEnded", video::screen_width, true,
                                                    "Screen sharing stopped: the shared screen"}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(VideoFixture, OfManyPicturesInOnePayloadOnlyTheNewestIsKept) {
    auto sender = vemo_callstream::session::VideoStreamSender::create(640, 480, 30);
    ASSERT_TRUE(sender);
    std::vector<std::uint8_t> payload;
    auto t = vemo_callstream::session::Clock::now();
    for (int i = 0; i < 10; ++i) {
        // Ever brighter pictures: the tenth is the brightest.
        std::vector<std::uint8_t> frame(640 * 480 * 4, std::uint8_t(20 + 20 * i));
        auto packet = sender->offer_frame(frame, t + std::chrono::milliseconds(100 * i));
        ASSERT_TRUE(packet && *packet);
        payload.insert(payload.end(), (*packet)->begin(), (*packet)->end());
    }
    deliver(MediaKind::ScreenShare, payload, 1);
    auto const* feed = video().screen_feed("u_peer");
    ASSERT_NE(feed, nullptr);
    EXPECT_EQ(feed->pictures, 1u);
    EXPECT_GT(feed->luma_min, 180);
}

}  // namespace
}  // namespace chat::test
