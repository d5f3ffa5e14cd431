#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "test_pattern.hpp"
#include "vemo_callstream/video_stream.hpp"

using namespace vemo_callstream;
using namespace vemo_callstream::session;
using namespace std::chrono_literals;
using vemo_callstream::testing::luma_psnr;
using vemo_callstream::testing::moving_pattern;
using vemo_callstream::testing::noise_frame;

namespace {

constexpr int W = 640, H = 480;
Clock::time_point const t0{};

constexpr Clock::duration per_second(int n) {
    return std::chrono::nanoseconds(1s) / n;
}

VideoStreamSender make_sender(SenderOptions options = {}) {
    if (options.width == 1280) options.width = W, options.height = H;
    auto sender = VideoStreamSender::create(options);
    EXPECT_TRUE(sender.has_value());
    return std::move(*sender);
}

struct Offered {
    Clock::duration at;
    std::vector<uint8_t> packet;
    int frame;
};

// Offers `count` frames `period` apart; frame i shows pattern position `still ? 0 : i`.
std::vector<Offered> run(VideoStreamSender& sender, int count, Clock::duration period, bool still,
                         int first = 0) {
    std::vector<Offered> out;
    auto same = moving_pattern(W, H, 0);
    for (int i = first; i < first + count; ++i) {
        auto rgba = still ? same : moving_pattern(W, H, i);
        auto result = sender.offer_frame(rgba, t0 + period * i);
        EXPECT_TRUE(result.has_value()) << result.error().display_text();
        if (result && *result) out.push_back({period * i, std::move(**result), i});
    }
    return out;
}

PacketHeader header_of(std::vector<uint8_t> const& packet) {
    auto h = PacketHeader::parse(packet);
    EXPECT_TRUE(h.has_value());
    return h.value_or(PacketHeader{});
}

TEST(PacketHeader, RoundTripsAndRejectsWhatItCannotRead) {
    PacketHeader h{
        .key_frame = true, .number = 0xfffffffe, .width = 1280, .height = 960, .length = 77};
    std::vector<uint8_t> bytes;
    h.write_to(bytes);
    ASSERT_EQ(bytes.size(), PacketHeader::size);
    auto back = PacketHeader::parse(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(back->key_frame);
    EXPECT_EQ(back->number, 0xfffffffeu);
    EXPECT_EQ(back->width, 1280);
    EXPECT_EQ(back->height, 960);
    EXPECT_EQ(back->length, 77u);

    struct Bad {
        size_t offset;
        uint8_t value;
    };
    for (Bad bad : {Bad{0, 2}, Bad{0, 0}, Bad{6, 0x20}, Bad{7, 0}, Bad{13, 0}}) {
        auto broken = bytes;
        if (bad.offset == 7) broken[6] = 0;                              // width 0
        if (bad.offset == 13) broken[10] = broken[11] = broken[12] = 0;  // no access unit
        broken[bad.offset] = bad.value;
        EXPECT_FALSE(PacketHeader::parse(broken).has_value()) << "offset " << bad.offset;
    }
    EXPECT_FALSE(PacketHeader::parse(std::span(bytes).first(PacketHeader::size - 1)));
}

TEST(VideoStreamSender, PacesAMovingScreenToTheFrameRate) {
    auto sender = make_sender();
    // A 60 Hz capture of a moving picture: every other frame is due.
    auto sent = run(sender, 120, per_second(60), false);
    EXPECT_GE(sent.size(), 50u);
    EXPECT_LE(sent.size(), 61u);
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_GE(sent[i].at - sent[i - 1].at, 25ms);
    // Numbers count the packets, so a receiver can see a gap.
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(header_of(sent[i].packet).number, i);
}

TEST(VideoStreamSender, AStillScreenSendsOneKeyFrameRefreshPerSecond) {
    auto sender = make_sender();
    auto sent = run(sender, 3 * 30 + 1, per_second(30), true);
    ASSERT_EQ(sent.size(), 4u);  // the first picture, then a refresh at 1 s, 2 s and 3 s
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].frame, 30 * int(i));
        EXPECT_TRUE(header_of(sent[i].packet).key_frame);
    }
}

TEST(VideoStreamSender, AMovingScreenCarriesAKeyFrameAtLeastEveryTwoSeconds) {
    auto sender = make_sender();
    auto sent = run(sender, 5 * 30, per_second(30), false);
    std::optional<Clock::duration> last_key;
    for (auto const& s : sent) {
        if (!header_of(s.packet).key_frame) continue;
        if (last_key) {
            EXPECT_LE(s.at - *last_key, 2s + 40ms);
        }
        last_key = s.at;
    }
    ASSERT_TRUE(last_key.has_value());
    EXPECT_GE(*last_key, 4s);
}

// Someone new watching: the next due packet is a key frame, for a still screen too, which
// otherwise would wait for its refresh.
TEST(VideoStreamSender, AKeyFrameRequestIsAnsweredWithinAFramePeriod) {
    for (bool still : {true, false}) {
        auto sender = make_sender();
        run(sender, 10, per_second(30), still);
        sender.request_key_frame();
        auto sent = run(sender, 3, per_second(30), still, 10);
        ASSERT_FALSE(sent.empty()) << "still " << still;
        EXPECT_EQ(sent[0].frame, 10) << "still " << still;
        EXPECT_TRUE(header_of(sent[0].packet).key_frame) << "still " << still;
        // Answered once: a still screen goes quiet again until its refresh.
        if (still) {
            EXPECT_EQ(sent.size(), 1u);
        }
    }
}

