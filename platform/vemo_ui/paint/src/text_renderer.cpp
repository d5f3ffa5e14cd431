#include "vemo_ui/text_renderer.hpp"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <list>
#include <unordered_map>
#include <vector>

#include "rich_text.hpp"
#include "vemo_ui/painter.hpp"

namespace vemo_ui {

namespace {

constexpr size_t layout_cache_capacity = 1024;
// Pango units are 1/1024 of a point; sizes and widths enter cache keys at 1/64 point.
constexpr double key_quantum = 64.0;
// The fixed-width face looks larger than Inter at one size.
constexpr double monospace_scale = 0.9;

int to_pango(double v) {
    return int(std::lround(v * PANGO_SCALE));
}
double from_pango(int v) {
    return double(v) / PANGO_SCALE;
}
guint16 to_channel(float v) {
    return guint16(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535));
}

struct GObjectDeleter {
    void operator()(void* object) const { g_object_unref(object); }
};
using LayoutPtr = std::unique_ptr<PangoLayout, GObjectDeleter>;

void append_number(std::string& key, long long v) {
    char buffer[24];
    int n = std::snprintf(buffer, sizeof buffer, "%lld|", v);
    key.append(buffer, size_t(n));
}

void append_color(std::string& key, Color const& c) {
    append_number(
        key, (long long)to_channel(c.r) << 32 | (long long)to_channel(c.g) << 16 | to_channel(c.b));
    append_number(key, to_channel(c.a));
}

// Pango refuses malformed UTF-8; a broken string still shows, with U+FFFD where it breaks.
std::string valid_utf8(std::string_view text) {
    if (g_utf8_validate(text.data(), gssize(text.size()), nullptr)) return std::string(text);
    gchar* fixed = g_utf8_make_valid(text.data(), gssize(text.size()));
    std::string out(fixed);
    g_free(fixed);
    return out;
}

struct Params {
    double size = 15;
    FontWeight weight = FontWeight::Regular;
    std::optional<double> max_width;
    bool ellipsize = false;
};

// The byte length a span has once laid out (malformed UTF-8 grows when repaired).
size_t laid_size(std::string_view text) {
    if (g_utf8_validate(text.data(), gssize(text.size()), nullptr)) return text.size();
    return valid_utf8(text).size();
}

std::string plain_key(std::string_view text, Params const& p) {
    std::string key = "P|";
    append_number(key, std::llround(p.size * key_quantum));
    append_number(key, int(p.weight));
    append_number(key, p.max_width ? std::llround(*p.max_width * key_quantum) : -1);
    append_number(key, p.ellipsize);
    key.append(text);
    return key;
}

std::string rich_key(std::span<TextSpan const> spans, Params const& p) {
    std::string key = "R|";
    append_number(key, std::llround(p.size * key_quantum));
    append_number(key, p.max_width ? std::llround(*p.max_width * key_quantum) : -1);
    for (TextSpan const& s : spans) {
        append_number(key, int(s.weight) | s.italic << 12 | s.underline << 13 | s.monospace << 14 |
                               s.strikethrough << 15);
        append_color(key, s.color);
        append_number(key, (long long)s.text.size());
        key.append(s.text);
    }
    return key;
}

}  // namespace

