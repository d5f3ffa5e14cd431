#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vemo_ui/color.hpp"
#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

class Painter;

enum class FontWeight { Regular = 400, Medium = 500, Semibold = 600, Bold = 700 };

// One run of rich text: a mention or a link carries a background pill and/or an underline.
struct TextSpan {
    TextSpan() = default;
    TextSpan(std::string text_, Color color_, FontWeight weight_ = FontWeight::Regular,
             bool italic_ = false, bool underline_ = false,
             std::optional<Color> background_ = std::nullopt)
        : text(std::move(text_)),
          color(color_),
          weight(weight_),
          italic(italic_),
          underline(underline_),
          background(background_) {}

    std::string text;
    Color color;
    FontWeight weight = FontWeight::Regular;
    bool italic = false;
    bool underline = false;
    std::optional<Color> background;
    bool monospace = false;  // code, in the system's fixed-width face
    bool strikethrough = false;
};

struct TextOptions {
    FontWeight weight = FontWeight::Regular;
    std::optional<double> max_width;  // wrap (or ellipsize) at this width; none = one long line
    bool ellipsize = false;           // with max_width: one line ending in "…"
};

// Shapes and draws text with Pango in the Inter face, emoji in colour. Sizes are in logical
// points (a 15-point text is 15 pixels at scale 1). Every line of a size has the same
// height, line_height(size), whatever fonts the line falls back to, so rows never jump when
// an emoji appears. Layouts are kept in a bounded LRU, so measuring the same label every
// frame costs a lookup. Use it from the UI thread only.
class TextRenderer {
  public:
    TextRenderer();
    ~TextRenderer();
    TextRenderer(TextRenderer const&) = delete;
    TextRenderer& operator=(TextRenderer const&) = delete;

    Size measure(std::string_view text, double size_pt, FontWeight weight = FontWeight::Regular,
                 std::optional<double> max_width = std::nullopt);
    Size measure(std::string_view text, double size_pt, TextOptions const& options);

    // Draws with the top of the first line at top_left; returns the size drawn.
    Size draw_text_weighted(Painter& painter, std::string_view text, Point top_left, double size_pt,
                            FontWeight weight, Color const& color,
                            std::optional<double> max_width = std::nullopt, bool ellipsize = false);
    Size draw_text(Painter& painter, std::string_view text, Point top_left, double size_pt,
                   Color const& color) {
        return draw_text_weighted(painter, text, top_left, size_pt, FontWeight::Regular, color);
    }

    Size measure_rich(std::span<TextSpan const> spans, double size_pt,
                      std::optional<double> max_width = std::nullopt);
    Size draw_rich(Painter& painter, std::span<TextSpan const> spans, Point top_left,
                   std::optional<double> max_width, double size_pt);

    // Where span `index` of draw_rich's text landed, relative to its top-left: one rectangle
    // per line fragment (a link that wraps has two).
    std::vector<Rect> rich_span_rects(std::span<TextSpan const> spans, size_t index, double size_pt,
                                      std::optional<double> max_width);

    double line_height(double size_pt) const;
    // Distance from the top of a line to its baseline.
    double baseline(double size_pt) const;
    // Whether any character of the text has no glyph in any installed font.
    int unknown_glyphs(std::string_view text, double size_pt,
                       FontWeight weight = FontWeight::Regular);

    // Hit testing for editable text laid out like draw_text_weighted: the byte offset of the
    // caret position nearest to `at` (relative to the text's top-left; always on a character
    // boundary, 0..text.size()), and the caret's rectangle before the byte `index`.
    size_t index_at(std::string_view text, double size_pt, std::optional<double> max_width,
                    Point at, FontWeight weight = FontWeight::Regular);
    Rect caret_rect(std::string_view text, double size_pt, std::optional<double> max_width,
                    size_t index, FontWeight weight = FontWeight::Regular);
    // The caret position one cluster to the left or right on screen from byte `index`, which
    // in right-to-left runs is the other way than in storage; nullopt at the text's edge.
    std::optional<size_t> move_visually(std::string_view text, double size_pt,
                                        std::optional<double> max_width, size_t index, bool right,
                                        FontWeight weight = FontWeight::Regular);
    // Where each character of editable text is drawn, one rectangle per Unicode scalar value
    // relative to the text's top-left, and the font, language and direction it is drawn in
    // (those of its first run): what assistive technology asks of a text field.
    std::vector<Rect> character_rects(std::string_view text, double size_pt,
                                      std::optional<double> max_width,
                                      FontWeight weight = FontWeight::Regular);
    struct Style {
        std::string family;
        double size_pt = 0;
        int weight = 400;
        bool italic = false;
        std::string language;
        bool right_to_left = false;
    };
    Style style_of(std::string_view text, double size_pt, FontWeight weight = FontWeight::Regular);
    // The runs editable text is drawn in, in storage order and covering it whole: where a
    // fallback font, the language or the direction changes, a new run starts (neighbours
    // alike are one run). Offsets count Unicode scalar values, end exclusive.
    struct StyleRun {
        int start = 0;
        int end = 0;
        Style style;
    };
    std::vector<StyleRun> style_runs(std::string_view text, double size_pt,
                                     std::optional<double> max_width,
                                     FontWeight weight = FontWeight::Regular);
    // The caret position one word to the left or right on screen from byte `index`: it moves
    // through the text in visual order and stops at the first word boundary after a word, so
    // in a right-to-left run Right goes back through the text and in a left-to-right word
    // inside a right-to-left paragraph it goes on. nullopt at the text's edge.
    std::optional<size_t> move_word_visually(std::string_view text, double size_pt,
                                             std::optional<double> max_width, size_t index,
                                             bool right, FontWeight weight = FontWeight::Regular);

    size_t cached_layouts() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vemo_ui
