#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "../src/rich_text.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"

using namespace vemo_ui;

namespace {

constexpr Color white{1, 1, 1, 1};
constexpr Color black{0, 0, 0, 1};

class TextRendererTest : public testing::Test {
  protected:
    static TextRenderer& text() {
        static TextRenderer renderer;
        return renderer;
    }
};

bool is_coloured(Color c) {
    return std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b}) > 0.25f;
}

struct InkBox {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    int count = 0;
};

template <typename Pred>
InkBox find_pixels(ImageCanvas& canvas, Pred pred) {
    InkBox box;
    for (int y = 0; y < canvas.height(); ++y)
        for (int x = 0; x < canvas.width(); ++x)
            if (pred(canvas.pixel(x, y))) {
                box.x0 = std::min(box.x0, x), box.y0 = std::min(box.y0, y);
                box.x1 = std::max(box.x1, x), box.y1 = std::max(box.y1, y);
                ++box.count;
            }
    return box;
}

TEST_F(TextRendererTest, WidthGrowsWithTheTextAndLinesKeepOneHeight) {
    double previous = 0;
    for (char const* s :
         {"i", "in", "int", "inter", "interface", "interface 😀", "interface 😀 ok"}) {
        Size size = text().measure(s, 15);
        EXPECT_GT(size.width, previous) << s;
        EXPECT_DOUBLE_EQ(size.height, text().line_height(15)) << s;
        previous = size.width;
    }
    EXPECT_GT(text().measure("Bold label", 15, FontWeight::Bold).width,
              text().measure("Bold label", 15, FontWeight::Regular).width);
    EXPECT_GT(text().measure("Label", 17).width, text().measure("Label", 15).width);
    Size empty = text().measure("", 15);
    EXPECT_EQ(empty.width, 0);
    EXPECT_DOUBLE_EQ(empty.height, text().line_height(15));
}

TEST_F(TextRendererTest, WrapsAtTheMaximumWidthAndEllipsizesToOneLine) {
    std::string para =
        "The quick brown fox jumps over the lazy dog while the five boxing wizards jump quickly.";
    Size one_line = text().measure(para, 14);
    ASSERT_GT(one_line.width, 300);
    Size wrapped = text().measure(para, 14, FontWeight::Regular, 200.0);
    EXPECT_LE(wrapped.width, 200.0);
    EXPECT_GE(wrapped.height, 3 * text().line_height(14));
    EXPECT_EQ(std::fmod(wrapped.height, text().line_height(14)), 0);

    Size ellipsized = text().measure(para, 14, TextOptions{FontWeight::Regular, 200.0, true});
    EXPECT_LE(ellipsized.width, 200.0);
    EXPECT_DOUBLE_EQ(ellipsized.height, text().line_height(14));
    Size label = text().measure("first\nsecond", 14, TextOptions{FontWeight::Regular, 200.0, true});
    EXPECT_DOUBLE_EQ(label.height, text().line_height(14));

    EXPECT_DOUBLE_EQ(text().measure("first\nsecond", 14).height, 2 * text().line_height(14));
    // A word longer than the width breaks inside the word instead of overflowing.
    EXPECT_LE(text().measure(std::string(80, 'w'), 14, FontWeight::Regular, 100.0).width, 100.0);
}

TEST_F(TextRendererTest, FindsAGlyphForEveryCharacterTheInterfaceUses) {
    for (char const* s :
         {"Hello, Vemo!", "Ünïcödé façade ß", "😀", "🔊 Standup", "＋ Category", "✉", "▸ ▾",
          "↓ Jump to latest", "🔒 locked", "👍🎉🚀✨", "李小龙", "Ωμέγα", "· … — “quoted”"}) {
        EXPECT_EQ(text().unknown_glyphs(s, 15), 0) << s;
    }
}

TEST_F(TextRendererTest, EmojiRenderInColourAtTheTextSize) {
    ImageCanvas canvas(80, 60);
    canvas.clear(white);
    Size drawn = text().draw_text(canvas.painter(), "😀", {10, 10}, 24, black);
    InkBox colour = find_pixels(canvas, is_coloured);
    ASSERT_GT(colour.count, 50);
    int ink_height = colour.y1 - colour.y0 + 1;
    EXPECT_GT(ink_height, 24 * 0.7);
    EXPECT_LT(ink_height, 24 * 1.4);
    EXPECT_DOUBLE_EQ(drawn.height, text().line_height(24));

    // Latin text in a grey has no coloured pixels: the check above is not fooled by
    // subpixel fringes.
    canvas.clear(white);
    text().draw_text(canvas.painter(), "Hamburgefonts", {4, 10}, 24, black);
    EXPECT_EQ(find_pixels(canvas, is_coloured).count, 0);
    EXPECT_GT(find_pixels(canvas, [](Color c) { return c.r < 0.5f; }).count, 50);
}

