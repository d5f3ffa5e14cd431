#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <vector>

#include "test_pattern.hpp"
#include "vemo_callstream/h264_decoder.hpp"
#include "vemo_callstream/h264_encoder.hpp"
#include "vemo_callstream/video_stream.hpp"

// Feeds damaged streams to the decoder and the receiver for a few seconds (VEMO_FUZZ_SECONDS,
// default 2 each): bit flips, truncation, splices, inserted and random bytes, starting from
// real packets so the damage reaches deep into the bitstream. Nothing may crash, and a clean
// key frame afterwards must decode again.

using namespace vemo_callstream;
using namespace std::chrono_literals;
using vemo_callstream::testing::moving_pattern;

namespace {

constexpr int W = 320, H = 240;

std::chrono::steady_clock::duration fuzz_budget() {
    double seconds = 2;
    if (char const* env = std::getenv("VEMO_FUZZ_SECONDS")) seconds = std::atof(env);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::max(seconds, 0.1)));
}

std::vector<uint8_t> mutate(std::vector<uint8_t> bytes,
                            std::vector<std::vector<uint8_t>> const& pool, std::mt19937& rng) {
    auto pick = [&](size_t n) { return n ? size_t(rng() % n) : size_t(0); };
    int rounds = 1 + int(rng() % 4);
    for (int r = 0; r < rounds; ++r) {
        switch (rng() % 7) {
            case 0:  // bit flips
                for (int i = 0; i < 1 + int(rng() % 8) && !bytes.empty(); ++i)
                    bytes[pick(bytes.size())] ^= uint8_t(1u << (rng() % 8));
                break;
            case 1:  // truncation
                bytes.resize(pick(bytes.size() + 1));
                break;
            case 2: {  // splice with another unit
                auto const& other = pool[pick(pool.size())];
                size_t cut = pick(bytes.size() + 1), from = pick(other.size() + 1);
                bytes.resize(cut);
                bytes.insert(bytes.end(), other.begin() + long(from), other.end());
                break;
            }
            case 3: {  // inserted random bytes
                size_t at = pick(bytes.size() + 1);
                std::vector<uint8_t> junk(1 + rng() % 64);
                for (auto& b : junk) b = uint8_t(rng());
                bytes.insert(bytes.begin() + long(at), junk.begin(), junk.end());
                break;
            }
            case 4:  // a run overwritten with one value, e.g. 0xff or 0x00
                if (!bytes.empty()) {
                    size_t at = pick(bytes.size());
                    size_t n = std::min(bytes.size() - at, size_t(1 + rng() % 32));
                    std::fill_n(bytes.begin() + long(at), n, uint8_t(rng() % 2 ? 0xff : 0x00));
                }
                break;
            case 5:  // pure garbage
                bytes.resize(rng() % 4096);
                for (auto& b : bytes) b = uint8_t(rng());
                break;
            case 6:  // a start code planted somewhere
                if (bytes.size() > 4) {
                    size_t at = pick(bytes.size() - 4);
                    bytes[at] = bytes[at + 1] = bytes[at + 2] = 0;
                    bytes[at + 3] = 1;
                }
                break;
        }
    }
    return bytes;
}

std::vector<std::vector<uint8_t>> encoded_units(int count) {
    auto encoder = encoder::H264Encoder::create(W, H, 30);
    EXPECT_TRUE(encoder.has_value());
    std::vector<std::vector<uint8_t>> units;
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 0) encoder->force_key_frame();
        auto unit = encoder->encode(moving_pattern(W, H, i));
        if (unit && !unit->empty()) units.push_back(std::move(*unit));
    }
    return units;
}

TEST(Fuzz, DecoderSurvivesDamagedAccessUnits) {
    auto units = encoded_units(40);
    ASSERT_FALSE(units.empty());
    std::mt19937 rng(1234);
    decoder::H264Decoder decoder;
    auto end = std::chrono::steady_clock::now() + fuzz_budget();
    uint64_t fed = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 50; ++i, ++fed) {
            auto const& base = units[rng() % units.size()];
            auto damaged = rng() % 4 == 0 ? base : mutate(base, units, rng);
            auto picture = decoder.decode(damaged);
            if (picture && *picture) {
                EXPECT_GT((*picture)->width, 0);
                EXPECT_EQ((*picture)->planes.size(),
                          size_t((*picture)->width) * (*picture)->height +
                              2 * size_t((*picture)->chroma_width()) * (*picture)->chroma_height());
            }
        }
    }
    EXPECT_GT(fed, 0u);
    // The first unit is a clean key frame: the decoder recovers from anything before it.
    auto picture = decoder.decode(units.front());
    ASSERT_TRUE(picture.has_value()) << picture.error().message;
    EXPECT_TRUE(picture->has_value());
}

TEST(Fuzz, ReceiverSurvivesDamagedPackets) {
    session::SenderOptions options;
    options.width = W;
    options.height = H;
    auto sender = session::VideoStreamSender::create(options);
    ASSERT_TRUE(sender.has_value());
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < 40; ++i) {
        auto p =
            sender->offer_frame(moving_pattern(W, H, i), session::Clock::time_point{} +
                                                             std::chrono::nanoseconds(1s) / 30 * i);
        if (p && *p) packets.push_back(std::move(**p));
    }
    ASSERT_FALSE(packets.empty());
    std::mt19937 rng(99);
    session::VideoStreamReceiver receiver;
    auto end = std::chrono::steady_clock::now() + fuzz_budget();
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 50; ++i) {
            std::vector<uint8_t> bytes;
            for (int n = 1 + int(rng() % 3); n > 0; --n) {
                auto const& base = packets[rng() % packets.size()];
                auto piece = rng() % 3 == 0 ? base : mutate(base, packets, rng);
                bytes.insert(bytes.end(), piece.begin(), piece.end());
            }
            for (auto const& picture : receiver.push(bytes)) {
                EXPECT_EQ(picture.width, W);
                EXPECT_EQ(picture.height, H);
            }
        }
    }
    EXPECT_GT(receiver.stats().rejected, 0u);
    EXPECT_EQ(receiver.push(packets.front()).size(), 1u) << receiver.last_error();
}

}  // namespace
