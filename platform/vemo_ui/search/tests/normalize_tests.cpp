#include <gtest/gtest.h>

#include "vemo_ui/search/provider.hpp"

namespace vemo_ui::search::provider {
namespace {

struct NormalizeCase {
    std::string input;
    std::string expected;
};

class NormalizeTest : public testing::TestWithParam<NormalizeCase> {};

TEST_P(NormalizeTest, FoldsToTheSameText) {
    EXPECT_EQ(normalize_search_text(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NormalizeTest,
    testing::Values(NormalizeCase{"Café", "cafe"}, NormalizeCase{"CAFÉ", "cafe"},
                    NormalizeCase{"Cafe\xcc\x81", "cafe"},  // e + combining acute
                    NormalizeCase{"ｃａｆｅ", "cafe"},      // full-width
                    NormalizeCase{"Straße", "strasse"}, NormalizeCase{"ﬁle", "file"},
                    NormalizeCase{"  two\t\nwords  ", "two words"}, NormalizeCase{"", ""},
                    NormalizeCase{"Ünïcödé ÅNGSTRÖM", "unicode angstrom"},
                    NormalizeCase{"①②", "12"}, NormalizeCase{"Ελληνικά", "ελληνικα"},
                    NormalizeCase{"日本語", "日本語"}));

TEST(Normalize, RepairsInvalidUtf8InsteadOfFailing) {
    std::string broken =
        "ab\xff\xfe"
        "cd";
    auto out = normalize_search_text(broken);
    EXPECT_EQ(out.substr(0, 2), "ab");
    EXPECT_EQ(out.substr(out.size() - 2), "cd");
    EXPECT_TRUE(index_tokens(broken).size() >= 1);
    (void)index_grams(broken);
}

TEST(Normalize, TokensAreRunsOfLettersAndDigits) {
    EXPECT_EQ(index_tokens("hello, world-wide 42x ü"),
              (std::vector<std::string>{"hello", "world", "wide", "42x", "ü"}));
    EXPECT_TRUE(index_tokens(" ,.- ").empty());
}

TEST(Normalize, GramsAreDistinctThreeCharacterSubstrings) {
    EXPECT_EQ(index_grams("abcd"), (std::vector<std::string>{"abc", "bcd"}));
    EXPECT_EQ(index_grams("aaaaa"), (std::vector<std::string>{"aaa"}));
    EXPECT_TRUE(index_grams("ab").empty());
    EXPECT_EQ(index_grams("日本語だ"), (std::vector<std::string>{"日本語", "本語だ"}));
}

struct RangeCase {
    std::string text;
    std::string query;
    std::vector<std::pair<size_t, size_t>> expected;
};

class MatchRangeTest : public testing::TestWithParam<RangeCase> {};

TEST_P(MatchRangeTest, PointsAtTheOriginalBytes) {
    EXPECT_EQ(match_ranges(GetParam().text, GetParam().query), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Highlights, MatchRangeTest,
                         testing::Values(RangeCase{"Café au lait", "cafe", {{0, 5}}},
                                         RangeCase{"the cafe", "CAFÉ", {{4, 8}}},
                                         RangeCase{"deploy redeploy", "deploy", {{0, 6}, {9, 15}}},
                                         // two letters match only where a word starts
                                         RangeCase{"ab cab", "ab", {{0, 2}}},
                                         RangeCase{"abcdef", "abc cde", {{0, 5}}},
                                         RangeCase{"nothing here", "zzz", {}},
                                         RangeCase{"anything", "", {}}));

}  // namespace
}  // namespace vemo_ui::search::provider
