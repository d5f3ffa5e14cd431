#include "app/draw_markup.hpp"

#include <algorithm>
#include <unordered_map>

#include "app/text_links.hpp"
#include "doc/records.hpp"
#include "vemo_ui/desktop.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

using markup::Block;
using markup::BlockKind;
using vemo_ui::Rect;

namespace {

constexpr double text_size = 15;
constexpr double code_size = 14;
constexpr double block_gap = 6;
constexpr double item_gap = 2;  // between the items of one list
constexpr double quote_step = 14;
constexpr double list_step = 22;
constexpr double code_pad_x = 10;
constexpr double code_pad_y = 7;
// Deeper nesting still reads as nested, without pushing the text out of the row.
constexpr int max_shown_depth = 6;
constexpr size_t block_cache_capacity = 512;
constexpr size_t displayed_text_cache_capacity = 65536;

double gap_before(Block const& previous, Block const& next) {
    bool items = previous.list_depth > 0 && next.list_depth > 0 && !next.marker.empty() &&
                 previous.kind == BlockKind::Paragraph && next.kind == BlockKind::Paragraph;
    return items ? item_gap : block_gap;
}

int shown(int depth) {
    return std::clamp(depth, 0, max_shown_depth);
}

double indent_of(Block const& b) {
    return shown(b.quote_depth) * quote_step + shown(b.list_depth) * list_step;
}

std::string cache_key(Message const& m) {
    std::string key = m.text;
    key += '\0';
    for (auto const& mention : m.mentions)
        key += std::to_string(mention.start) + ":" + std::to_string(mention.len) + ",";
    return key;
}

vemo_ui::TextSpan span_of(markup::Run const& run, vemo_ui::Theme const& t, vemo_ui::Color base,
                          std::string_view hovered_link) {
    using markup::Style;
    vemo_ui::TextSpan span(run.text, base);
    if (run.style & Style::Strong) span.weight = vemo_ui::FontWeight::Bold;
    span.italic = run.style & Style::Emphasis;
    span.strikethrough = run.style & Style::Strike;
    if (run.style & Style::Code) {
        span.monospace = true;
        span.background = t.hover_fill;
    }
    if (run.style & Style::Mention) {
        span.color = t.mention_text;
        if (!(run.style & Style::Strong)) span.weight = vemo_ui::FontWeight::Medium;
        span.background = t.mention_fill;
    }
    if (!run.link.empty()) {
        span.color = run.link == hovered_link ? t.accent_hover : t.link;
        span.underline = true;
    }
    return span;
}

// Each fragment of each link becomes a control; the focused link gets a ring.
void record_links(vemo_ui::DrawContext& ctx, Block const& block,
                  std::vector<vemo_ui::TextSpan> const& spans, double x, double y, double width,
                  double size, MarkupFrame const& frame) {
    for (size_t i = 0; i < block.runs.size(); ++i) {
        auto const& link = block.runs[i].link;
        if (link.empty()) continue;
        HitTarget target{HitKind::OpenLink, frame.message_id, link};
        for (auto r : ctx.text.rich_span_rects(spans, i, size, width)) {
            Rect placed{x + r.x, y + r.y, r.width, r.height};
            if (frame.focused && *frame.focused == target)
                vemo_ui::surface::focus_ring(ctx.painter, ctx.theme, placed.inset(-2, 0),
                                             ctx.theme.radius_small);
            if (frame.hit) frame.hit(placed, target);
        }
    }
}

double draw_code_block(vemo_ui::DrawContext& ctx, Block const& block, double x, double y,
                       double width, bool draw) {
    auto const& t = ctx.theme;
    std::vector<vemo_ui::TextSpan> spans;
    for (auto const& run : block.runs) {
        vemo_ui::TextSpan span(run.text, t.text_primary);
        span.monospace = true;
        spans.push_back(std::move(span));
    }
    if (spans.empty()) spans.emplace_back(" ", t.text_primary);
    double inner = std::max(20.0, width - 2 * code_pad_x);
    auto size = ctx.text.measure_rich(spans, code_size, inner);
    Rect box{x, y, width, size.height + 2 * code_pad_y};
    if (draw) {
        ctx.painter.fill_rounded_rect(box, t.radius_small, t.card_fill);
        vemo_ui::surface::soft_outline(ctx.painter, t, box, t.radius_small);
        ctx.text.draw_rich(ctx.painter, spans, {x + code_pad_x, y + code_pad_y}, inner, code_size);
    }
    return box.height;
}

double draw_block(vemo_ui::DrawContext& ctx, Block const& block, double x, double y, double width,
                  bool draw, MarkupFrame const& frame) {
    auto const& t = ctx.theme;
    double indent = indent_of(block);
    double left = x + indent;
    double room = std::max(40.0, width - indent);
    switch (block.kind) {
        case BlockKind::Rule:
            if (draw) ctx.painter.fill_rect({left, y + 6, room, 1}, t.hairline_strong);
            return 13;
        case BlockKind::CodeBlock:
            return draw_code_block(ctx, block, left, y, room, draw);
        case BlockKind::Paragraph:
            break;
    }
    if (!block.marker.empty() && draw) {
        auto m = ctx.text.measure(block.marker, text_size);
        ctx.text.draw_text(ctx.painter, block.marker, {left - m.width - 6, y}, text_size,
                           block.quote_depth ? t.text_secondary : t.text_primary);
    }
    std::string hovered =
        frame.hover && frame.hover->kind == HitKind::OpenLink && frame.hover->a == frame.message_id
            ? frame.hover->b
            : std::string();
    auto spans = block_spans(block, t, hovered);
    if (!draw) return ctx.text.measure_rich(spans, text_size, room).height;
    auto size = ctx.text.draw_rich(ctx.painter, spans, {left, y}, room, text_size);
    record_links(ctx, block, spans, left, y, room, text_size, frame);
    return size.height;
}

// The bars left of quoted blocks, one per level, joined across the gaps between blocks of
// the same quote.
void draw_quote_bars(vemo_ui::DrawContext& ctx, Block const& block, Block const* next, double x,
                     double top, double bottom) {
    for (int level = 0; level < shown(block.quote_depth); ++level) {
        bool joined = next && shown(next->quote_depth) > level;
        double gap = joined ? gap_before(block, *next) : 0;
        ctx.painter.fill_rounded_rect({x + level * quote_step + 1, top, 3, bottom - top + gap}, 1.5,
                                      ctx.theme.hairline_strong);
    }
}

std::vector<markup::TextRange> mention_ranges(Message const& m) {
    std::vector<markup::TextRange> mentions;
    for (auto const& mention : m.mentions)
        if (mention.start <= m.text.size() && mention.len <= m.text.size() - mention.start)
            mentions.push_back({size_t(mention.start), size_t(mention.len)});
    return mentions;
}

}  // namespace

