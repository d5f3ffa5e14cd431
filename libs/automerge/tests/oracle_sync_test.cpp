// Our sync protocol against the reference's, in both directions, from empty and diverged
// states, and across a persisted sync state.
#include "oracle_harness.hpp"

namespace automerge::oracle {
namespace {

enum class Start { OursHasDocument, ReferenceHasDocument, Diverged };
enum class Opener { Ours, Reference };

struct SyncCase {
    Start start;
    Opener opener;
    uint32_t seed;
};

void PrintTo(SyncCase const& c, std::ostream* os) {
    *os << "seed " << c.seed;
}

class ReferencePeer : public testing::TestWithParam<SyncCase> {
  protected:
    static void SetUpTestSuite() {
        if (!oracle_unavailable()) s_oracle = new Oracle();
    }
    static void TearDownTestSuite() {
        delete s_oracle;
        s_oracle = nullptr;
    }
    void SetUp() override { REQUIRE_ORACLE(); }

    json call(json request) {
        auto result = s_oracle->call(std::move(request));
        EXPECT_TRUE(result) << result.error();
        return result.value_or(json::object());
    }

    std::vector<uint8_t> base_document(uint32_t seed) {
        auto w = call({{"cmd", "workload"}, {"seed", seed}, {"long_text", true}});
        return from_base64(w["docs"][0]["save"].get<std::string>());
    }

    // Exchanges messages until neither side has anything to say; returns the rounds taken.
    int sync(AutoCommit& ours, SyncState& state, std::string const& peer, Opener opener) {
        bool reference_turn = opener == Opener::Reference;
        int quiet_turns = 0;
        int turn = 0;
        for (; turn < 60 && quiet_turns < 2; ++turn, reference_turn = !reference_turn) {
            if (reference_turn) {
                auto reply = call({{"cmd", "peer_generate"}, {"id", peer}});
                if (reply["msg"].is_null()) {
                    ++quiet_turns;
                    continue;
                }
                auto received =
                    receive_sync_message(ours, state, from_base64(reply["msg"].get<std::string>()));
                EXPECT_TRUE(received) << received.error().message;
            } else {
                auto msg = generate_sync_message(ours, state);
                if (!msg) {
                    ++quiet_turns;
                    continue;
                }
                call({{"cmd", "peer_receive"}, {"id", peer}, {"msg", to_base64(*msg)}});
            }
            quiet_turns = 0;
        }
        EXPECT_LT(turn, 60) << "sync did not settle";
        return turn;
    }

    void expect_converged(AutoCommit& ours, std::string const& peer) {
        auto ref = call({{"cmd", "peer_describe"}, {"id", peer}});
        EXPECT_EQ(heads_json(ours.get_heads()), ref["heads"]);
        EXPECT_EQ(change_difference(our_changes(ours), ref["changes"]), "");
        EXPECT_EQ(content_difference(typed_content(ours), ref["content"]), "");
    }

    static json reference_edits(int n, std::string const& tag) {
        json steps = json::array();
        for (int i = 0; i < n; ++i) {
            steps.push_back({{"do", "put"},
                             {"doc", 0},
                             {"obj", "_root"},
                             {"prop", tag + std::to_string(i)},
                             {"v", json::array({"str", "from the reference 👍🏽"})}});
            steps.push_back({{"do", "commit"}, {"doc", 0}, {"time", 1000 + i}});
        }
        return steps;
    }

    static void our_edits(AutoCommit& doc, int n, std::string const& tag) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(doc.put(ObjId::root(), tag + std::to_string(i), int64_t{i}));
            auto text =
                doc.put_object(ObjId::root(), tag + "text" + std::to_string(i), ObjType::Text);
            ASSERT_TRUE(text);
            ASSERT_TRUE(doc.splice_text(*text, 0, 0, "ours 👩‍👩‍👧 e\u0301"));
            doc.commit(std::nullopt, 2000 + i);
        }
    }

    static Oracle* s_oracle;
};

Oracle* ReferencePeer::s_oracle = nullptr;