TEST_F(TextRendererTest, DrawsInkWithinTheMeasuredBox) {
    for (double scale : {1.0, 2.0}) {
        ImageCanvas canvas(int(300 * scale), int(60 * scale), scale);
        canvas.clear(white);
        Size measured = text().measure("Jumpy quartz Ag", 18, FontWeight::Semibold);
        Size drawn = text().draw_text_weighted(canvas.painter(), "Jumpy quartz Ag", {20, 10}, 18,
                                               FontWeight::Semibold, black);
        EXPECT_EQ(measured, drawn);
        InkBox ink = find_pixels(canvas, [](Color c) { return c.r < 0.6f; });
        ASSERT_GT(ink.count, 0);
        EXPECT_GE(ink.x0, (20 - 1) * scale);
        EXPECT_LE(ink.x1, (20 + measured.width + 1) * scale);
        EXPECT_GE(ink.y0, 10 * scale);
        EXPECT_LE(ink.y1, (10 + measured.height) * scale);
    }
}

TEST_F(TextRendererTest, RichSpansDrawBackgroundsAndMeasureLikePlainText) {
    std::vector<TextSpan> spans{
        {"Hello ", black},
        {"@Ana", Color{0, 0, 1, 1}, FontWeight::Medium, false, false, Color{1, 0, 0, 1}},
        {" see ", black},
        {"the link", Color{0, 0.5f, 0, 1}, FontWeight::Regular, false, true},
    };
    Size rich = text().measure_rich(spans, 15);
    Size plain = text().measure("Hello @Ana see the link", 15);
    EXPECT_NEAR(rich.width, plain.width, 3.0);
    EXPECT_DOUBLE_EQ(rich.height, text().line_height(15));

    ImageCanvas canvas(260, 40);
    canvas.clear(white);
    text().draw_rich(canvas.painter(), spans, {5, 5}, std::nullopt, 15);
    double mention_x = text().measure("Hello ", 15).width + 5;
    InkBox pill =
        find_pixels(canvas, [](Color c) { return c.r > 0.9f && c.g < 0.1f && c.b < 0.1f; });
    ASSERT_GT(pill.count, 50);
    EXPECT_NEAR(pill.x0, mention_x, 4);
    EXPECT_LT(pill.x1, mention_x + text().measure("@Ana", 15, FontWeight::Medium).width + 5);
    EXPECT_GT(
        find_pixels(canvas, [](Color c) { return c.g > 0.3f && c.r < 0.2f && c.b < 0.2f; }).count,
        10);

    // A mention that wraps gets a pill on each line.
    std::vector<TextSpan> wrapping{
        {"Hi ", black},
        {"@someone with a long name", black, FontWeight::Regular, false, false, Color{1, 0, 0, 1}}};
    ImageCanvas narrow(120, 80);
    narrow.clear(white);
    Size wrapped = text().draw_rich(narrow.painter(), wrapping, {0, 0}, 110.0, 15);
    ASSERT_GE(wrapped.height, 2 * text().line_height(15));
    auto red_in_row = [&](double y) {
        for (int x = 0; x < 120; ++x) {
            Color c = narrow.pixel(x, int(y));
            if (c.r > 0.9f && c.g < 0.1f) return true;
        }
        return false;
    };
    EXPECT_TRUE(red_in_row(text().line_height(15) * 0.5));
    EXPECT_TRUE(red_in_row(text().line_height(15) * 1.5));
}

// Each span's styles become Pango attributes over exactly that span's bytes.
struct AttributeCase {
    char const* name;
    std::vector<TextSpan> spans;
    char const* attributes;  // pango_attr_list_to_string
};

TextSpan styled(std::string text, bool italic, bool underline, bool mono, bool strike) {
    TextSpan s{std::move(text), black, FontWeight::Regular, italic, underline};
    s.monospace = mono;
    s.strikethrough = strike;
    return s;
}