std::vector<Block> const& message_blocks(Message const& m) {
    static std::unordered_map<std::string, std::vector<Block>> cache;
    auto key = cache_key(m);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (cache.size() >= block_cache_capacity) cache.clear();
    return cache.emplace(std::move(key), markup::parse(m.text, mention_ranges(m))).first->second;
}

// Screen-reader rows read the displayed text of every loaded message, far more than are drawn:
// it has a cache of its own, so reading a long history neither parses it again on each pass
// nor pushes the drawn rows' blocks out of theirs.
std::string message_displayed_text(Message const& m) {
    static std::unordered_map<std::string, std::string> cache;
    auto key = cache_key(m);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (cache.size() >= displayed_text_cache_capacity) cache.clear();
    std::string text = markup::displayed_text(markup::parse(m.text, mention_ranges(m)));
    return cache.emplace(std::move(key), std::move(text)).first->second;
}

std::vector<vemo_ui::TextSpan> block_spans(Block const& block, vemo_ui::Theme const& t,
                                           std::string_view hovered_link) {
    auto base = block.quote_depth ? t.text_secondary : t.text_primary;
    std::vector<vemo_ui::TextSpan> spans;
    for (auto const& run : block.runs) spans.push_back(span_of(run, t, base, hovered_link));
    if (spans.empty()) spans.emplace_back(" ", base);
    return spans;
}

double draw_markup(vemo_ui::DrawContext& ctx, std::vector<Block> const& blocks, double x, double y,
                   double width, bool draw, MarkupFrame const& frame) {
    if (blocks.empty()) return ctx.text.line_height(text_size);
    double top = y;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0) y += gap_before(blocks[i - 1], blocks[i]);
        double h = draw_block(ctx, blocks[i], x, y, width, draw, frame);
        if (draw && blocks[i].quote_depth > 0)
            draw_quote_bars(ctx, blocks[i], i + 1 < blocks.size() ? &blocks[i + 1] : nullptr, x, y,
                            y + h);
        y += h;
    }
    return y - top;
}

bool open_link(std::string const& address) {
    auto safe = safe_link(address);
    return safe && vemo_ui::desktop::open_uri(*safe);
}

void show_link_cursor(std::optional<HitTarget> const& hover) {
    bool link = hover && hover->kind == HitKind::OpenLink;
    vemo_ui::desktop::set_cursor(link ? vemo_ui::desktop::Cursor::Pointer
                                      : vemo_ui::desktop::Cursor::Default);
}

}  // namespace chat
