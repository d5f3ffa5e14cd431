#include <glib.h>
#include <gtest/gtest.h>

#include <thread>
#include <variant>

#include "call_test_support.hpp"
#include "media/main_loop_wakeup.hpp"
#include "media/simulated_transport.hpp"
#include "model/readers.hpp"

namespace chat::test {
namespace {

using media::MediaKind;
using media::MediaTimestamp;

std::string name_of(ChatAction const& a) {
    return std::visit(
        [](auto const& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, action::JoinCall>) return "JoinCall " + v.channel;
            if constexpr (std::is_same_v<T, action::LeaveCall>) return "LeaveCall " + v.channel;
            if constexpr (std::is_same_v<T, action::SetCallTicket>)
                return "SetCallTicket " + v.ticket;
            if constexpr (std::is_same_v<T, action::SetScreenShare>)
                return std::string("SetScreenShare ") + (v.sharing ? "on" : "off");
            if constexpr (std::is_same_v<T, action::SetCallState>)
                return std::string("SetCallState") + (v.talking ? " talking" : "") +
                       (v.muted ? " muted" : "") + (v.deafened ? " deafened" : "") +
                       (v.audio_only ? " audio_only" : "");
            return "other";
        },
        a);
}

std::vector<std::string> names(std::vector<ChatAction> const& actions) {
    std::vector<std::string> out;
    for (auto const& a : actions) out.push_back(name_of(a));
    return out;
}

struct CallFixture : ::testing::Test {
    CallFixture() {
        add_voice_channel(me.doc, "c_a");
        add_voice_channel(me.doc, "c_b");
    }
    Device me{"u_me", std::make_unique<media::SimulatedTransport>()};
};

TEST_F(CallFixture, JoiningAnotherChannelLeavesTheOldOneFirst) {
    me.call.join_call(me.env(), "c_a");
    me.issued.clear();
    me.call.join_call(me.env(), "c_b");
    EXPECT_EQ(names(me.issued),
              (std::vector<std::string>{"LeaveCall c_a", "JoinCall c_b",
                                        "SetCallTicket sim://local", "SetCallState talking"}));
    me.issued.clear();
    me.call.join_call(me.env(), "c_b");
    EXPECT_EQ(names(me.issued).front(), "JoinCall c_b");  // no LeaveCall for the same channel
    EXPECT_TRUE(model::read_voice(me.doc, "c_a").empty());
    ASSERT_EQ(model::read_voice(me.doc, "c_b").size(), 1u);
    EXPECT_EQ(model::read_voice(me.doc, "c_b")[0].ticket, "sim://local");
    auto const& kinds = me.call.transport().bookkeeping().enabled_kinds();
    EXPECT_EQ(kinds, std::vector<MediaKind>{MediaKind::Microphone});
}

TEST_F(CallFixture, JoiningWithoutPermissionDoesNothing) {
    me.permitted = false;
    me.call.join_call(me.env(), "c_a");
    EXPECT_FALSE(me.call.in_call());
    EXPECT_TRUE(me.issued.empty());
}

// Each row: the toggles pressed in order, then the call state published by the last one.
struct ToggleCase {
    std::string presses;  // m = mute, d = deafen, a = audio only
    std::string published;
};

class Toggles : public CallFixture, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(Toggles, PublishTheResultingState) {
    me.call.join_call(me.env(), "c_a");
    for (char press : GetParam().presses) {
        me.issued.clear();
        if (press == 'm') me.call.toggle_mute(me.env());
        if (press == 'd') me.call.toggle_deafen(me.env());
        if (press == 'a') me.call.toggle_audio_only(me.env());
        ASSERT_EQ(me.issued.size(), 1u);
    }
    EXPECT_EQ(name_of(me.issued.back()), GetParam().published);
    auto record = model::read_voice(me.doc, "c_a").at(0);
    EXPECT_EQ(record.talking, !record.muted);
}

INSTANTIATE_TEST_SUITE_P(
    CallState, Toggles,
    ::testing::Values(ToggleCase{"d", "SetCallState muted deafened"},
                      ToggleCase{"dm", "SetCallState talking"},  // unmuting ends deafen
                      ToggleCase{"md", "SetCallState muted deafened"},
                      ToggleCase{"mdd", "SetCallState muted"},  // undeafening keeps the mute
                      ToggleCase{"m", "SetCallState muted"},
                      ToggleCase{"mm", "SetCallState talking"},
                      ToggleCase{"a", "SetCallState talking audio_only"},
                      ToggleCase{"aa", "SetCallState talking"}));

TEST_F(CallFixture, TogglesOutsideACallPublishNothing) {
    me.call.toggle_mute(me.env());
    me.call.toggle_deafen(me.env());
    me.call.leave_call(me.env());
    EXPECT_TRUE(me.issued.empty());
}

TEST_F(CallFixture, LeavingRemovesTheRecordAndTheNextStepTearsDown) {
    me.call.join_call(me.env(), "c_a");
    EXPECT_TRUE(me.call.send_media("u_me", MediaKind::Camera, {}, {1, 2, 3}));
    me.call.step(me.env());
    EXPECT_EQ(me.call.counters(MediaKind::Camera).dropped_own, 1u);  // looped back, ours
    EXPECT_EQ(me.call.sequence(), 1u);
    me.issued.clear();
    me.call.leave_call(me.env());
    EXPECT_EQ(names(me.issued), std::vector<std::string>{"LeaveCall c_a"});
    EXPECT_TRUE(model::read_voice(me.doc, "c_a").empty());
    EXPECT_TRUE(me.call.transport().bookkeeping().enabled_kinds().empty());
    EXPECT_EQ(me.call.cues().last, audio::Cue::Leave);
    me.call.step(me.env());
    EXPECT_EQ(me.call.sequence(), 0u);
}

TEST_F(CallFixture, PendingLeaveIsCarriedOutByTheNextStepWithoutACue) {
    me.call.join_call(me.env(), "c_a");
    me.call.request_leave();
    EXPECT_TRUE(me.call.in_call());
    me.issued.clear();
    me.call.step(me.env());
    EXPECT_FALSE(me.call.in_call());
    EXPECT_EQ(names(me.issued), std::vector<std::string>{"LeaveCall c_a"});
    EXPECT_EQ(me.call.cues().last, audio::Cue::Join);
    EXPECT_TRUE(me.call.transport().bookkeeping().enabled_kinds().empty());
}

// Resuming after a restart: the endpoint is new, so the record must name its ticket, and a
// record that is gone is written again; a record that is current is left alone.
TEST_F(CallFixture, ResumingBringsTheParticipantRecordUpToDate) {
    struct Case {
        char const* name;
        std::optional<std::string> recorded_ticket;
        std::vector<std::string> issued;
    };
    Case const cases[] = {
        {"current record", "sim://local", {}},
        {"ticket of an earlier run",
         "old-ticket",
         {"SetCallTicket sim://local", "SetCallState muted"}},
        {"no record",
         std::nullopt,
         {"JoinCall c_a", "SetCallTicket sim://local", "SetCallState muted"}},
    };
    for (auto const& c : cases) {
        Device device{"u_me", std::make_unique<media::SimulatedTransport>()};
        add_voice_channel(device.doc, "c_a");
        if (c.recorded_ticket) {
            dispatch_action(device.actions, device.doc, action::JoinCall{"c_a", "u_me"});
            dispatch_action(device.actions, device.doc,
                            action::SetCallTicket{"c_a", "u_me", *c.recorded_ticket});
        }
        device.call.resume(device.env(), "c_a", true, false);
        EXPECT_EQ(names(device.issued), c.issued) << c.name;
        EXPECT_TRUE(device.call.in_call()) << c.name;
        auto records = model::read_voice(device.doc, "c_a");
        ASSERT_EQ(records.size(), 1u) << c.name;
        EXPECT_EQ(records[0].ticket, "sim://local") << c.name;
    }
}

TEST_F(CallFixture, OversizedFrameStopsItsSourceWithANotice) {
    me.call.join_call(me.env(), "c_a");
    std::vector<std::uint8_t> huge(media::max_payload_bytes + 1);
    EXPECT_FALSE(me.call.send_media("u_me", MediaKind::ScreenShare, {}, huge));
    EXPECT_EQ(me.call.notice(),
              "Screen sharing stopped: encoded frame (2097153 bytes) exceeds Chat's 2097152 byte "
              "media limit");
    EXPECT_EQ(me.call.sequence(), 0u);
    EXPECT_TRUE(me.call.screen_share_changed());
    me.issued.clear();
    me.call.step(me.env());
    EXPECT_EQ(names(me.issued), std::vector<std::string>{"SetScreenShare off"});
    EXPECT_TRUE(me.call.send_media("u_me", MediaKind::ScreenShare, {},
                                   std::vector<std::uint8_t>(media::max_payload_bytes)));
}

// --- Presence -----------------------------------------------------------------------------

TEST_F(CallFixture, PresenceIsRefreshedEveryFifteenSecondsAndExpiresAfterAMinute) {
    std::int64_t t0 = 1'700'000'000;
    me.call.join_call(me.env(100.0, t0), "c_a");
    auto last_seen = [&] {
        auto voice = *doc::get_map(me.doc, doc::ObjId::root(), doc::voice_key);
        auto record = *doc::get_map(me.doc, *doc::get_map(me.doc, voice, "c_a"), "u_me");
        return doc::get_int(me.doc, record, doc::last_seen_key);
    };
    EXPECT_EQ(last_seen(), t0);
    me.call.step(me.env(101.0, t0 + 14));
    EXPECT_EQ(last_seen(), t0);
    me.call.step(me.env(102.0, t0 + 15));
    EXPECT_EQ(last_seen(), t0 + 15);

    EXPECT_EQ(model::read_voice(me.doc, "c_a", t0 + 75).size(), 1u);
    EXPECT_TRUE(model::read_voice(me.doc, "c_a", t0 + 76).empty());
    // Without a time the raw records are read, stale or not.
    EXPECT_EQ(model::read_voice(me.doc, "c_a").size(), 1u);
}

TEST_F(CallFixture, StaleParticipantsAreNotDialled) {
    auto peer = Identity::make();
    auto transport = std::make_unique<ScriptedTransport>("me-ticket");
    auto* scripted = transport.get();
    me.call.set_transport(std::move(transport));
    std::int64_t t0 = 1'700'000'000;
    doc::join_call(me.doc, "c_a", "u_gone");
    doc::set_ticket(me.doc, "c_a", "u_gone", peer.ticket);
    doc::touch_voice_presence(me.doc, "c_a", "u_gone", t0 - 61);
    doc::join_call(me.doc, "c_a", "u_old");  // written before last-seen existed: kept
    doc::set_ticket(me.doc, "c_a", "u_old", peer.ticket);
    me.call.join_call(me.env(100.0, t0), "c_a");
    EXPECT_EQ(me.call.connected_peers(), std::vector<std::string>{"u_old"});
    EXPECT_EQ(scripted->connects.size(), 1u);
}

TEST_F(CallFixture, LeftoverRecordsOfThisDeviceAreClearedAtStart) {
    doc::join_call(me.doc, "c_a", "u_me");
    doc::join_call(me.doc, "c_b", "u_me");
    doc::join_call(me.doc, "c_b", "u_other");
    me.call.clear_leftover_records(me.env());
    EXPECT_TRUE(model::read_voice(me.doc, "c_a").empty());
    ASSERT_EQ(model::read_voice(me.doc, "c_b").size(), 1u);
    EXPECT_EQ(model::read_voice(me.doc, "c_b")[0].person, "u_other");
}

// --- Receiving ----------------------------------------------------------------------------

struct ReceiveFixture : CallFixture {
    ReceiveFixture() {
        auto transport = std::make_unique<ScriptedTransport>("me-ticket");
        scripted = transport.get();
        me.call.set_transport(std::move(transport));
        doc::join_call(me.doc, "c_a", "u_peer");
        doc::set_ticket(me.doc, "c_a", "u_peer", peer.ticket);
        doc::join_call(me.doc, "c_a", "u_noticket");
        me.call.join_call(me.env(), "c_a");
    }
    void deliver(std::string sender, std::uint64_t sequence, std::uint64_t millis,
                 std::string remote) {
        media::MediaFrame f{std::move(sender),
                            {7},
                            MediaTimestamp::from_millis(millis),
                            sequence,
                            MediaKind::Camera,
                            std::move(remote)};
        scripted->incoming.push_back(std::move(f));
    }
    call::KindCounters const& camera() { return me.call.counters(MediaKind::Camera); }
    Identity peer = Identity::make();
    Identity stranger = Identity::make();
    ScriptedTransport* scripted = nullptr;
};

TEST_F(ReceiveFixture, SequenceCheckDropsRepeatsAndOlderFrames) {
    struct Step {
        std::uint64_t sequence, millis;
        bool accepted;
    };
    for (auto s : {Step{10, 200, true}, Step{10, 200, false}, Step{9, 180, false},
                   Step{11, 220, true}, Step{0, 5, false}, Step{0, 0, true}, Step{1, 20, true}}) {
        auto before = camera().received;
        deliver("u_peer", s.sequence, s.millis, peer.key);
        me.call.step(me.env());
        EXPECT_EQ(camera().received - before, s.accepted ? 1u : 0u) << s.sequence;
    }
    EXPECT_EQ(camera().dropped_sequence, 3u);
}

TEST_F(ReceiveFixture, FramesCountOnlyFromTheEndpointOfTheSendersTicket) {
    deliver("u_peer", 5, 100, stranger.key);  // someone else speaking for u_peer
    deliver("u_noticket", 1, 20, peer.key);   // a participant without a ticket
    deliver("u_nobody", 1, 20, peer.key);     // not in the call
    deliver("u_peer", 6, 120, "");            // no authenticated connection
    deliver("u_me", 1, 20, peer.key);         // our own
    deliver("u_peer", 1, 20, peer.key);       // the real one
    me.call.step(me.env());
    EXPECT_EQ(camera().dropped_unauthenticated, 4u);
    EXPECT_EQ(camera().dropped_own, 1u);
    EXPECT_EQ(camera().received, 1u);
    // A forged high sequence did not advance the real sender's history.
    deliver("u_peer", 2, 40, peer.key);
    me.call.step(me.env());
    EXPECT_EQ(camera().received, 2u);
}

// Received audio is placed right after the packet before, never in the past, never so far ahead
// that a burst becomes a delay for the rest of the call, and a lead that jitter no longer needs
// is given back.
TEST(PlaybackSchedule, PlacesPacketsCloseBehindTheClock) {
    struct Push {
        std::optional<std::uint64_t> now;  // ms
        std::optional<std::uint64_t> placed;
        std::uint64_t length = 20;
    };
    struct Case {
        char const* name;
        std::vector<Push> pushes;
    };
    using std::nullopt;
    // 10 ms packets `first` up to `end` arriving on time (at 10 ms × their number), each placed
    // `lead` ms later.
    auto steady = [](std::uint64_t first, std::uint64_t end, std::uint64_t lead) {
        std::vector<Push> out;
        for (auto i = first; i < end; ++i) out.push_back({10 * i, 10 * i + lead, 10});
        return out;
    };
    // The first packets, on time; then packet 1 arrives `late` ms late with packet 2 right
    // behind it, which leaves the timeline `late` ms ahead of the steady packets from 3 on.
    auto after_hiccup = [&](std::uint64_t late, std::vector<std::vector<Push>> const& rest) {
        std::vector<Push> out{{0, 0, 10}, {10 + late, 10 + late, 10}, {10 + late, 20 + late, 10}};
        for (auto const& part : rest) out.insert(out.end(), part.begin(), part.end());
        return out;
    };
    Case const cases[] = {
        {"before the pipeline has a clock, packets follow each other",
         {{nullopt, 0}, {nullopt, 20}}},
        {"in step with the clock", {{0, 0}, {20, 20}, {40, 40}}},
        {"each packet lasts as long as it holds", {{0, 0, 10}, {5, 10, 20}, {25, 30, 10}}},
        {"after a pause, from now rather than the past", {{0, 0}, {500, 500}, {520, 520}}},
        {"a burst is queued up to two packets ahead", {{100, 100}, {100, 120}, {100, 140}}},
        {"beyond that it is dropped until the clock catches up",
         {{100, 100}, {100, 120}, {100, 140}, {100, nullopt}, {100, nullopt}, {120, 160}}},
        {"a backlog from before the clock started is cut",
         {{nullopt, 0},
          {nullopt, 20},
          {nullopt, 40},
          {nullopt, 60},
          {0, nullopt},
          {20, nullopt},
          {40, 80}}},
        // Reviews cover 50 packets of 10 ms: the first (packets 0-49) saw leads of 0, the second
        // (50-99) only 15 ms, so packet 100 goes and the lead is 5 ms from then on.
        {"a lead held for a whole review is cut by a packet",
         after_hiccup(15, {steady(3, 100, 15), {{1000, nullopt, 10}}, steady(101, 104, 5)})},
        {"a lead that jitter needs stays",
         after_hiccup(15, {steady(3, 70, 15), {{705, 715, 10}}, steady(71, 104, 15)})},
        {"a lead under a packet plus the spare stays", after_hiccup(11, {steady(3, 104, 11)})},
    };
    for (auto const& c : cases) {
        audio::PlaybackSchedule schedule;
        for (size_t i = 0; i < c.pushes.size(); ++i) {
            auto const& push = c.pushes[i];
            auto now = push.now ? std::optional(*push.now * 1000) : nullopt;
            auto placed = schedule.place(now, push.length * 1000);
            EXPECT_EQ(placed, push.placed ? std::optional(*push.placed * 1000) : nullopt)
                << c.name << ", packet " << i;
        }
    }
}

// The length of an Opus packet from its first bytes: 8 frame lengths by mode, 4 packings.
TEST(OpusPacket, DurationComesFromTheTableOfContents) {
    struct Case {
        std::vector<std::uint8_t> packet;
        std::optional<std::uint64_t> us;
    };
    auto toc = [](unsigned config, unsigned code) { return std::uint8_t(config << 3 | code); };
    Case const cases[] = {
        {{toc(31, 0), 1}, 20'000},          // music, 20 ms: what the default encoder makes
        {{toc(30, 0), 1}, 10'000},          // music, 10 ms: ours
        {{toc(16, 0)}, 2'500},              // music, 2.5 ms
        {{toc(3, 0)}, 60'000},              // speech, 60 ms
        {{toc(1, 0)}, 20'000},              // speech, 20 ms
        {{toc(12, 0)}, 10'000},             // hybrid, 10 ms
        {{toc(15, 0)}, 20'000},             // hybrid, 20 ms
        {{toc(31, 1), 0, 0}, 40'000},       // two equal frames
        {{toc(30, 2), 1, 0, 0}, 20'000},    // two frames of different sizes
        {{toc(31, 3), 3}, 60'000},          // three frames, counted
        {{toc(31, 3), 0x80 | 6}, 120'000},  // six, with padding flagged
        {{toc(3, 3), 3}, std::nullopt},     // 180 ms is more than a packet may hold
        {{toc(31, 3), 0}, std::nullopt},    // no frames
        {{toc(31, 3)}, std::nullopt},       // the count is missing
        {{}, std::nullopt},
    };
    for (auto const& c : cases)
        EXPECT_EQ(audio::opus_packet_duration_us(c.packet), c.us)
            << "first byte " << (c.packet.empty() ? -1 : int(c.packet[0]));
}

// Wakes from any number of threads run the work once on the loop's thread; none are lost, and
// a waker outliving its wakeup does nothing.
TEST(MainLoopWakeup, RunsOnceOnTheLoopForEveryBatchOfWakes) {
    int runs = 0;
    std::function<void()> late_waker;
    {
        media::MainLoopWakeup wakeup([&] { ++runs; });
        auto wake = wakeup.waker();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 100; ++i) wake();
            });
        for (auto& t : threads) t.join();
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        EXPECT_EQ(runs, 1);
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        EXPECT_EQ(runs, 1) << "no wake, no run";
        std::thread([&] { wake(); }).join();
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        EXPECT_EQ(runs, 2);
        late_waker = wakeup.waker();
        wake();
    }
    late_waker();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(runs, 2) << "a wake pending when the wakeup went, and one after, run nothing";
}

// Between steps, media_step moves what is there and starts nothing.
TEST_F(ReceiveFixture, MediaStepTakesFramesButStartsNoMicrophone) {
    deliver("u_peer", 1, 20, peer.key);
    me.call.media_step(me.env());
    EXPECT_EQ(camera().received, 1u);
    EXPECT_FALSE(me.call.capturing());

    // Resumed, nobody has been read yet: frames wait for the step instead of being refused.
    me.call.request_leave();
    me.call.step(me.env());
    me.call.resume(me.env(), "c_a", true, false);
    deliver("u_peer", 2, 40, peer.key);
    me.call.media_step(me.env());
    EXPECT_EQ(camera().received, 1u);
    EXPECT_EQ(camera().dropped_unauthenticated, 0u);
    me.call.step(me.env());
    EXPECT_EQ(camera().received, 2u);
}

}  // namespace
}  // namespace chat::test
