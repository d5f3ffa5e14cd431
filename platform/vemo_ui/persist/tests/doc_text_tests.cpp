#include <gtest/gtest.h>

#include "vemo_ui/doc_text.hpp"

namespace {

using automerge::AutoCommit;
using automerge::ObjId;
using automerge::ObjType;

struct SpliceCase {
    std::string name;
    std::string before;
    std::string after;
    // Scalars the minimal splice deletes and inserts: one operation each.
    size_t deleted;
    size_t inserted;
};

void PrintTo(SpliceCase const& c, std::ostream* os) {
    *os << c.name;
}

struct TextDoc {
    AutoCommit doc;
    ObjId text;

    explicit TextDoc(std::string const& initial) {
        text = *doc.put_object(ObjId::root(), "t", ObjType::Text);
        EXPECT_TRUE(doc.splice_text(text, 0, 0, initial));
        doc.commit();
    }

    size_t ops_of_last_change() {
        auto heads = doc.get_heads();
        return doc.get_change_by_hash(heads.front())->num_ops;
    }
};

class SpliceTextDiffed : public testing::TestWithParam<SpliceCase> {};

TEST_P(SpliceTextDiffed, WritesOnlyTheChangedScalars) {
    auto const& c = GetParam();
    TextDoc t(c.before);
    auto before_heads = t.doc.get_heads();

    ASSERT_TRUE(vemo_ui::doc::splice_text_diffed(t.doc, t.text, c.after));
    t.doc.commit();

    EXPECT_EQ(*t.doc.text(t.text), c.after);
    if (c.deleted + c.inserted == 0) {
        EXPECT_EQ(t.doc.get_heads(), before_heads);
    } else {
        EXPECT_EQ(t.ops_of_last_change(), c.deleted + c.inserted);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpliceTextDiffed,
    testing::Values(SpliceCase{"equal", "hello", "hello", 0, 0},
                    SpliceCase{"from_empty", "", "abc", 0, 3},
                    SpliceCase{"to_empty", "abc", "", 3, 0},
                    SpliceCase{"middle_insert", "hello world", "hello brave world", 0, 6},
                    SpliceCase{"repeated_letters", "aaa", "aa", 1, 0},
                    SpliceCase{"skin_tone_added", "a\U0001F44Db", "a\U0001F44D\U0001F3FDb", 0, 1},
                    // Man ZWJ woman ZWJ girl becomes man ZWJ woman ZWJ boy.
                    SpliceCase{"zwj_family_member", "\U0001F468\u200D\U0001F469\u200D\U0001F467",
                               "\U0001F468\u200D\U0001F469\u200D\U0001F466", 1, 1},
                    SpliceCase{"combining_accent_swapped", "cafe\u0301!", "cafe\u0300!", 1, 1},
                    // Same lead byte, different last byte: the prefix must not split it.
                    SpliceCase{"shared_lead_byte", "x\u00e9y", "x\u00eay", 1, 1},
                    // Same trailing byte, different lead: the suffix must not split it.
                    SpliceCase{"shared_trailing_byte", "\u00e9", "\u0169", 1, 1},
                    SpliceCase{"four_byte_neighbours", "\U0001F600\U0001F601", "\U0001F601", 1, 0},
                    SpliceCase{"emoji_replaced_by_ascii", "ok \U0001F44D", "ok !", 1, 1}),
    [](auto const& info) { return info.param.name; });

TEST(SpliceTextDiffedTest, KeepsIdentityOfUnchangedCharactersForConcurrentEdits) {
    TextDoc t("hello world");
    auto peer = t.doc.fork();
    // The peer types after "hello" while we replace "world".
    ASSERT_TRUE(peer.splice_text(t.text, 5, 0, ","));
    peer.commit();
    ASSERT_TRUE(vemo_ui::doc::splice_text_diffed(t.doc, t.text, "hello there"));
    t.doc.commit();

    ASSERT_TRUE(t.doc.merge(peer));
    EXPECT_EQ(*t.doc.text(t.text), "hello, there");
}

TEST(SpliceTextDiffedTest, RejectsBadInputWithoutWriting) {
    TextDoc t("abc");
    auto heads = t.doc.get_heads();
    for (std::string bad : {std::string("ab\xff"), std::string("\xc3"), std::string("\xed\xa0\x80"),
                            std::string("\xc0\xaf")})
        EXPECT_FALSE(vemo_ui::doc::splice_text_diffed(t.doc, t.text, bad)) << bad;
    t.doc.commit();
    EXPECT_EQ(t.doc.get_heads(), heads);

    auto map = *t.doc.put_object(ObjId::root(), "m", ObjType::Map);
    t.doc.commit();
    heads = t.doc.get_heads();
    EXPECT_FALSE(vemo_ui::doc::splice_text_diffed(t.doc, map, "x"));
    t.doc.commit();
    EXPECT_EQ(t.doc.get_heads(), heads);
}

}  // namespace