class RichAttributesTest : public testing::TestWithParam<AttributeCase> {};

TEST_P(RichAttributesTest, CoverTheirSpanOnly) {
    auto rich = detail::rich_text(GetParam().spans);
    gchar* text = pango_attr_list_to_string(rich.attributes);
    EXPECT_EQ(std::string(text), GetParam().attributes);
    g_free(text);
    pango_attr_list_unref(rich.attributes);
}

INSTANTIATE_TEST_SUITE_P(
    Spans, RichAttributesTest,
    testing::Values(
        AttributeCase{"Plain", {{"ab", black}}, "0 2 foreground #000000000000\n0 2 weight normal"},
        AttributeCase{"Bold",
                      {{"a", black}, {"bc", white, FontWeight::Bold}},
                      "0 1 foreground #000000000000\n0 1 weight normal\n"
                      "1 3 foreground #ffffffffffff\n1 3 weight bold"},
        AttributeCase{"ItalicLink",
                      {styled("x", true, true, false, false)},
                      "0 1 foreground #000000000000\n0 1 weight normal\n0 1 style italic\n"
                      "0 1 underline single"},
        AttributeCase{
            "CodeAndStrike",
            {styled("ab", false, false, true, false), styled("cd", false, false, false, true)},
            "0 2 foreground #000000000000\n0 2 weight normal\n0 2 family \"Monospace\"\n"
            "0 2 scale 0.900000\n2 4 foreground #000000000000\n2 4 weight normal\n"
            "2 4 strikethrough true"},
        // Repaired bytes shift the spans after them.
        AttributeCase{"MalformedUtf8",
                      {{"a\xff", black}, {"b", white}},
                      "0 4 foreground #000000000000\n0 4 weight normal\n"
                      "4 5 foreground #ffffffffffff\n4 5 weight normal"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(TextRendererTest, SpanRectanglesFollowTheSpanAcrossLines) {
    std::vector<TextSpan> spans{{"Read ", black},
                                {"https://example.com/a/very/long/path/that/wraps", black},
                                {" now", black}};
    Size size = text().measure_rich(spans, 15, 150.0);
    auto rects = text().rich_span_rects(spans, 1, 15, 150.0);
    ASSERT_GE(rects.size(), 2u);
    double x0 = text().measure("Read ", 15).width;
    EXPECT_NEAR(rects[0].x, x0, 1.0);
    EXPECT_DOUBLE_EQ(rects[0].y, 0);
    for (auto const& r : rects) {
        EXPECT_GT(r.width, 5);
        EXPECT_LE(r.right(), 150.5);
        EXPECT_LE(r.bottom(), size.height + 0.01);
    }
    EXPECT_DOUBLE_EQ(rects[1].y, text().line_height(15));
    EXPECT_TRUE(text().rich_span_rects(spans, 3, 15, 150.0).empty());
}

// In a right-to-left paragraph the line sits at the right edge; the rectangle must follow it.
TEST_F(TextRendererTest, SpanRectanglesCoverTheDrawnSpanInRightToLeftText) {
    constexpr Color red{1, 0, 0, 1};
    std::vector<TextSpan> spans{{"שלום עולם ", black}, {"abc", red}, {" סוף", black}};
    ImageCanvas canvas(300, 40);
    canvas.clear(white);
    text().draw_rich(canvas.painter(), spans, {0, 0}, 300.0, 15);
    InkBox ink =
        find_pixels(canvas, [](Color c) { return c.r > 0.8f && c.g < 0.3f && c.b < 0.3f; });
    ASSERT_GT(ink.count, 5);
    ASSERT_GT(ink.x0, 100) << "the paragraph is not laid out right to left";
    auto rects = text().rich_span_rects(spans, 1, 15, 300.0);
    ASSERT_EQ(rects.size(), 1u);
    EXPECT_LE(rects[0].x, ink.x0 + 1);
    EXPECT_GE(rects[0].right(), ink.x1 - 1);
}

TEST_F(TextRendererTest, HitTestingRoundTripsThroughCaretPositions) {
    for (std::string s : {"Hello world", "a😀b é ü", "two lines wrap here because narrow"}) {
        std::optional<double> width = s.size() > 20 ? std::optional(80.0) : std::nullopt;
        std::vector<size_t> boundaries;
        for (size_t i = 0; i <= s.size(); ++i)
            if (i == s.size() || (uint8_t(s[i]) & 0xc0) != 0x80) boundaries.push_back(i);
        double last_x = -1, last_y = 0;
        for (size_t i : boundaries) {
            Rect caret = text().caret_rect(s, 15, width, i);
            EXPECT_GT(caret.height, 0);
            if (caret.y == last_y) {
                EXPECT_GT(caret.x, last_x) << s << " @" << i;
            }
            last_x = caret.x, last_y = caret.y;
            size_t hit = text().index_at(s, 15, width, {caret.x + 0.3, caret.y + caret.height / 2});
            if (caret.y == text().caret_rect(s, 15, width, hit).y && i != s.size()) {
                EXPECT_EQ(hit, i) << s << " @" << i;
            }
            EXPECT_NE(std::find(boundaries.begin(), boundaries.end(), hit), boundaries.end());
        }
        EXPECT_EQ(text().index_at(s, 15, width, {-50, 5}), 0u);
        if (!width) {
            EXPECT_EQ(text().index_at(s, 15, width, {5000, 5}), s.size());
        }
    }
    // The caret before a byte inside a character sits before that character.
    EXPECT_EQ(text().caret_rect("a😀b", 15, std::nullopt, 2),
              text().caret_rect("a😀b", 15, std::nullopt, 1));
    EXPECT_GT(text().caret_rect("two lines wrap here because narrow", 15, 80.0, 33).y, 0);
}

TEST_F(TextRendererTest, KeepsTheLayoutCacheBounded) {
    TextRenderer own;
    for (int i = 0; i < 1500; ++i) own.measure("label " + std::to_string(i), 13);
    EXPECT_LE(own.cached_layouts(), 1024u);
    size_t before = own.cached_layouts();
    own.measure("label 1499", 13);
    EXPECT_EQ(own.cached_layouts(), before);
}

TEST_F(TextRendererTest, SurvivesMalformedUtf8) {
    std::string bad = "ok \xff\xfe\xc3 end";
    EXPECT_GT(text().measure(bad, 14).width, 0);
    std::vector<TextSpan> spans{{bad, black, FontWeight::Regular, false, false, Color{1, 0, 0, 1}}};
    ImageCanvas canvas(200, 30);
    EXPECT_GT(text().draw_rich(canvas.painter(), spans, {0, 0}, 100.0, 14).width, 0);
    EXPECT_LE(text().index_at(bad, 14, std::nullopt, {1000, 5}), bad.size());
}

}  // namespace

// Right-to-left and mixed text: the caret stands where the reader expects it at the start and
// the end, and moving one step to the left or right on screen goes that way.
TEST_F(TextRendererTest, CaretAndVisualStepsFollowTheWritingDirection) {
    struct Case {
        char const* name;
        std::string text;
        bool starts_right;  // a right-to-left paragraph starts at its right edge
    };
    std::vector<Case> const cases = {
        {"Arabic", "مرحبا بكم", true},
        {"Hebrew", "שלום עולם", true},
        {"Latin then Arabic", "abc مرحبا", false},
        {"Hebrew then Latin", "שלום abc", true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        double start = text().caret_rect(c.text, 15, std::nullopt, 0).x;
        double end = text().caret_rect(c.text, 15, std::nullopt, c.text.size()).x;
        double width = text().measure(c.text, 15).width;
        EXPECT_GT(std::abs(end - start), width / 2) << "start and end carets must differ";
        if (c.starts_right) {
            EXPECT_GT(start, end);
        } else {
            EXPECT_LT(start, end);
        }
        // Walking right from the leftmost caret visits every caret position once, always
        // further right, and stops at the right edge.
        size_t at = text().index_at(c.text, 15, std::nullopt, {-50, 5});
        double x = text().caret_rect(c.text, 15, std::nullopt, at).x;
        size_t steps = 0;
        while (auto next = text().move_visually(c.text, 15, std::nullopt, at, true)) {
            double next_x = text().caret_rect(c.text, 15, std::nullopt, *next).x;
            EXPECT_GE(next_x, x - 0.5) << "step " << steps;
            at = *next, x = next_x;
            ASSERT_LT(++steps, 40u);
        }
        EXPECT_EQ(steps, size_t(g_utf8_strlen(c.text.c_str(), -1)));
        EXPECT_FALSE(text().move_visually(c.text, 15, std::nullopt, at, true));
    }
}