namespace detail {

RichText rich_text(std::span<TextSpan const> spans) {
    RichText out;
    out.attributes = pango_attr_list_new();
    for (TextSpan const& s : spans) {
        guint start = guint(out.text.size());
        out.text += valid_utf8(s.text);
        guint end = guint(out.text.size());
        auto insert = [&](PangoAttribute* a) {
            a->start_index = start;
            a->end_index = end;
            pango_attr_list_insert(out.attributes, a);
        };
        insert(pango_attr_foreground_new(to_channel(s.color.r), to_channel(s.color.g),
                                         to_channel(s.color.b)));
        if (s.color.a < 1) insert(pango_attr_foreground_alpha_new(to_channel(s.color.a)));
        insert(pango_attr_weight_new(PangoWeight(int(s.weight))));
        if (s.italic) insert(pango_attr_style_new(PANGO_STYLE_ITALIC));
        if (s.underline) insert(pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
        if (s.strikethrough) insert(pango_attr_strikethrough_new(TRUE));
        if (s.monospace) {
            insert(pango_attr_family_new("Monospace"));
            insert(pango_attr_scale_new(monospace_scale));
        }
    }
    return out;
}

}  // namespace detail

struct TextRenderer::Impl {
    PangoFontMap* font_map = nullptr;
    PangoContext* context = nullptr;
    std::list<std::pair<std::string, LayoutPtr>> lru;
    std::unordered_map<std::string_view, decltype(lru)::iterator> index;
    std::unordered_map<long long, double> baselines;

    Impl() {
        font_map = pango_cairo_font_map_new();
        context = pango_font_map_create_context(font_map);
        // Unhinted metrics keep a layout's size independent of the UI scale, so a label
        // measured once fits at every scale it is drawn at.
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
        cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
        pango_cairo_context_set_font_options(context, options);
        cairo_font_options_destroy(options);
        pango_context_set_round_glyph_positions(context, FALSE);
    }

    ~Impl() {
        index.clear();
        lru.clear();
        g_object_unref(context);
        g_object_unref(font_map);
    }

    static double line_height(double size) { return std::max(1.0, std::round(size * 1.32)); }

    static PangoFontDescription* font_for(Params const& p) {
        PangoFontDescription* font = pango_font_description_new();
        // No fallback family is named: fontconfig then finds colour emoji by itself and
        // renders them at the text size.
        pango_font_description_set_family_static(font, "Inter");
        pango_font_description_set_absolute_size(font, std::max(1.0, p.size) * PANGO_SCALE);
        pango_font_description_set_weight(font, PangoWeight(int(p.weight)));
        return font;
    }

    // Lines are stacked at line_height intervals with the Inter baseline centred in each
    // box, whatever the fallback fonts on the line would ask for: an emoji never makes its
    // row taller than its neighbours.
    double baseline(double size, FontWeight weight) {
        long long key = std::llround(size * key_quantum) * 1000 + int(weight);
        if (auto it = baselines.find(key); it != baselines.end()) return it->second;
        PangoFontDescription* font = font_for(Params{size, weight, std::nullopt, false});
        PangoFontMetrics* metrics = pango_context_get_metrics(context, font, nullptr);
        double ascent = from_pango(pango_font_metrics_get_ascent(metrics));
        double descent = from_pango(pango_font_metrics_get_descent(metrics));
        pango_font_metrics_unref(metrics);
        pango_font_description_free(font);
        double value = (line_height(size) - (ascent + descent)) / 2 + ascent;
        baselines.emplace(key, value);
        return value;
    }

    void apply_font(PangoLayout* layout, Params const& p) {
        PangoFontDescription* font = font_for(p);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        if (p.max_width) {
            pango_layout_set_width(layout, to_pango(std::max(0.0, *p.max_width)));
            pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
            if (p.ellipsize) pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
        }
    }

    LayoutPtr make_plain(std::string_view text, Params const& p) {
        LayoutPtr layout(pango_layout_new(context));
        apply_font(layout.get(), p);
        std::string content = valid_utf8(text);
        // An ellipsized label is one line; a newline would start a second paragraph.
        if (p.ellipsize && p.max_width) std::replace(content.begin(), content.end(), '\n', ' ');
        pango_layout_set_text(layout.get(), content.data(), int(content.size()));
        return layout;
    }

    LayoutPtr make_rich(std::span<TextSpan const> spans, Params const& p) {
        LayoutPtr layout(pango_layout_new(context));
        apply_font(layout.get(), p);
        auto rich = detail::rich_text(spans);
        pango_layout_set_text(layout.get(), rich.text.data(), int(rich.text.size()));
        pango_layout_set_attributes(layout.get(), rich.attributes);
        pango_attr_list_unref(rich.attributes);
        return layout;
    }