TEST_P(ReferencePeer, ConvergesWithReference) {
    auto const& c = GetParam();
    auto base = base_document(c.seed);
    std::string const peer = "p" + std::to_string(c.seed);
    AutoCommit ours(*ActorId::from_hex("0123456789abcdef0123456789abcdef"));
    json peer_init = {
        {"cmd", "peer_new"}, {"id", peer}, {"actor", "fedcba9876543210fedcba9876543210"}};

    if (c.start != Start::ReferenceHasDocument) {
        auto loaded = AutoCommit::load(base);
        ASSERT_TRUE(loaded) << loaded.error().message;
        ours = std::move(*loaded);
        ours.set_actor(*ActorId::from_hex("0123456789abcdef0123456789abcdef"));
    }
    if (c.start != Start::OursHasDocument) peer_init["doc"] = to_base64(base);
    call(peer_init);
    if (c.start == Start::Diverged) {
        our_edits(ours, 3, "ours");
        call({{"cmd", "peer_edit"}, {"id", peer}, {"steps", reference_edits(4, "theirs")}});
    }

    SyncState state;
    sync(ours, state, peer, c.opener);
    expect_converged(ours, peer);

    // Both sides keep only the encoded state, edit on, and meet again.
    auto saved_state = SyncState::decode(state.encode());
    ASSERT_TRUE(saved_state);
    auto ref = call({{"cmd", "peer_describe"}, {"id", peer}, {"save", true}});
    std::string const again = peer + "b";
    call({{"cmd", "peer_new"},
          {"id", again},
          {"doc", ref["save"]},
          {"state", ref["state"]},
          {"actor", "fedcba9876543210fedcba9876543210"}});
    our_edits(ours, 2, "later");
    call({{"cmd", "peer_edit"}, {"id", again}, {"steps", reference_edits(2, "later_theirs")}});
    sync(ours, *saved_state, again, c.opener);
    expect_converged(ours, again);
    call({{"cmd", "peer_drop"}, {"id", peer}});
    call({{"cmd", "peer_drop"}, {"id", again}});
}

class ReferencePeerLoss : public ReferencePeer {};

// A peer that lost its data (empty heads, stale persisted state) is brought back up to date.
TEST_P(ReferencePeerLoss, RecoversWhenReferencePeerLostItsData) {
    auto const& c = GetParam();
    auto base = base_document(c.seed);
    auto loaded = AutoCommit::load(base);
    ASSERT_TRUE(loaded);
    AutoCommit ours = std::move(*loaded);
    std::string const peer = "lost" + std::to_string(c.seed);
    call({{"cmd", "peer_new"}, {"id", peer}, {"doc", to_base64(base)}});
    SyncState state;
    sync(ours, state, peer, c.opener);
    auto ref = call({{"cmd", "peer_describe"}, {"id", peer}});
    // The reference comes back with its old sync state but an empty document.
    call({{"cmd", "peer_new"}, {"id", peer}, {"state", ref["state"]}});
    our_edits(ours, 1, "after_loss");
    sync(ours, state, peer, c.opener);
    expect_converged(ours, peer);
    call({{"cmd", "peer_drop"}, {"id", peer}});
}

INSTANTIATE_TEST_SUITE_P(
    Directions, ReferencePeer,
    testing::Values(SyncCase{Start::OursHasDocument, Opener::Ours, 11},
                    SyncCase{Start::OursHasDocument, Opener::Reference, 12},
                    SyncCase{Start::ReferenceHasDocument, Opener::Ours, 13},
                    SyncCase{Start::ReferenceHasDocument, Opener::Reference, 14},
                    SyncCase{Start::Diverged, Opener::Ours, 15},
                    SyncCase{Start::Diverged, Opener::Reference, 16}),
    [](auto const& info) {
        auto const& p = info.param;
        std::string start = p.start == Start::OursHasDocument        ? "OursFull"
                            : p.start == Start::ReferenceHasDocument ? "ReferenceFull"
                                                                     : "Diverged";
        return start + (p.opener == Opener::Ours ? "_OursOpens" : "_ReferenceOpens");
    });

INSTANTIATE_TEST_SUITE_P(Openers, ReferencePeerLoss,
                         testing::Values(SyncCase{Start::OursHasDocument, Opener::Ours, 21},
                                         SyncCase{Start::OursHasDocument, Opener::Reference, 22}),
                         [](auto const& info) {
                             return std::string(info.param.opener == Opener::Ours
                                                    ? "OursOpens"
                                                    : "ReferenceOpens");
                         });

}  // namespace
}  // namespace automerge::oracle

namespace automerge::oracle {
namespace {

class ReferenceCodec : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!oracle_unavailable()) s_oracle = new Oracle();
    }
    static void TearDownTestSuite() {
        delete s_oracle;
        s_oracle = nullptr;
    }
    void SetUp() override { REQUIRE_ORACLE(); }
    static Oracle* s_oracle;
};

Oracle* ReferenceCodec::s_oracle = nullptr;

json hex_list(std::vector<ChangeHash> const& hashes) {
    json out = json::array();
    for (auto const& h : hashes) out.push_back(h.to_hex());
    return out;
}

