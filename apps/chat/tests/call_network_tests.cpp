// Two devices in one call over real QUIC endpoints on loopback, their documents kept in
// step with the engine's sync protocol as sharing would, and a third participant that tries
// to speak for another.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "call_test_support.hpp"
#include "media/network_transport.hpp"
#include "model/readers.hpp"

namespace chat::test {
namespace {

using namespace std::chrono_literals;
using media::MediaKind;

bool in_record(automerge::AutoCommit& doc, std::string const& person) {
    for (auto const& p : model::read_voice(doc, "c_v"))
        if (p.person == person) return true;
    return false;
}

TEST(CallOverNetwork, ParticipantsExchangeMediaAndAnImpersonatorIsRefused) {
    automerge::AutoCommit base;
    add_voice_channel(base, "c_v");
    Device a("u_a", start_loopback(), base.fork());
    Device b("u_b", start_loopback(), base.fork());

    a.call.join_call(a.env(), "c_v");
    sync_documents(a.doc, b.doc);
    b.call.join_call(b.env(), "c_v");
    sync_documents(a.doc, b.doc);
    // Silent microphones keep this test off the sound devices; frames go as camera frames.
    a.call.toggle_mute(a.env());
    b.call.toggle_mute(b.env());
    sync_documents(a.doc, b.doc);

    std::uint64_t sent = 0;
    auto exchange = [&] {
        for (auto* d : {&a, &b}) {
            auto stamp = media::MediaTimestamp::from_millis(d->call.sequence() * 33);
            d->call.send_media(d->self, MediaKind::Camera, stamp, {1, 2, 3});
            d->call.step(d->env());
        }
        ++sent;
    };
    ASSERT_TRUE(eventually([&] {
        exchange();
        return a.call.counters(MediaKind::Camera).received >= 5 &&
               b.call.counters(MediaKind::Camera).received >= 5;
    }));
    EXPECT_EQ(a.call.connected_peers(), std::vector<std::string>{"u_b"});
    EXPECT_EQ(a.call.counters(MediaKind::Camera).dropped_unauthenticated, 0u);

    // A third participant, admitted to a's endpoint by its own ticket, speaks for b with a
    // sequence far ahead.
    auto intruder = start_loopback();
    doc::join_call(b.doc, "c_v", "u_c");
    doc::set_ticket(b.doc, "c_v", "u_c", intruder->local_ticket());
    sync_documents(a.doc, b.doc);
    ASSERT_TRUE(intruder->connect(a.call.transport().local_ticket()));
    ASSERT_TRUE(eventually([&] {
        media::MediaFrame forged{
            "u_b", {9}, media::MediaTimestamp::from_millis(1'000'000), 1'000'000, MediaKind::Camera,
            {}};
        intruder->send_frame(std::move(forged));
        exchange();
        return a.call.counters(MediaKind::Camera).dropped_unauthenticated > 0;
    }));
    auto before = a.call.counters(MediaKind::Camera).received;
    ASSERT_TRUE(eventually([&] {
        exchange();
        return a.call.counters(MediaKind::Camera).received > before + 3;
    }));
    EXPECT_EQ(a.call.counters(MediaKind::Camera).dropped_sequence, 0u);

    // Leaving takes b out of both documents.
    b.call.leave_call(b.env());
    sync_documents(a.doc, b.doc);
    EXPECT_FALSE(in_record(a.doc, "u_b"));
    EXPECT_FALSE(in_record(b.doc, "u_b"));
    EXPECT_TRUE(in_record(b.doc, "u_a"));
}

// A camera whose first dial is refused still shows its first picture with the first unit the
// peer receives: the key frame made for the newcomer, lost with that dial, is made again for
// the next one.
TEST(CallOverNetwork, TheFirstCameraPictureComesWithTheFirstUnits) {
    automerge::AutoCommit base;
    add_voice_channel(base, "c_v");
    auto camera = [] {
        video::VideoSources s;
        s.camera = []() -> video::SourceResult {
            return std::make_unique<PatternSource>(video::camera_width, video::camera_height, 200,
                                                   nullptr);
        };
        return s;
    };
    Device a("u_a", start_loopback(), base.fork(), camera());
    Device b("u_b", start_loopback(), base.fork(), camera());
    a.call.join_call(a.env(), "c_v");
    a.call.toggle_mute(a.env());
    sync_documents(a.doc, b.doc);
    b.call.join_call(b.env(), "c_v");
    b.call.toggle_mute(b.env());
    // b knows a's ticket and dials at once; a does not know b yet and refuses it.
    for (int i = 0; i < 20; ++i) {
        for (auto* d : {&a, &b}) d->call.step(d->env());
        std::this_thread::sleep_for(10ms);
    }
    sync_documents(a.doc, b.doc);

    auto seen = [](Device& d, std::string const& sender) {
        auto const* feed = d.call.video().camera_feed(sender);
        return feed && feed->pictures > 0 ? feed : nullptr;
    };
    ASSERT_TRUE(eventually([&] {
        for (auto* d : {&a, &b}) d->call.step(d->env());
        return seen(a, "u_b") && seen(b, "u_a");
    }));
    for (auto [d, sender] : {std::pair{&a, "u_b"}, {&b, "u_a"}}) {
        auto const* feed = seen(*d, sender);
        EXPECT_EQ(feed->skipped, 0u) << sender;
        EXPECT_EQ(feed->rejected, 0u) << sender;
    }
}

// The receiver hears about frames as they arrive and takes them between steps.
TEST(CallOverNetwork, ArrivingFramesWakeTheReceiver) {
    automerge::AutoCommit base;
    add_voice_channel(base, "c_v");
    Device a("u_a", start_loopback(), base.fork());
    Device b("u_b", start_loopback(), base.fork());
    std::atomic<int> wakes = 0;
    b.call.set_media_waker([&] { ++wakes; });
    a.call.join_call(a.env(), "c_v");
    a.call.toggle_mute(a.env());
    sync_documents(a.doc, b.doc);
    b.call.join_call(b.env(), "c_v");
    b.call.toggle_mute(b.env());
    sync_documents(a.doc, b.doc);

    ASSERT_TRUE(eventually([&] {
        auto stamp = media::MediaTimestamp::from_millis(a.call.sequence() * 33);
        a.call.send_media(a.self, MediaKind::Camera, stamp, {1, 2, 3});
        a.call.step(a.env());
        if (wakes == 0) return false;
        b.call.media_step(b.env());
        return b.call.counters(MediaKind::Camera).received > 0;
    }));
}

}  // namespace
}  // namespace chat::test