    template <typename Make>
    PangoLayout* cached(std::string key, Make&& make) {
        if (auto it = index.find(key); it != index.end()) {
            lru.splice(lru.begin(), lru, it->second);
            return it->second->second.get();
        }
        if (lru.size() >= layout_cache_capacity) {
            index.erase(lru.back().first);
            lru.pop_back();
        }
        lru.emplace_front(std::move(key), make());
        index.emplace(lru.front().first, lru.begin());
        return lru.front().second.get();
    }

    PangoLayout* plain(std::string_view text, Params const& p) {
        return cached(plain_key(text, p), [&] { return make_plain(text, p); });
    }

    PangoLayout* rich(std::span<TextSpan const> spans, Params const& p) {
        return cached(rich_key(spans, p), [&] { return make_rich(spans, p); });
    }

    static Size size_of(PangoLayout* layout, double size) {
        if (layout == nullptr) return {0, line_height(size)};
        PangoRectangle logical;
        pango_layout_get_extents(layout, nullptr, &logical);
        int lines = std::max(1, pango_layout_get_line_count(layout));
        return {from_pango(logical.x + logical.width), lines * line_height(size)};
    }
};

namespace {

// Calls f(line, line number, x of the line's origin in the layout) for every line; the
// origin differs from 0 for right-aligned (right-to-left) lines in a layout with a width.
template <typename F>
void for_each_line(PangoLayout* layout, F&& f) {
    PangoLayoutIter* iter = pango_layout_get_iter(layout);
    int number = 0;
    do {
        PangoLayoutLine* line = pango_layout_iter_get_line_readonly(iter);
        PangoRectangle placed, own;
        pango_layout_iter_get_line_extents(iter, nullptr, &placed);
        pango_layout_line_get_extents(line, nullptr, &own);
        f(line, number++, from_pango(placed.x - own.x));
    } while (pango_layout_iter_next_line(iter));
    pango_layout_iter_free(iter);
}

void show_lines(cairo_t* cr, PangoLayout* layout, Point at, double line_height, double baseline) {
    for_each_line(layout, [&](PangoLayoutLine* line, int number, double origin_x) {
        cairo_move_to(cr, at.x + origin_x, at.y + number * line_height + baseline);
        pango_cairo_show_layout_line(cr, line);
    });
}

bool has_non_bmp(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return uint8_t(c) >= 0xf0; });
}

}  // namespace

TextRenderer::TextRenderer() : m_impl(std::make_unique<Impl>()) {}
TextRenderer::~TextRenderer() = default;

Size TextRenderer::measure(std::string_view text, double size_pt, FontWeight weight,
                           std::optional<double> max_width) {
    return measure(text, size_pt, TextOptions{weight, max_width, false});
}

Size TextRenderer::measure(std::string_view text, double size_pt, TextOptions const& options) {
    if (text.empty()) return Impl::size_of(nullptr, size_pt);
    Params p{size_pt, options.weight, options.max_width, options.ellipsize};
    return Impl::size_of(m_impl->plain(text, p), size_pt);
}

Size TextRenderer::draw_text_weighted(Painter& painter, std::string_view text, Point top_left,
                                      double size_pt, FontWeight weight, Color const& color,
                                      std::optional<double> max_width, bool ellipsize) {
    if (text.empty()) return Impl::size_of(nullptr, size_pt);
    PangoLayout* layout = m_impl->plain(text, Params{size_pt, weight, max_width, ellipsize});
    auto* cr = static_cast<cairo_t*>(painter.native_context());
    if (cr == nullptr || color.a <= 0) return Impl::size_of(layout, size_pt);
    double baseline = m_impl->baseline(size_pt, weight);
    cairo_save(cr);
    // Colour glyphs ignore the source colour, so translucent text that may hold emoji is
    // composited as a whole to fade them too.
    bool fade_group = color.a < 1 && has_non_bmp(text);
    if (fade_group) {
        cairo_push_group(cr);
        cairo_set_source_rgb(cr, color.r, color.g, color.b);
    } else {
        cairo_set_source_rgba(cr, color.r, color.g, color.b, color.a);
    }
    show_lines(cr, layout, top_left, line_height(size_pt), baseline);
    if (fade_group) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, color.a);
    }
    cairo_restore(cr);
    return Impl::size_of(layout, size_pt);
}