// Every message of an exchange between two of our peers reads back field for field in the
// reference's decoder.
TEST_F(ReferenceCodec, OurMessagesDecodeInReference) {
    AutoCommit a, b;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(a.put(ObjId::root(), "a" + std::to_string(i), int64_t{i}));
        a.commit();
        ASSERT_TRUE(b.put(ObjId::root(), "b" + std::to_string(i), int64_t{i}));
        b.commit();
    }
    SyncState sa, sb;
    int checked = 0;
    for (int turn = 0; turn < 12; ++turn) {
        bool a_turn = turn % 2 == 0;
        auto msg = a_turn ? generate_sync_message(a, sa) : generate_sync_message(b, sb);
        if (!msg) continue;
        auto ours = SyncMessage::decode(*msg);
        ASSERT_TRUE(ours);
        auto ref = s_oracle->call({{"cmd", "decode_sync_message"}, {"msg", to_base64(*msg)}});
        ASSERT_TRUE(ref) << ref.error();
        EXPECT_EQ((*ref)["heads"], hex_list(ours->heads));
        EXPECT_EQ((*ref)["need"], hex_list(ours->need));
        ASSERT_EQ((*ref)["have"].size(), ours->have.size());
        for (size_t i = 0; i < ours->have.size(); ++i) {
            EXPECT_EQ((*ref)["have"][i]["last_sync"], hex_list(ours->have[i].last_sync));
            EXPECT_EQ((*ref)["have"][i]["bloom"], to_base64(ours->have[i].bloom.encode()));
        }
        json chunks = json::array();
        for (auto const& c : ours->changes) chunks.push_back(to_base64(c));
        EXPECT_EQ((*ref)["changes"], chunks);
        ++checked;
        auto received =
            a_turn ? receive_sync_message(b, sb, *msg) : receive_sync_message(a, sa, *msg);
        ASSERT_TRUE(received);
    }
    EXPECT_GE(checked, 3);
    EXPECT_EQ(a.get_heads(), b.get_heads());
}

// A change that arrived ahead of its dependency waits in our queue; the exchange with a
// reference peer holding the whole history must still complete.
TEST_F(ReferenceCodec, ConvergesWhileHoldingQueuedChange) {
    AutoCommit full;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(full.put(ObjId::root(), "k" + std::to_string(i), int64_t{i}));
        full.commit(std::nullopt, i);
    }
    auto changes = full.get_changes({});
    ASSERT_EQ(changes.size(), 3u);
    AutoCommit ours;
    ASSERT_TRUE(ours.apply_change_bytes(changes[2].raw));
    ASSERT_TRUE(
        s_oracle->call({{"cmd", "peer_new"}, {"id", "queued"}, {"doc", to_base64(full.save())}}));
    SyncState state;
    for (int turn = 0; turn < 20; ++turn) {
        if (auto msg = generate_sync_message(ours, state)) {
            ASSERT_TRUE(s_oracle->call(
                {{"cmd", "peer_receive"}, {"id", "queued"}, {"msg", to_base64(*msg)}}));
        }
        auto reply = s_oracle->call({{"cmd", "peer_generate"}, {"id", "queued"}});
        ASSERT_TRUE(reply) << reply.error();
        if ((*reply)["msg"].is_null()) continue;
        auto received =
            receive_sync_message(ours, state, from_base64((*reply)["msg"].get<std::string>()));
        ASSERT_TRUE(received) << received.error().message;
    }
    EXPECT_EQ(ours.get_heads(), full.get_heads());
}

// The reference's opening message summarises its whole history in one Bloom filter; ours
// over the same hashes must have exactly the same bits.
TEST_F(ReferenceCodec, BloomFilterBitsMatchReference) {
    auto w = s_oracle->call({{"cmd", "workload"}, {"seed", 31}, {"rounds", 6}, {"ops", 6}});
    ASSERT_TRUE(w) << w.error();
    auto const& doc = (*w)["docs"][0];
    ASSERT_TRUE(s_oracle->call({{"cmd", "peer_new"}, {"id", "bloom"}, {"doc", doc["save"]}}));
    auto opening = s_oracle->call({{"cmd", "peer_generate"}, {"id", "bloom"}});
    ASSERT_TRUE(opening) << opening.error();
    auto decoded = s_oracle->call({{"cmd", "decode_sync_message"}, {"msg", (*opening)["msg"]}});
    ASSERT_TRUE(decoded) << decoded.error();
    std::vector<ChangeHash> hashes;
    for (auto const& c : doc["changes"])
        hashes.push_back(*ChangeHash::from_hex(c["hash"].get<std::string>()));
    ASSERT_GT(hashes.size(), 10u);
    EXPECT_EQ((*decoded)["have"][0]["bloom"], to_base64(BloomFilter::from_hashes(hashes).encode()));
    s_oracle->call({{"cmd", "peer_drop"}, {"id", "bloom"}});
}

TEST_F(ReferenceCodec, OurSyncStateDecodesInReference) {
    AutoCommit doc;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(doc.put(ObjId::root(), "k", int64_t{i}));
        doc.commit();
    }
    SyncState state;
    state.shared_heads = doc.get_heads();
    auto ref = s_oracle->call({{"cmd", "encode_sync_state"}, {"state", to_base64(state.encode())}});
    ASSERT_TRUE(ref) << ref.error();
    EXPECT_EQ((*ref)["shared_heads"], hex_list(state.shared_heads));
    EXPECT_EQ((*ref)["state"], to_base64(state.encode()));
}

}  // namespace
}  // namespace automerge::oracle