TEST(VideoStreamSender, AFrameOfTheWrongSizeIsAFrameError) {
    auto sender = make_sender();
    auto result = sender.offer_frame(moving_pattern(W, H - 2, 0), t0);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, FrameError::Kind::WrongSize);
    EXPECT_NE(result.error().display_text().find("wrong size"), std::string::npos);
}

// Noise is the worst case for any encoder. With a tight limit the sender must re-encode more
// coarsely rather than hand out a packet over it, and say so when it cannot.
TEST(VideoStreamSender, NeverEmitsAPacketOverTheLimit) {
    for (size_t limit : {size_t(40'000), size_t(160'000), max_packet_bytes}) {
        SenderOptions options;
        options.max_packet_bytes = limit;
        auto sender = make_sender(options);
        int packets = 0;
        for (int i = 0; i < 6; ++i) {
            auto result = sender.offer_frame(noise_frame(W, H, i), t0 + 100ms * i);
            if (!result) {
                EXPECT_EQ(result.error().kind, FrameError::Kind::TooLarge);
                continue;
            }
            if (!*result) continue;
            ++packets;
            EXPECT_LE((*result)->size(), limit);
        }
        EXPECT_GT(packets, 0) << "limit " << limit;
    }
}

// One picture that had to be squeezed must not cost the rest of the share its quality.
TEST(VideoStreamSender, NormalQualityReturnsAfterAPictureHadToBeSqueezed) {
    SenderOptions options;
    options.max_packet_bytes = 40'000;
    auto sender = make_sender(options);
    auto noise = sender.offer_frame(noise_frame(W, H, 1), t0);
    ASSERT_TRUE(noise.has_value() && *noise);
    // A still screen afterwards: a key-frame refresh of the same picture every second.
    std::vector<size_t> refresh_sizes;
    auto still = moving_pattern(W, H, 3);
    for (int i = 1; i <= 13 * 30; ++i) {
        auto packet = sender.offer_frame(still, t0 + per_second(30) * i);
        ASSERT_TRUE(packet.has_value());
        if (*packet) refresh_sizes.push_back((*packet)->size());
    }
    ASSERT_GE(refresh_sizes.size(), 12u);
    // The same picture, coded coarsely until the hold ran out, then at the normal quality.
    EXPECT_GT(refresh_sizes.back(), refresh_sizes[1] * 3 / 2);
    EXPECT_GT(refresh_sizes.back(), refresh_sizes[8] * 3 / 2);
}

TEST(VideoStreamReceiver, TenPacketsInOnePushGiveTenPicturesOldestFirst) {
    auto sender = make_sender();
    auto sent = run(sender, 10, per_second(30), false);
    ASSERT_EQ(sent.size(), 10u);
    std::vector<uint8_t> joined;
    for (auto const& s : sent) joined.insert(joined.end(), s.packet.begin(), s.packet.end());

    VideoStreamReceiver receiver;
    auto pictures = receiver.push(joined);
    ASSERT_EQ(pictures.size(), 10u);
    for (size_t i = 0; i < pictures.size(); ++i) {
        auto source = rgba_to_i420(moving_pattern(W, H, sent[i].frame), W, H);
        EXPECT_GT(luma_psnr(pictures[i], *source), 35) << "picture " << i;
    }
    // The last is the tenth frame, not a neighbour.
    auto ninth = rgba_to_i420(moving_pattern(W, H, sent[8].frame), W, H);
    EXPECT_LT(luma_psnr(pictures.back(), *ninth), luma_psnr(pictures[8], *ninth));
}

TEST(VideoStreamReceiver, DropsBrokenPacketsAndWaitsForAKeyFrameAfterAGap) {
    auto sender = make_sender();
    auto sent = run(sender, 70, per_second(30), false);  // a key frame at 0 and after 2 s
    ASSERT_GE(sent.size(), 62u);
    ASSERT_TRUE(header_of(sent[0].packet).key_frame);
    VideoStreamReceiver receiver;
    ASSERT_EQ(receiver.push(sent[0].packet).size(), 1u);

    auto truncated = sent[1].packet;
    truncated.pop_back();
    EXPECT_TRUE(receiver.push(truncated).empty());
    auto other_version = sent[1].packet;
    other_version[0] = 9;
    EXPECT_TRUE(receiver.push(other_version).empty());
    EXPECT_EQ(receiver.stats().rejected, 2u);

    // Packet 1 never arrived whole: packets 2.. are useless until the next key frame.
    size_t next_key = 2;
    while (!header_of(sent[next_key].packet).key_frame) {
        EXPECT_TRUE(receiver.push(sent[next_key].packet).empty()) << next_key;
        ++next_key;
    }
    EXPECT_GT(receiver.stats().skipped, 0u);
    EXPECT_EQ(receiver.push(sent[next_key].packet).size(), 1u);
    EXPECT_EQ(receiver.push(sent[next_key + 1].packet).size(), 1u);
}

// Someone who joins late starts with whatever packet comes next and must see the screen
// within two seconds while it moves and within one while it stands still.
TEST(VideoStreamReceiver, ALateReceiverShowsAPictureInTime) {
    struct Case {
        bool still;
        Clock::duration bound;
    };
    for (Case c : {Case{false, 2s}, Case{true, 1s}}) {
        auto sender = make_sender();
        auto sent = run(sender, 4 * 30, per_second(30), c.still);
        for (auto join : {100ms, 1100ms, 1900ms}) {
            VideoStreamReceiver late;
            std::optional<Clock::duration> shown;
            for (auto const& s : sent)
                if (s.at >= join && !shown && !late.push(s.packet).empty()) shown = s.at;
            ASSERT_TRUE(shown.has_value());
            EXPECT_LE(*shown - join, c.bound) << "still " << c.still;
        }
    }
}

}  // namespace