namespace {

bool all_empty(std::span<TextSpan const> spans) {
    return std::all_of(spans.begin(), spans.end(), [](auto& s) { return s.text.empty(); });
}

// Calls f(line number, left, right) for every piece of every line that bytes [start, end) of
// the layout cover, in layout coordinates.
template <typename F>
void for_each_fragment(PangoLayout* layout, int start, int end, F&& f) {
    if (end <= start) return;
    for_each_line(layout, [&](PangoLayoutLine* line, int number, double) {
        int s = std::max(start, line->start_index);
        int e = std::min(end, line->start_index + line->length);
        if (s >= e) return;
        int* ranges = nullptr;
        int count = 0;
        pango_layout_line_get_x_ranges(line, s, e, &ranges, &count);
        for (int i = 0; i < count; ++i)
            f(number, from_pango(ranges[2 * i]), from_pango(ranges[2 * i + 1]));
        g_free(ranges);
    });
}

// Mentions and links get a rounded pill behind each line fragment they cover.
void draw_span_backgrounds(Painter& painter, PangoLayout* layout, std::span<TextSpan const> spans,
                           Point origin, double size, double line_height) {
    double pad_x = std::round(size * 0.15);
    double pad_y = std::max(1.0, std::round(line_height * 0.06));
    int start = 0;
    for (TextSpan const& span : spans) {
        int end = start + int(laid_size(span.text));
        if (span.background)
            for_each_fragment(layout, start, end, [&](int number, double left, double right) {
                double top = origin.y + number * line_height + pad_y;
                Rect pill = Rect::from_edges(origin.x + left - pad_x, top, origin.x + right + pad_x,
                                             top + line_height - 2 * pad_y);
                painter.fill_rounded_rect(pill, std::round(size * 0.3), *span.background);
            });
        start = end;
    }
}

}  // namespace

Size TextRenderer::measure_rich(std::span<TextSpan const> spans, double size_pt,
                                std::optional<double> max_width) {
    if (all_empty(spans)) return Impl::size_of(nullptr, size_pt);
    Params p{size_pt, FontWeight::Regular, max_width, false};
    return Impl::size_of(m_impl->rich(spans, p), size_pt);
}

Size TextRenderer::draw_rich(Painter& painter, std::span<TextSpan const> spans, Point top_left,
                             std::optional<double> max_width, double size_pt) {
    if (all_empty(spans)) return Impl::size_of(nullptr, size_pt);
    PangoLayout* layout =
        m_impl->rich(spans, Params{size_pt, FontWeight::Regular, max_width, false});
    double lh = line_height(size_pt);
    draw_span_backgrounds(painter, layout, spans, top_left, size_pt, lh);
    if (auto* cr = static_cast<cairo_t*>(painter.native_context())) {
        cairo_save(cr);
        show_lines(cr, layout, top_left, lh, m_impl->baseline(size_pt, FontWeight::Regular));
        cairo_restore(cr);
    }
    return Impl::size_of(layout, size_pt);
}

std::vector<Rect> TextRenderer::rich_span_rects(std::span<TextSpan const> spans, size_t index,
                                                double size_pt, std::optional<double> max_width) {
    std::vector<Rect> rects;
    if (index >= spans.size() || all_empty(spans)) return rects;
    int start = 0;
    for (size_t i = 0; i < index; ++i) start += int(laid_size(spans[i].text));
    int end = start + int(laid_size(spans[index].text));
    PangoLayout* layout =
        m_impl->rich(spans, Params{size_pt, FontWeight::Regular, max_width, false});
    double lh = line_height(size_pt);
    for_each_fragment(layout, start, end, [&](int number, double left, double right) {
        rects.push_back(Rect::from_edges(left, number * lh, right, (number + 1) * lh));
    });
    return rects;
}

