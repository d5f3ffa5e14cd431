// Caret and word boundaries against the Unicode Consortium's own grapheme test data and a few
// scripts whose words are not separated by spaces.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "text_boundaries.hpp"

using namespace vemo_ui::text;

namespace {

constexpr char const* grapheme_test_file = "/usr/share/unicode/auxiliary/GraphemeBreakTest.txt";

TEST(Graphemes, EveryCaseOfTheUnicodeBreakTest) {
    std::ifstream in(grapheme_test_file);
    if (!in) GTEST_SKIP() << grapheme_test_file << " is missing (Debian package unicode-data)";
    size_t cases = 0, failed = 0;
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream tokens(line);
        std::string text;
        std::vector<size_t> expected;
        for (std::string token; tokens >> token;) {
            if (token == "÷")
                expected.push_back(text.size());
            else if (token != "×")
                append_utf8(text, char32_t(std::stoul(token, nullptr, 16)));
        }
        if (text.empty()) continue;
        ++cases;
        std::vector<size_t> forwards{0}, backwards{text.size()};
        for (size_t at = 0; at < text.size();) forwards.push_back(at = next_grapheme(text, at));
        for (size_t at = text.size(); at > 0;)
            backwards.insert(backwards.begin(), at = previous_grapheme(text, at));
        if (forwards != expected || backwards != expected) {
            ++failed;
            ADD_FAILURE() << "boundaries differ for:" << line;
        }
    }
    EXPECT_GT(cases, 600u);
    EXPECT_EQ(failed, 0u);
}

struct WordCase {
    char const* name;
    std::string text;
    size_t at;
    size_t next_end;
    size_t previous_start;
    Range word;
};

class Words : public testing::TestWithParam<WordCase> {};

TEST_P(Words, JumpsAndDoubleClickFollowTheScriptsWordBreaks) {
    auto const& c = GetParam();
    EXPECT_EQ(next_word_end(c.text, c.at), c.next_end);
    EXPECT_EQ(previous_word_start(c.text, c.at), c.previous_start);
    auto w = word_at(c.text, c.at);
    EXPECT_EQ(w.begin, c.word.begin);
    EXPECT_EQ(w.end, c.word.end);
}

// "สวัสดี" is 18 bytes and "ครับ" 12: two words with no space between them.
INSTANTIATE_TEST_SUITE_P(
    Scripts, Words,
    testing::Values(WordCase{"latin", "hello big world", 7, 9, 6, {6, 9}},
                    WordCase{"latin_in_blank", "hello   world", 6, 13, 0, {5, 8}},
                    WordCase{"thai_second_word", "สวัสดีครับ", 21, 30, 18, {18, 30}},
                    WordCase{"thai_first_word", "สวัสดีครับ", 3, 18, 0, {0, 18}},
                    WordCase{"accented", "née là", 1, 4, 0, {0, 4}},
                    WordCase{"damaged_bytes",
                             "ab\xff"
                             "cd",
                             4,
                             5,
                             3,
                             {3, 5}}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(Graphemes, DamagedBytesAreOneCharacterEach) {
    std::string text =
        "a\xff\xfe"
        "b";
    EXPECT_EQ(next_grapheme(text, 1), 2u);
    EXPECT_EQ(previous_grapheme(text, 3), 2u);
    EXPECT_EQ(snap_to_grapheme(text, 2), 2u);
}

TEST(Graphemes, CarriageReturnAndLineFeedStayTogetherAcrossTheLineEnd) {
    std::string text = "a\r\nb";
    EXPECT_EQ(next_grapheme(text, 1), 3u);
    EXPECT_EQ(previous_grapheme(text, 3), 1u);
    EXPECT_EQ(snap_to_grapheme(text, 2), 1u);
}

}  // namespace
