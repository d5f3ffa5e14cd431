// Sync message, Bloom filter and sync state codecs against bytes the reference produced.
#include <gtest/gtest.h>

#include <automerge/sync.hpp>
#include <random>

namespace automerge {
namespace {

std::vector<uint8_t> unhex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

ChangeHash hash_of(std::string_view hex) {
    return *ChangeHash::from_hex(hex);
}

// Five changes of one actor, their Bloom filter and a three-message exchange, all captured
// from the reference engine.
std::vector<ChangeHash> const golden_hashes = {
    hash_of("86e6890da744f01d2448687d347f343f353c3d79af6666905a8a5558f8b5fa52"),
    hash_of("1bd04b2bb8edc0d566a3679611142fed0699fba00daacd64c1e7e5bea2528b7c"),
    hash_of("5e78fb06c7db8821889ef6eae612d96cb17b9b99943e9bd83b800439d459aa9c"),
    hash_of("e19f193fa604bc78ab6c0b9fa93e3791537d9300bad65a27551f46b09d206f64"),
    hash_of("bb514230379f938a760bc1ac7e3b8be03f52b6d2890de4ed158406a17905814d"),
};
constexpr std::string_view golden_bloom = "050a07a6be2d9600f20d";

constexpr std::string_view golden_m1 =
    "4201bb514230379f938a760bc1ac7e3b8be03f52b6d2890de4ed158406a17905814d0001000a050a07a6be2d96"
    "00f20d00020284";
constexpr std::string_view golden_m2 =
    "4301b3dc9659f3f07f17ffd9551178f84320a64dcb1eb1ab670ce9504019bacee03301bb514230379f938a760b"
    "c1ac7e3b8be03f52b6d2890de4ed158406a17905814d010005010a074803016c856f4a8398000f0f00620104bb"
    "bbbbbb01b3dc9659f3f07f17ffd9551178f84320a64dcb1eb1ab670ce9504019bacee033060102030213022302"
    "400256020815032102230234014202560257018001027f007f017f017f057f007f077f01787f007f01017f017f"
    "14017f0000020284";
constexpr std::string_view golden_m3 =
    "4302b3dc9659f3f07f17ffd9551178f84320a64dcb1eb1ab670ce9504019bacee033bb514230379f938a760bc1"
    "ac7e3b8be03f52b6d2890de4ed158406a17905814d000101b3dc9659f3f07f17ffd9551178f84320a64dcb1eb1"
    "ab670ce9504019bacee0330a050a07a6be2d9600f20d01c101856f4a8382efa4a000b6010204aaaaaaaa04bbbb"
    "bbbb02b3dc9659f3f07f17ffd9551178f84320a64dcb1eb1ab670ce9504019bacee033bb514230379f938a760b"
    "c1ac7e3b8be03f52b6d2890de4ed158406a17905814d07010403041304230840064304560208151221042304"
    "340142025602570680010205007f0105017f7c05017f7c7fe80704017f99787f0004017f007f0003010607"
    "7a026b30026b31026b32026b33026b34017805007f0105017f7c060601061400010203040106000504020284";

TEST(BloomFilter, MatchesReferenceBytesAndFindsEveryEntry) {
    auto filter = BloomFilter::from_hashes(golden_hashes);
    EXPECT_EQ(filter.encode(), unhex(golden_bloom));
    for (auto const& h : golden_hashes) EXPECT_TRUE(filter.contains(h));
    auto decoded = BloomFilter::decode(filter.encode());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, filter);
}

TEST(BloomFilter, FalsePositivesStayNearOnePercent) {
    std::mt19937 rng(42);
    auto random_hash = [&] {
        ChangeHash h;
        for (auto& b : h.bytes) b = static_cast<uint8_t>(rng());
        return h;
    };
    std::vector<ChangeHash> members(1000);
    for (auto& h : members) h = random_hash();
    auto filter = BloomFilter::from_hashes(members);
    for (auto const& h : members) ASSERT_TRUE(filter.contains(h));
    int false_positives = 0;
    for (int i = 0; i < 10000; ++i) false_positives += filter.contains(random_hash());
    EXPECT_LT(false_positives, 300);
}

TEST(BloomFilter, EmptyOrBitlessFilterClaimsNothing) {
    EXPECT_TRUE(BloomFilter{}.encode().empty());
    EXPECT_FALSE(BloomFilter{}.contains(golden_hashes[0]));
    // One entry at zero bits per entry leaves no bits to probe.
    auto bitless = BloomFilter::decode(unhex("010007"));
    ASSERT_TRUE(bitless);
    EXPECT_FALSE(bitless->contains(golden_hashes[0]));
}

TEST(SyncMessage, ReferenceMessagesRoundTripByteForByte) {
    for (auto hex : {golden_m1, golden_m2, golden_m3}) {
        auto bytes = unhex(hex);
        auto msg = SyncMessage::decode(bytes);
        ASSERT_TRUE(msg) << msg.error().message;
        EXPECT_EQ(msg->encode(), bytes);
    }
}

TEST(SyncMessage, DecodesReferenceFields) {
    auto m1 = SyncMessage::decode(unhex(golden_m1));
    ASSERT_TRUE(m1);
    EXPECT_EQ(m1->version, SyncMessageVersion::V1);
    EXPECT_EQ(m1->heads, std::vector{golden_hashes[4]});
    EXPECT_TRUE(m1->need.empty());
    ASSERT_EQ(m1->have.size(), 1u);
    EXPECT_TRUE(m1->have[0].last_sync.empty());
    EXPECT_EQ(m1->have[0].bloom, BloomFilter::from_hashes(golden_hashes));
    EXPECT_TRUE(m1->changes.empty());
    EXPECT_EQ(m1->flags, sync_flags::supports_sync_reset);

    auto m3 = SyncMessage::decode(unhex(golden_m3));
    ASSERT_TRUE(m3);
    EXPECT_EQ(m3->version, SyncMessageVersion::V2);
    EXPECT_EQ(m3->heads.size(), 2u);
    ASSERT_EQ(m3->changes.size(), 1u);
    // A V2 message may carry a whole document chunk.
    EXPECT_EQ(m3->changes[0][8], 0x00);
}

TEST(SyncMessage, MessageWithoutFlagSectionDecodes) {
    auto bytes = unhex(golden_m1);
    bytes.resize(bytes.size() - 3);
    auto msg = SyncMessage::decode(bytes);
    ASSERT_TRUE(msg);
    EXPECT_FALSE(msg->flags);
    EXPECT_EQ(msg->encode(), bytes);
}

TEST(SyncMessage, EveryTruncationIsAnError) {
    auto bytes = unhex(golden_m2);
    size_t const without_flags = bytes.size() - 3;
    for (size_t n = 0; n < bytes.size(); ++n) {
        if (n == without_flags) continue;
        auto prefix = std::span(bytes).first(n);
        EXPECT_FALSE(SyncMessage::decode(prefix)) << "prefix of " << n << " bytes";
    }
}

struct HostileCase {
    char const* name;
    std::string_view hex;
};

class HostileSyncMessage : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileSyncMessage, IsRejected) {
    auto result = SyncMessage::decode(unhex(GetParam().hex));
    ASSERT_FALSE(result);
    EXPECT_FALSE(result.error().message.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Codec, HostileSyncMessage,
    testing::Values(HostileCase{"empty", ""}, HostileCase{"wrong_type", "44000000000000"},
                    HostileCase{"huge_head_count", "42ffffffffffffffffff01"},
                    HostileCase{"leb_past_64_bits", "42ffffffffffffffffff7f"},
                    HostileCase{"overlong_leb", "4280000000"},
                    HostileCase{"huge_have_count", "420000ffffffff0f"},
                    HostileCase{"bloom_too_short", "4200000100050a07a6be00"},
                    HostileCase{"bloom_too_many_probes", "4200000100070a0affffffff0f000000"},
                    HostileCase{"huge_change_count", "42000000ffffffff0f"},
                    HostileCase{"change_past_end", "4200000001ff0101"},
                    HostileCase{"flags_past_end", "4200000000ff"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(SyncState, EncodesSharedHeadsOnly) {
    SyncState state;
    EXPECT_EQ(state.encode(), unhex("4300"));
    state.shared_heads = {golden_hashes[1], golden_hashes[4]};
    state.last_sent_heads = golden_hashes;
    state.sent_hashes.insert(golden_hashes[0]);
    auto decoded = SyncState::decode(state.encode());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->shared_heads, state.shared_heads);
    EXPECT_TRUE(decoded->last_sent_heads.empty());
    EXPECT_TRUE(decoded->sent_hashes.empty());
    EXPECT_FALSE(decoded->their_heads);
    ASSERT_TRUE(decoded->their_have);
    EXPECT_TRUE(decoded->their_have->empty());
}

TEST(SyncState, RejectsForeignOrShortBytes) {
    EXPECT_FALSE(SyncState::decode({}));
    EXPECT_FALSE(SyncState::decode(unhex("4200")));
    EXPECT_FALSE(SyncState::decode(unhex("4301")));
    EXPECT_FALSE(SyncState::decode(unhex("43ffffffff0f")));
}

TEST(SyncState, LeavingReadOnlyResetsButKeepsCapabilities) {
    SyncState state;
    state.read_only = true;
    state.shared_heads = golden_hashes;
    state.their_capabilities = std::vector{SyncCapability::MessageV2};
    state.set_read_only(false);
    EXPECT_FALSE(state.read_only);
    EXPECT_TRUE(state.needs_reset);
    EXPECT_TRUE(state.shared_heads.empty());
    EXPECT_TRUE(state.supports_v2_messages());
}

}  // namespace
}  // namespace automerge