double TextRenderer::line_height(double size_pt) const {
    return Impl::line_height(size_pt);
}

double TextRenderer::baseline(double size_pt) const {
    return m_impl->baseline(size_pt, FontWeight::Regular);
}

int TextRenderer::unknown_glyphs(std::string_view text, double size_pt, FontWeight weight) {
    if (text.empty()) return 0;
    Params p{size_pt, weight, std::nullopt, false};
    return pango_layout_get_unknown_glyphs_count(m_impl->plain(text, p));
}

size_t TextRenderer::index_at(std::string_view text, double size_pt,
                              std::optional<double> max_width, Point at, FontWeight weight) {
    if (text.empty()) return 0;
    PangoLayout* layout = m_impl->plain(text, Params{size_pt, weight, max_width, false});
    int lines = pango_layout_get_line_count(layout);
    int wanted = std::clamp(int(std::floor(at.y / line_height(size_pt))), 0, lines - 1);
    int index = 0, trailing = 0;
    for_each_line(layout, [&](PangoLayoutLine* line, int number, double x_offset) {
        if (number == wanted)
            pango_layout_line_x_to_index(line, to_pango(at.x - x_offset), &index, &trailing);
    });
    char const* laid = pango_layout_get_text(layout);
    size_t laid_size = std::strlen(laid);
    char const* p = laid + std::min(size_t(std::max(0, index)), laid_size);
    for (int i = 0; i < trailing && p < laid + laid_size; ++i) p = g_utf8_next_char(p);
    return std::min(size_t(p - laid), text.size());
}

Rect TextRenderer::caret_rect(std::string_view text, double size_pt,
                              std::optional<double> max_width, size_t index, FontWeight weight) {
    double lh = line_height(size_pt);
    if (text.empty()) return {0, 0, 1, lh};
    index = std::min(index, text.size());
    while (index > 0 && index < text.size() && (uint8_t(text[index]) & 0xc0) == 0x80) --index;
    PangoLayout* layout = m_impl->plain(text, Params{size_pt, weight, max_width, false});
    int line = 0, x = 0;
    pango_layout_index_to_line_x(layout, int(index), FALSE, &line, &x);
    // The strong cursor knows the direction of the run the caret is in: the end of a
    // right-to-left paragraph is at its left, not back at its start.
    PangoRectangle strong;
    pango_layout_get_cursor_pos(layout, int(index), &strong, nullptr);
    return {from_pango(strong.x), line * lh, 1, lh};
}

std::optional<size_t> TextRenderer::move_visually(std::string_view text, double size_pt,
                                                  std::optional<double> max_width, size_t index,
                                                  bool right, FontWeight weight) {
    if (text.empty()) return std::nullopt;
    index = std::min(index, text.size());
    while (index > 0 && index < text.size() && (uint8_t(text[index]) & 0xc0) == 0x80) --index;
    PangoLayout* layout = m_impl->plain(text, Params{size_pt, weight, max_width, false});
    int moved = 0, trailing = 0;
    pango_layout_move_cursor_visually(layout, TRUE, int(index), 0, right ? 1 : -1, &moved,
                                      &trailing);
    if (moved < 0 || moved == G_MAXINT) return std::nullopt;
    char const* laid = pango_layout_get_text(layout);
    size_t laid_size = std::strlen(laid);
    char const* p = laid + std::min(size_t(moved), laid_size);
    for (int i = 0; i < trailing && p < laid + laid_size; ++i) p = g_utf8_next_char(p);
    return std::min(size_t(p - laid), text.size());
}

