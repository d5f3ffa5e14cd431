// The sync protocol between two of our documents: convergence, quiet periods, persisted
// states, lost peers, old peers without the flag section, read-only peers and bad input.
#include <gtest/gtest.h>

#include <automerge/sync.hpp>
#include <functional>

namespace automerge {
namespace {

using Rewrite = std::function<std::vector<uint8_t>(std::vector<uint8_t>)>;

struct Peer {
    AutoCommit doc;
    SyncState state;
};

// Alternates turns until both sides are quiet twice in a row; returns the messages sent.
int sync_peers(Peer& a, Peer& b, Rewrite const& from_a = {}, Rewrite const& from_b = {}) {
    int messages = 0;
    int quiet = 0;
    bool a_turn = true;
    for (int turn = 0; turn < 60 && quiet < 2; ++turn, a_turn = !a_turn) {
        Peer& sender = a_turn ? a : b;
        Peer& receiver = a_turn ? b : a;
        auto msg = generate_sync_message(sender.doc, sender.state);
        if (!msg) {
            ++quiet;
            continue;
        }
        quiet = 0;
        ++messages;
        auto const& rewrite = a_turn ? from_a : from_b;
        auto bytes = rewrite ? rewrite(std::move(*msg)) : std::move(*msg);
        auto received = receive_sync_message(receiver.doc, receiver.state, bytes);
        EXPECT_TRUE(received) << received.error().message;
    }
    EXPECT_LT(quiet, 3);
    return messages;
}

void edit(AutoCommit& doc, std::string const& key, int changes) {
    for (int i = 0; i < changes; ++i) {
        ASSERT_TRUE(doc.put(ObjId::root(), key + std::to_string(i), int64_t{i}));
        doc.commit(std::nullopt, 100 + i);
    }
}

void expect_same(Peer& a, Peer& b) {
    EXPECT_EQ(a.doc.get_heads(), b.doc.get_heads());
    EXPECT_EQ(a.doc.keys(ObjId::root()), b.doc.keys(ObjId::root()));
}

struct Scenario {
    char const* name;
    int a_changes;
    int b_changes;
    bool shared_base;
};

class SyncBetweenPeers : public testing::TestWithParam<Scenario> {};

TEST_P(SyncBetweenPeers, Converges) {
    auto const& s = GetParam();
    Peer a, b;
    if (s.shared_base) {
        edit(a.doc, "base", 5);
        auto loaded = AutoCommit::load(a.doc.save());
        ASSERT_TRUE(loaded);
        b.doc = std::move(*loaded);
    }
    edit(a.doc, "a", s.a_changes);
    edit(b.doc, "b", s.b_changes);
    sync_peers(a, b);
    expect_same(a, b);
    // Once in step, neither side has anything more to say.
    EXPECT_FALSE(generate_sync_message(a.doc, a.state));
    EXPECT_FALSE(generate_sync_message(b.doc, b.state));
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, SyncBetweenPeers,
    testing::Values(Scenario{"both_empty", 0, 0, false}, Scenario{"full_to_empty", 20, 0, false},
                    Scenario{"empty_to_full", 0, 20, false}, Scenario{"disjoint", 7, 9, false},
                    Scenario{"diverged", 3, 4, true}, Scenario{"one_side_ahead", 0, 6, true}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(SyncProtocol, WaitsForAnAnswerBeforeSendingAgain) {
    Peer a;
    edit(a.doc, "k", 1);
    EXPECT_TRUE(generate_sync_message(a.doc, a.state));
    EXPECT_FALSE(generate_sync_message(a.doc, a.state));
}

TEST(SyncProtocol, PersistedStateSendsOnlyNewChanges) {
    Peer a, b;
    edit(a.doc, "old", 30);
    sync_peers(a, b);
    auto a_state = SyncState::decode(a.state.encode());
    auto b_state = SyncState::decode(b.state.encode());
    ASSERT_TRUE(a_state && b_state);
    a.state = std::move(*a_state);
    b.state = std::move(*b_state);
    edit(a.doc, "new", 2);
    size_t largest = 0;
    auto measure = [&](std::vector<uint8_t> bytes) {
        auto msg = SyncMessage::decode(bytes);
        EXPECT_TRUE(msg);
        size_t count = 0;
        for (auto const& chunk : msg->changes) {
            auto changes = Change::split(chunk);
            if (changes) count += changes->size();
        }
        largest = std::max(largest, count);
        return bytes;
    };
    sync_peers(a, b, measure, {});
    expect_same(a, b);
    EXPECT_EQ(largest, 2u);
}

TEST(SyncProtocol, PeerThatLostItsDataIsRefilled) {
    Peer a, b;
    edit(a.doc, "k", 10);
    sync_peers(a, b);
    // b restarts with its persisted state but without its document.
    auto kept = SyncState::decode(b.state.encode());
    ASSERT_TRUE(kept);
    b = Peer{AutoCommit(), std::move(*kept)};
    a.state = SyncState{};
    sync_peers(b, a);
    expect_same(a, b);
}

// Peers that predate the flag section get separate change chunks and still converge.
TEST(SyncProtocol, ConvergesWithPeerWithoutFlags) {
    auto strip_flags = [](std::vector<uint8_t> bytes) {
        auto msg = SyncMessage::decode(bytes);
        EXPECT_TRUE(msg);
        msg->flags.reset();
        return msg->encode();
    };
    auto expect_v1 = [](std::vector<uint8_t> bytes) {
        auto msg = SyncMessage::decode(bytes);
        EXPECT_TRUE(msg);
        EXPECT_EQ(msg->version, SyncMessageVersion::V1);
        return bytes;
    };
    Peer a, b;
    edit(a.doc, "a", 4);
    edit(b.doc, "b", 3);
    sync_peers(a, b, strip_flags, expect_v1);
    expect_same(a, b);
}

TEST(SyncProtocol, ReadOnlyPeerSendsButDoesNotApply) {
    Peer a, b;
    a.state.read_only = true;
    edit(a.doc, "a", 2);
    edit(b.doc, "b", 2);
    auto b_heads = b.doc.get_heads();
    sync_peers(a, b);
    EXPECT_EQ(a.doc.keys(ObjId::root()), (std::vector<std::string>{"a0", "a1"}));
    EXPECT_EQ(b.doc.keys(ObjId::root()).size(), 4u);
    EXPECT_TRUE(b.state.peer_read_only);
    a.state.set_read_only(false);
    sync_peers(a, b);
    expect_same(a, b);
}

TEST(SyncProtocol, BadMessageLeavesDocumentAlone) {
    Peer a, b;
    edit(a.doc, "k", 3);
    auto msg = generate_sync_message(a.doc, a.state);
    ASSERT_TRUE(msg);
    auto heads = b.doc.get_heads();
    std::vector<uint8_t> truncated(msg->begin(), msg->begin() + msg->size() / 2);
    EXPECT_FALSE(receive_sync_message(b.doc, b.state, truncated));
    EXPECT_EQ(b.doc.get_heads(), heads);
    // A change chunk with a broken checksum is refused too.
    auto decoded = SyncMessage::decode(*msg);
    ASSERT_TRUE(decoded);
    decoded->changes = {std::vector<uint8_t>{0x85, 0x6f, 0x4a, 0x83, 0, 0, 0, 0, 1, 2, 3}};
    EXPECT_FALSE(receive_sync_message(b.doc, b.state, decoded->encode()));
    EXPECT_EQ(b.doc.get_heads(), heads);
    // The exchange still completes afterwards.
    b.state = SyncState{};
    a.state = SyncState{};
    sync_peers(a, b);
    expect_same(a, b);
}

// Sending a whole document to an empty peer must not swallow changes the application has
// not written out incrementally yet.
TEST(SyncProtocol, SendingWholeDocumentKeepsIncrementalSavePoint) {
    Peer a, b;
    edit(a.doc, "saved", 3);
    a.doc.save_incremental();
    edit(a.doc, "unsaved", 2);
    sync_peers(a, b);
    expect_same(a, b);
    auto pending = a.doc.save_incremental();
    auto changes = Change::split(pending);
    ASSERT_TRUE(changes) << changes.error().message;
    EXPECT_EQ(changes->size(), 2u);
}

}  // namespace
}  // namespace automerge
