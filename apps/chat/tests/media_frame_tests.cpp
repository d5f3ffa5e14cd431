#include <gtest/gtest.h>

#include <random>

#include "media/call_transport.hpp"
#include "media/media_frame.hpp"

namespace {

using namespace chat::media;

MediaFrame make_frame(std::size_t sender_bytes, std::size_t payload_bytes,
                      MediaKind kind = MediaKind::Camera) {
    MediaFrame frame;
    frame.sender = std::string(sender_bytes, 'u');
    frame.payload.resize(payload_bytes);
    for (std::size_t i = 0; i < payload_bytes; ++i)
        frame.payload[i] = static_cast<std::uint8_t>(i * 31);
    frame.timestamp = MediaTimestamp{12, 345'678'901};
    frame.sequence = 0x0102030405060708ULL;
    frame.kind = kind;
    return frame;
}

struct SizeCase {
    std::size_t sender;
    std::size_t payload;
    bool valid;
};

class FrameSizes : public testing::TestWithParam<SizeCase> {};

TEST_P(FrameSizes, EncodeAndDecodeAgreeOnTheLimits) {
    auto [sender, payload, valid] = GetParam();
    auto frame = make_frame(sender, payload);
    auto bytes = encode_frame(frame);
    ASSERT_EQ(bytes.has_value(), valid);
    if (valid) {
        ASSERT_EQ(bytes->size(), 23 + sender + payload);
        auto back = decode_frame(*bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->sender, frame.sender);
        EXPECT_EQ(back->payload, frame.payload);
        EXPECT_EQ(back->sequence, frame.sequence);
        EXPECT_EQ(back->kind, frame.kind);
        // Carried in whole milliseconds.
        EXPECT_EQ(back->timestamp, (MediaTimestamp{12, 345'000'000}));
        return;
    }
    // Hand-build the bytes the encoder refused: the decoder must refuse them as well.
    std::vector<std::uint8_t> raw{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    raw.push_back(static_cast<std::uint8_t>(sender));
    raw.push_back(static_cast<std::uint8_t>(sender >> 8));
    raw.insert(raw.end(), sender, 'u');
    for (int i = 0; i < 4; ++i) raw.push_back(static_cast<std::uint8_t>(payload >> (8 * i)));
    raw.resize(raw.size() + payload);
    EXPECT_FALSE(decode_frame(raw));
}

INSTANTIATE_TEST_SUITE_P(Limits, FrameSizes,
                         testing::Values(SizeCase{256, 2'097'152, true}, SizeCase{1, 0, true},
                                         SizeCase{257, 10, false}, SizeCase{0, 10, false},
                                         SizeCase{5, 2'097'153, false}));

TEST(MediaFrame, LargestFrameIsExactlyTheStreamLimit) {
    auto bytes = encode_frame(make_frame(256, 2'097'152));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->size(), 2'097'431u);
    EXPECT_EQ(bytes->size(), max_encoded_frame_bytes);
}

TEST(MediaFrame, ByteLayoutIsLittleEndianInFieldOrder) {
    MediaFrame frame;
    frame.sender = "ab";
    frame.payload = {0xEE};
    frame.timestamp = MediaTimestamp{1, 2'000'000};  // 1002 ms
    frame.sequence = 0x0807060504030201ULL;
    frame.kind = MediaKind::ScreenShare;
    std::vector<std::uint8_t> expected{2, 1, 2, 3, 4, 5, 6,   7,   8, 0xEA, 0x03, 0, 0,
                                       0, 0, 0, 0, 2, 0, 'a', 'b', 1, 0,    0,    0, 0xEE};
    EXPECT_EQ(encode_frame(frame), expected);
}

struct BadBytes {
    char const* name;
    std::function<void(std::vector<std::uint8_t>&)> mutate;
};

class UndecodableBytes : public testing::TestWithParam<BadBytes> {};

TEST_P(UndecodableBytes, YieldNoFrame) {
    auto bytes = *encode_frame(make_frame(3, 5));
    GetParam().mutate(bytes);
    EXPECT_FALSE(decode_frame(bytes)) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UndecodableBytes,
    testing::Values(BadBytes{"trailing byte", [](auto& b) { b.push_back(0); }},
                    BadBytes{"missing byte", [](auto& b) { b.pop_back(); }},
                    BadBytes{"kind 3", [](auto& b) { b[0] = 3; }},
                    BadBytes{"kind 255", [](auto& b) { b[0] = 255; }},
                    BadBytes{"shorter than a header", [](auto& b) { b.resize(18); }},
                    BadBytes{"sender runs past the end", [](auto& b) { b[17] = 200; }},
                    BadBytes{"empty sender", [](auto& b) { b[17] = 0; }},
                    BadBytes{"sender not UTF-8", [](auto& b) { b[19] = 0xC0; }},
                    BadBytes{"surrogate in sender",
                             [](auto& b) { b[19] = 0xED, b[20] = 0xA0, b[21] = 0x80; }},
                    BadBytes{"payload length too big", [](auto& b) { b[25] = 0xFF; }},
                    BadBytes{"no room for payload length", [](auto& b) { b.resize(24); }}),
    [](auto const& info) {
        std::string name = info.param.name;
        for (auto& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

TEST(MediaFrame, TimestampMustFitInSixtyFourBitsOfMilliseconds) {
    auto frame = make_frame(1, 1);
    frame.timestamp = MediaTimestamp{UINT64_MAX / 1000, 615'000'000};  // exactly the largest value
    ASSERT_EQ(frame.timestamp.millis(), UINT64_MAX / 1000 * 1000 + 615);
    EXPECT_TRUE(encode_frame(frame));
    frame.timestamp = MediaTimestamp{UINT64_MAX / 1000, 616'000'000};
    EXPECT_FALSE(encode_frame(frame));
    frame.timestamp = MediaTimestamp{UINT64_MAX / 1000 + 1, 0};
    EXPECT_FALSE(encode_frame(frame));
}

TEST(MediaFrame, StreamPrefixIsFourLittleEndianBytes) {
    auto prefix = length_prefix(2'097'431);
    EXPECT_EQ(prefix, (std::array<std::uint8_t, 4>{0x17, 0x01, 0x20, 0x00}));
    EXPECT_EQ(read_length_prefix(prefix), 2'097'431u);
    EXPECT_EQ(frame_too_large_message(2'097'432), "media frame too large: 2097432");
}

TEST(MediaFrame, DisplayNames) {
    EXPECT_EQ(display_name(MediaKind::Microphone), "Microphone");
    EXPECT_EQ(display_name(MediaKind::Camera), "Camera");
    EXPECT_EQ(display_name(MediaKind::ScreenShare), "Screen sharing");
}

// Mutated encodings must either be refused or decode to something that encodes back to
// the very same bytes: no crash, no silent reinterpretation.
TEST(MediaFrameFuzz, MutatedFramesRoundTripOrAreRefused) {
    std::mt19937 rng(1234);
    std::vector<std::vector<std::uint8_t>> seeds;
    for (auto [s, p] : {std::pair{1, 0}, {3, 17}, {256, 40}, {12, 300}})
        seeds.push_back(*encode_frame(make_frame(s, p, MediaKind::Microphone)));
    int decoded = 0;
    for (int round = 0; round < 20'000; ++round) {
        auto bytes = seeds[round % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 4) {
                case 0:
                    bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
                    break;
                case 1:
                    bytes.resize(rng() % (bytes.size() + 1));
                    break;
                case 2:
                    bytes.insert(bytes.begin() + static_cast<long>(rng() % (bytes.size() + 1)),
                                 static_cast<std::uint8_t>(rng()));
                    break;
                case 3:
                    if (!bytes.empty()) bytes[rng() % bytes.size()] ^= 1u << (rng() % 8);
                    break;
            }
            if (bytes.empty()) bytes.push_back(0);
        }
        auto frame = decode_frame(bytes);
        if (!frame) continue;
        ++decoded;
        auto again = encode_frame(*frame);
        ASSERT_TRUE(again);
        // Sub-millisecond parts cannot exist after decoding, so the round trip is exact.
        ASSERT_EQ(*again, bytes);
    }
    EXPECT_GT(decoded, 0);
}

TEST(MediaFrameFuzz, MutatedTicketsNeverCrashAndParsedOnesNameAKey) {
    std::mt19937 rng(99);
    std::string seed =
        R"({"id":"3b6a27bcceb6a42d62a3a8d02a6f0d73653215771de243a63ac048a18b59da29",)"
        R"("addrs":[{"Ip":"127.0.0.1:41000"},{"Ip":"[::1]:41001"}]})";
    static constexpr char alphabet[] = "{}[]\":,0123456789abcdef.:IpRelay \\u";
    for (int round = 0; round < 5'000; ++round) {
        std::string text = seed;
        int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits; ++e) {
            auto pos = rng() % (text.size() + 1);
            switch (rng() % 3) {
                case 0:
                    if (pos < text.size()) text[pos] = alphabet[rng() % (sizeof alphabet - 1)];
                    break;
                case 1:
                    if (pos < text.size()) text.erase(pos, 1 + rng() % 8);
                    break;
                case 2:
                    text.insert(pos, 1, alphabet[rng() % (sizeof alphabet - 1)]);
                    break;
            }
        }
        auto id = ticket_endpoint_id(text);
        if (id) {
            ASSERT_EQ(id->size(), 64u);
        }
    }
}

}  // namespace