std::vector<Rect> TextRenderer::character_rects(std::string_view text, double size_pt,
                                                std::optional<double> max_width,
                                                FontWeight weight) {
    std::vector<Rect> out;
    if (text.empty()) return out;
    PangoLayout* layout = m_impl->plain(text, Params{size_pt, weight, max_width, false});
    char const* laid = pango_layout_get_text(layout);
    for (char const* p = laid; *p; p = g_utf8_next_char(p)) {
        PangoRectangle r;
        pango_layout_index_to_pos(layout, int(p - laid), &r);
        // A right-to-left character's rectangle comes with a negative width.
        out.push_back({from_pango(std::min(r.x, r.x + r.width)), from_pango(r.y),
                       from_pango(std::abs(r.width)), from_pango(r.height)});
    }
    return out;
}

TextRenderer::Style TextRenderer::style_of(std::string_view text, double size_pt,
                                           FontWeight weight) {
    Style style;
    style.size_pt = size_pt;
    style.weight = int(weight);
    style.language = pango_language_to_string(pango_language_get_default());
    PangoLayout* layout =
        m_impl->plain(text.empty() ? std::string_view(" ") : text, Params{size_pt, weight, {}});
    PangoFontDescription* wanted = Impl::font_for(Params{size_pt, weight, {}});
    style.family = pango_font_description_get_family(wanted);
    pango_font_description_free(wanted);
    PangoLayoutLine* line = pango_layout_get_line_readonly(layout, 0);
    if (!line) return style;
    style.right_to_left = pango_layout_line_get_resolved_direction(line) == PANGO_DIRECTION_RTL;
    if (!line->runs) return style;
    // The font the first run is really drawn with (a fallback when the family lacks glyphs).
    PangoItem const* item = static_cast<PangoGlyphItem*>(line->runs->data)->item;
    if (item->analysis.language) style.language = pango_language_to_string(item->analysis.language);
    if (item->analysis.font) {
        PangoFontDescription* used = pango_font_describe(item->analysis.font);
        if (char const* family = pango_font_description_get_family(used)) style.family = family;
        style.italic = pango_font_description_get_style(used) != PANGO_STYLE_NORMAL;
        pango_font_description_free(used);
    }
    return style;
}

namespace {

bool operator==(TextRenderer::Style const& a, TextRenderer::Style const& b) {
    return a.family == b.family && a.size_pt == b.size_pt && a.weight == b.weight &&
           a.italic == b.italic && a.language == b.language && a.right_to_left == b.right_to_left;
}

}  // namespace

std::vector<TextRenderer::StyleRun> TextRenderer::style_runs(std::string_view text, double size_pt,
                                                             std::optional<double> max_width,
                                                             FontWeight weight) {
    std::vector<StyleRun> runs;
    if (text.empty()) return runs;
    Style base = style_of(text, size_pt, weight);
    PangoLayout* layout = m_impl->plain(text, Params{size_pt, weight, max_width, false});
    char const* laid = pango_layout_get_text(layout);
    struct Piece {
        int begin;  // bytes
        int end;
        Style style;
    };
    std::vector<Piece> pieces;
    for (GSList* l = pango_layout_get_lines_readonly(layout); l; l = l->next) {
        auto* line = static_cast<PangoLayoutLine*>(l->data);
        for (GSList* r = line->runs; r; r = r->next) {
            PangoItem const* item = static_cast<PangoGlyphItem*>(r->data)->item;
            Style style = base;
            style.right_to_left = (item->analysis.level & 1) != 0;
            if (item->analysis.language)
                style.language = pango_language_to_string(item->analysis.language);
            if (item->analysis.font) {
                PangoFontDescription* used = pango_font_describe(item->analysis.font);
                if (char const* family = pango_font_description_get_family(used))
                    style.family = family;
                style.italic = pango_font_description_get_style(used) != PANGO_STYLE_NORMAL;
                pango_font_description_free(used);
            }
            pieces.push_back({item->offset, item->offset + item->length, style});
        }
    }
    // Runs come in visual order within a line; line breaks and paragraph separators belong
    // to no run and take the style of the run before them.
    std::sort(pieces.begin(), pieces.end(),
              [](Piece const& a, Piece const& b) { return a.begin < b.begin; });
    int laid_size = int(std::strlen(laid));
    auto scalars = [&](int bytes) {
        return int(g_utf8_pointer_to_offset(laid, laid + std::clamp(bytes, 0, laid_size)));
    };
    for (Piece const& piece : pieces) {
        if (!runs.empty()) runs.back().end = std::max(runs.back().end, scalars(piece.begin));
        int start = runs.empty() ? 0 : runs.back().end;
        int end = scalars(piece.end);
        if (end <= start) continue;
        if (!runs.empty() && runs.back().style == piece.style)
            runs.back().end = end;
        else
            runs.push_back({start, end, piece.style});
    }
    int total = scalars(laid_size);
    if (runs.empty())
        runs.push_back({0, total, base});
    else
        runs.back().end = total;
    return runs;
}

