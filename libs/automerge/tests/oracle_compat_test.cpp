// Documents written by the reference load in ours and back, byte for byte, and the same
// edits made on both engines produce the same changes.
#include "oracle_harness.hpp"

namespace automerge::oracle {
namespace {

struct Workload {
    uint32_t seed;
    bool long_text;
    int rounds;
    int ops;
    int actors = 3;
};

void PrintTo(Workload const& w, std::ostream* os) {
    *os << "seed " << w.seed << (w.long_text ? " long text" : "");
}

class ReferenceWorkload : public testing::TestWithParam<Workload> {
  protected:
    static void SetUpTestSuite() {
        if (!oracle_unavailable()) s_oracle = new Oracle();
    }
    static void TearDownTestSuite() {
        delete s_oracle;
        s_oracle = nullptr;
    }
    void SetUp() override {
        REQUIRE_ORACLE();
        auto const& w = GetParam();
        auto result = s_oracle->call({{"cmd", "workload"},
                                      {"seed", w.seed},
                                      {"long_text", w.long_text},
                                      {"rounds", w.rounds},
                                      {"ops", w.ops},
                                      {"actors", w.actors}});
        ASSERT_TRUE(result) << result.error();
        m_workload = std::move(*result);
    }

    static Oracle* s_oracle;
    json m_workload;
};

Oracle* ReferenceWorkload::s_oracle = nullptr;

// Reference bytes load with the same content, heads and change hashes, and saving them again
// reproduces the exact bytes.
TEST_P(ReferenceWorkload, ReferenceSavedDocumentLoadsAndResavesIdentically) {
    json const& ref = m_workload["docs"][0];
    auto bytes = from_base64(ref["save"].get<std::string>());
    auto ours = AutoCommit::load(bytes);
    ASSERT_TRUE(ours) << ours.error().message;
    EXPECT_EQ(heads_json(ours->get_heads()), ref["heads"]);
    EXPECT_EQ(change_difference(our_changes(*ours), ref["changes"]), "");
    EXPECT_EQ(content_difference(typed_content(*ours), ref["content"]), "");
    auto again = ours->save();
    EXPECT_EQ(bytes_difference(again, bytes), "");
}

TEST_P(ReferenceWorkload, ReferenceChangeChunksLoad) {
    std::vector<uint8_t> chunks;
    for (auto const& c : m_workload["all_changes"]) {
        auto bytes = from_base64(c.get<std::string>());
        chunks.insert(chunks.end(), bytes.begin(), bytes.end());
    }
    auto ours = AutoCommit::load(chunks);
    ASSERT_TRUE(ours) << ours.error().message;
    json const& ref = m_workload["docs"][0];
    EXPECT_EQ(heads_json(ours->get_heads()), ref["heads"]);
    EXPECT_EQ(content_difference(typed_content(*ours), ref["content"]), "");
}

// Replaying the same edits with the same actors and times gives every actor the same
// changes (hashes included), heads and content as the reference.
TEST_P(ReferenceWorkload, SameEditsGiveSameChanges) {
    std::vector<AutoCommit> docs;
    auto failure = replay(docs, m_workload["script"]);
    ASSERT_FALSE(failure) << *failure;
    auto const& refs = m_workload["docs"];
    ASSERT_EQ(docs.size(), refs.size());
    for (size_t i = 0; i < docs.size(); ++i) {
        SCOPED_TRACE("actor " + std::to_string(i));
        EXPECT_EQ(heads_json(docs[i].get_heads()), refs[i]["heads"]);
        EXPECT_EQ(change_difference(our_changes(docs[i]), refs[i]["changes"]), "");
        EXPECT_EQ(content_difference(typed_content(docs[i]), refs[i]["content"]), "");
    }
}

// What we save, whole or as change chunks, the reference reads with equal heads and content.
TEST_P(ReferenceWorkload, OurDocumentsLoadInReference) {
    std::vector<AutoCommit> docs;
    auto failure = replay(docs, m_workload["script"]);
    ASSERT_FALSE(failure) << *failure;
    AutoCommit& ours = docs[0];
    auto saved = s_oracle->call({{"cmd", "inspect"}, {"doc", to_base64(ours.save())}});
    ASSERT_TRUE(saved) << saved.error();
    EXPECT_EQ((*saved)["heads"], heads_json(ours.get_heads()));
    EXPECT_EQ(content_difference(typed_content(ours), (*saved)["content"]), "");
    EXPECT_EQ(change_difference(our_changes(ours), (*saved)["changes"]), "");

    json chunks = json::array();
    for (auto const& c : ours.get_changes({})) chunks.push_back(to_base64(c.raw));
    auto applied = s_oracle->call({{"cmd", "apply_changes"}, {"changes", chunks}});
    ASSERT_TRUE(applied) << applied.error();
    EXPECT_EQ((*applied)["heads"], heads_json(ours.get_heads()));
    EXPECT_EQ(content_difference(typed_content(ours), (*applied)["content"]), "");
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReferenceWorkload,
                         testing::Values(Workload{1, false, 1, 3}, Workload{2, false, 3, 8},
                                         Workload{3, true, 4, 12}, Workload{4, false, 4, 12},
                                         Workload{5, true, 6, 20}, Workload{6, false, 6, 20},
                                         Workload{7, true, 3, 30}, Workload{8, false, 8, 10},
                                         Workload{9, false, 5, 15, 2}, Workload{10, true, 5, 15, 4},
                                         Workload{11, false, 10, 6, 4},
                                         Workload{12, true, 2, 40, 2}),
                         [](auto const& info) { return "seed" + std::to_string(info.param.seed); });

}  // namespace
}  // namespace automerge::oracle
