// Message text read as light Markdown: which runs and blocks a typed text becomes, that
// everything outside the subset shows as typed, and that no input can crash or stall it.
#include <gtest/gtest.h>

#include <sstream>

#include "app/draw_markup.hpp"
#include "app/message_markup.hpp"
#include "vemo_ui/theme.hpp"

namespace {

using namespace chat::markup;

// A compact form of blocks: one line per block, "kind q<quote> l<list> [marker] runs", a run
// as text with its styles in braces and its link after "->".
std::string describe(std::vector<Block> const& blocks) {
    std::ostringstream out;
    for (auto const& b : blocks) {
        out << (b.kind == BlockKind::CodeBlock ? "code" : b.kind == BlockKind::Rule ? "rule" : "p");
        if (b.quote_depth) out << " q" << b.quote_depth;
        if (b.list_depth) out << " l" << b.list_depth;
        if (!b.marker.empty()) out << " [" << b.marker << "]";
        for (auto const& r : b.runs) {
            out << " '" << r.text << "'";
            std::string s;
            if (r.style & Emphasis) s += "i";
            if (r.style & Strong) s += "b";
            if (r.style & Code) s += "c";
            if (r.style & Strike) s += "s";
            if (r.style & Mention) s += "m";
            if (!s.empty()) out << "{" << s << "}";
            if (!r.link.empty()) out << "->" << r.link;
        }
        out << "\n";
    }
    return out.str();
}

struct MarkupCase {
    char const* name;
    char const* text;
    char const* blocks;
};

class MarkupTest : public testing::TestWithParam<MarkupCase> {};

TEST_P(MarkupTest, ReadsTheTextIntoTheseBlocks) {
    EXPECT_EQ(describe(parse(GetParam().text)), GetParam().blocks) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MarkupTest,
    testing::Values(
        MarkupCase{"Plain", "hello there", "p 'hello there'\n"},
        MarkupCase{"Emphasis", "a *b* _c_ **d** ~~e~~ `f`",
                   "p 'a ' 'b'{i} ' ' 'c'{i} ' ' 'd'{b} ' ' 'e'{s} ' ' 'f'{c}\n"},
        MarkupCase{"Nested", "***both*** **a *b***", "p 'both'{ib} ' ' 'a '{b} 'b'{ib}\n"},
        // Markup and entities show as typed: nothing is HTML.
        MarkupCase{"Html", "<b>x</b> & &amp; <script>", "p '<b>x</b> & &amp; <script>'\n"},
        MarkupCase{"Escapes", "\\*not\\* 2 * 3", "p '*not* 2 * 3'\n"},
        MarkupCase{"LinesStayLines", "one\ntwo", "p 'one\ntwo'\n"},
        MarkupCase{"Paragraphs", "one\n\ntwo", "p 'one'\np 'two'\n"},
        MarkupCase{"AutoLink", "see https://example.com/x.",
                   "p 'see ' 'https://example.com/x'->https://example.com/x '.'\n"},
        MarkupCase{"NamedLink", "[docs](https://example.com/d \"t\")",
                   "p 'docs'->https://example.com/d\n"},
        MarkupCase{"AngleLink", "<https://example.com>",
                   "p 'https://example.com'->https://example.com\n"},
        MarkupCase{"UnsafeLinkIsText", "[click](javascript:alert(1)) [f](file:///etc/passwd)",
                   "p 'click f'\n"},
        MarkupCase{"LinkInCodeIsCode", "`https://example.com`", "p 'https://example.com'{c}\n"},
        MarkupCase{"StrongLink", "**https://example.com**",
                   "p 'https://example.com'{b}->https://example.com\n"},
        MarkupCase{"Fence", "```cpp\nint a = 1 < 2;\n  *x*\n```\nafter",
                   "code 'int a = 1 < 2;\n  *x*'\np 'after'\n"},
        MarkupCase{"IndentIsNoCode", "    indented", "p 'indented'\n"},
        MarkupCase{"Quote", "> quoted *x*\n>> deeper", "p q1 'quoted ' 'x'{i}\np q2 'deeper'\n"},
        MarkupCase{"Bullets", "- one\n- two\n  - inner",
                   "p l1 [•] 'one'\np l1 [•] 'two'\np l2 [•] 'inner'\n"},
        MarkupCase{"Numbers", "3. three\n4. four", "p l1 [3.] 'three'\np l1 [4.] 'four'\n"},
        MarkupCase{"LooseList", "- a\n\n- b", "p l1 [•] 'a'\np l1 [•] 'b'\n"},
        MarkupCase{"EmptyItem", "-\n- b", "p l1 [•]\np l1 [•] 'b'\n"},
        MarkupCase{"QuotedList", "> - a", "p q1 l1 [•] 'a'\n"},
        MarkupCase{"Heading", "# Title", "p 'Title'{b}\n"},
        MarkupCase{"Rule", "a\n\n***\n\nb", "p 'a'\nrule\np 'b'\n"},
        MarkupCase{"Image", "![a cat](https://example.com/c.png)", "p 'a cat'\n"},
        MarkupCase{"TableStaysText", "|a|b|\n|-|-|", "p '|a|b|\n|-|-|'\n"},
        // A lone link definition would vanish; it shows as typed instead.
        MarkupCase{"Definition", "[1]: https://example.com",
                   "p '[1]: ' 'https://example.com'->https://example.com\n"},
        MarkupCase{"Empty", "", ""},
        MarkupCase{"NulByte", std::string_view("a\0b", 3).data(), "p 'a'\n"}),
    [](auto const& info) { return std::string(info.param.name); });

// What each style becomes in the rich text the row is drawn with (and so in its Pango
// attributes): one line per span, "text:flags".
std::string spans_of(std::string_view text, std::string_view hovered = {}) {
    auto const& t = vemo_ui::Theme::dark();
    std::ostringstream out;
    for (auto const& block : parse(text))
        for (auto const& s : chat::block_spans(block, t, hovered)) {
            out << s.text << ":";
            if (s.weight == vemo_ui::FontWeight::Bold) out << "bold ";
            if (s.italic) out << "italic ";
            if (s.monospace) out << "mono ";
            if (s.strikethrough) out << "strike ";
            if (s.underline) out << "underline ";
            if (s.background) out << "fill ";
            if (s.color == t.link) out << "link-colour ";
            if (s.color == t.accent_hover) out << "hover-colour ";
            if (s.color == t.text_secondary) out << "quiet ";
            out << "\n";
        }
    return out.str();
}

struct DisplayedCase {
    char const* typed;
    char const* read;
};

class DisplayedText : public testing::TestWithParam<DisplayedCase> {};

// What a screen reader and a notification get: the text on screen, not its Markdown.
TEST_P(DisplayedText, IsTheTextOnScreen) {
    EXPECT_EQ(displayed_text(parse(GetParam().typed)), GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Markup, DisplayedText,
    testing::Values(DisplayedCase{"**bold** and _it_ and ~~gone~~", "bold and it and gone"},
                    DisplayedCase{"run `make -j2` first", "run make -j2 first"},
                    DisplayedCase{"see [the notes](https://example.org/n)", "see the notes"},
                    DisplayedCase{"https://example.org/a_b_c", "https://example.org/a_b_c"},
                    DisplayedCase{"- one\n- two", "• one\n• two"},
                    DisplayedCase{"> quoted **words**", "quoted words"},
                    DisplayedCase{"```\nint x;\n```", "int x;"},
                    DisplayedCase{"<b>raw</b> & 1 < 2", "<b>raw</b> & 1 < 2"},
                    DisplayedCase{"2 * 3 * 4 stays", "2 * 3 * 4 stays"},
                    DisplayedCase{"line one\nline two", "line one\nline two"}));

TEST(Markup, StylesBecomeTheseSpanAttributes) {
    EXPECT_EQ(spans_of("a **b** *c* `d` ~~e~~"),
              "a :\nb:bold \n :\nc:italic \n :\nd:mono fill \n :\ne:strike \n");
    EXPECT_EQ(spans_of("[x](https://a.example) https://b.example", "https://b.example"),
              "x:underline link-colour \n :\nhttps://b.example:underline hover-colour \n");
    EXPECT_EQ(spans_of("> *q*"), "q:italic quiet \n");
    EXPECT_EQ(spans_of("<i>&amp;</i>"), "<i>&amp;</i>:\n");
}

TEST(Markup, MentionsKeepTheirBytesWhereverTheyLand) {
    std::string text = "**hi @Ana** and `@Bo` @Cy";
    // Byte ranges of the three mentions in the typed text.
    std::vector<TextRange> mentions{{5, 4}, {17, 3}, {22, 3}};
    EXPECT_EQ(describe(parse(text, mentions)),
              "p 'hi '{b} '@Ana'{bm} ' and ' '@Bo'{c} ' ' '@Cy'{m}\n");
    // Ranges past the end or inside a multi-byte character do no harm.
    std::vector<TextRange> broken{{24, 100}, {1000, 2}};
    EXPECT_NO_THROW(parse(text, broken));
}

TEST(Markup, NulInsideTheTextBecomesAReplacementCharacter) {
    std::string text("a\0b", 3);
    EXPECT_EQ(describe(parse(text)),
              "p 'a\xEF\xBF\xBD"
              "b'\n");
}

TEST(Markup, LongTextIsShownAsTyped) {
    std::string text(max_formatted_bytes + 1, 'x');
    text.replace(0, 5, "**b**");
    auto blocks = parse(text);
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_EQ(blocks[0].runs.size(), 1u);
    EXPECT_EQ(blocks[0].runs[0].text, text);
}

// Inputs known to make Markdown parsers slow or deep: each must come back, with every byte
// of visible text accounted for somewhere and nothing nested past what was typed.
std::string repeat(std::string_view s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

TEST(Markup, SurvivesPathologicalInput) {
    size_t n = 5000;
    std::vector<std::string> inputs{
        repeat(">", n) + " deep",
        repeat("- ", n) + "x",
        repeat("*", n) + "a" + repeat("_", n),
        repeat("*a **a ", n),
        repeat("[", n) + "a" + repeat("]", n),
        repeat("[a](", n) + "b" + repeat(")", n),
        repeat("`", n) + "x" + repeat("`", n - 1),
        repeat("<a", n),
        repeat("&#x", n),
        repeat("~~a", n),
        repeat("1. ", n) + "x",
        repeat("> - ", n / 2) + "x",
        repeat("https://a.example/(", n),
        repeat("https://a.example/(", 1500),
        "https://a.example/" + repeat(")", 4000),
        repeat("https://a.b @c ", 2000),
        repeat("\\", n),
        repeat("\n", n),
        "```\n" + repeat("x\n", n),
        repeat("\xff\xfe*", n),
        repeat("![", n) + repeat("](x)", n),
    };
    for (auto const& input : inputs) {
        auto blocks = parse(input);
        for (auto const& b : blocks) {
            EXPECT_LE(b.quote_depth, int(n));
            EXPECT_LE(b.list_depth, int(n));
            for (auto const& r : b.runs) EXPECT_FALSE(r.text.empty());
        }
    }
}

}  // namespace