std::optional<size_t> TextRenderer::move_word_visually(std::string_view text, double size_pt,
                                                       std::optional<double> max_width,
                                                       size_t index, bool right,
                                                       FontWeight weight) {
    if (text.empty()) return std::nullopt;
    index = std::min(index, text.size());
    while (index > 0 && index < text.size() && (uint8_t(text[index]) & 0xc0) == 0x80) --index;
    PangoLayout* layout = m_impl->plain(text, Params{size_pt, weight, max_width, false});
    char const* laid = pango_layout_get_text(layout);
    int laid_size = int(std::strlen(laid));
    int n_attrs = 0;
    PangoLogAttr const* attrs = pango_layout_get_log_attrs_readonly(layout, &n_attrs);
    auto char_of = [&](int byte) {
        return int(g_utf8_pointer_to_offset(laid, laid + std::clamp(byte, 0, laid_size)));
    };
    auto boundary = [&](int byte) {
        int c = char_of(byte);
        return c < n_attrs && (attrs[c].is_word_start || attrs[c].is_word_end);
    };
    // Whether the step between two neighbouring caret positions on screen crosses a word's
    // character: the one drawn halfway between them (storage offsets jump where the
    // direction changes, the screen does not).
    auto crosses_word = [&](int a, int b) {
        PangoRectangle ca, cb;
        pango_layout_get_cursor_pos(layout, a, &ca, nullptr);
        pango_layout_get_cursor_pos(layout, b, &cb, nullptr);
        int line_a = 0, line_b = 0, x = 0;
        pango_layout_index_to_line_x(layout, a, FALSE, &line_a, &x);
        pango_layout_index_to_line_x(layout, b, FALSE, &line_b, &x);
        if (line_a != line_b) return false;  // onto another line
        int index = 0, trailing = 0;
        pango_layout_xy_to_index(layout, (ca.x + cb.x) / 2, ca.y + ca.height / 2, &index,
                                 &trailing);
        gunichar ch = g_utf8_get_char(laid + std::clamp(index, 0, laid_size));
        return g_unichar_isalnum(ch) || g_unichar_ismark(ch);
    };
    int at = std::min(int(index), laid_size);
    bool moved = false, seen_word = false;
    for (int guard = 0; guard <= laid_size + 1; ++guard) {
        int next = 0, trailing = 0;
        pango_layout_move_cursor_visually(layout, TRUE, at, 0, right ? 1 : -1, &next, &trailing);
        if (next < 0 || next == G_MAXINT) break;
        char const* p = laid + std::min(next, laid_size);
        for (int i = 0; i < trailing && p < laid + laid_size; ++i) p = g_utf8_next_char(p);
        next = int(p - laid);
        if (next == at) break;
        seen_word = seen_word || crosses_word(at, next);
        at = next;
        moved = true;
        if (seen_word && boundary(at)) break;
    }
    if (!moved) return std::nullopt;
    return std::min(size_t(at), text.size());
}

size_t TextRenderer::cached_layouts() const {
    return m_impl->lru.size();
}

}  // namespace vemo_ui
