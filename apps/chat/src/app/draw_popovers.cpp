#include <algorithm>
#include <cmath>

#include "app/chat_app.hpp"
#include "app/draw_support.hpp"
#include "app/localisation.hpp"
#include "vemo_ui/avatar.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

using vemo_ui::Color;
using vemo_ui::DrawContext;
using vemo_ui::FontWeight;
using vemo_ui::Point;
using vemo_ui::Rect;

namespace {

constexpr double picker_cell = 36;
constexpr double picker_pad = 12;
constexpr double picker_heading = 22;

}  // namespace

// --- Popovers ----------------------------------------------------------------------------

void ChatApp::draw_emoji_picker(DrawContext& ctx) {
    if (!m_emoji) return;
    auto const& t = ctx.theme;
    Rect content = content_bounds();
    hit(content, {HitKind::Dismiss});
    double w = 2 * picker_pad + 6 * picker_cell;
    double h = 2 * picker_pad;
    for (auto const& cat : emoji_categories)
        h += picker_heading + picker_cell * (cat.title == "Frequent" ? 1 : 2);
    Rect anchor = m_emoji->anchor;
    // Opened by keyboard or automation without a control to point at: sit over the composer.
    if (anchor.is_empty()) anchor = {m_composer_rect.right(), m_composer_rect.y, 1, 1};
    double x = std::clamp(anchor.right() - w, content.x + 8,
                          std::max(content.x + 8, content.right() - w - 8));
    double y = anchor.y - h - 8;
    if (y < content.y + 8) y = std::min(anchor.bottom() + 8, content.bottom() - h - 8);
    y = std::max(y, content.y + 8);
    Rect card{x, y, w, h};
    vemo_ui::surface::card(ctx.painter, t, card, t.radius_large, t.elevated_fill,
                           vemo_ui::surface::Elevation::High);
    double cy = card.y + picker_pad;
    for (auto const& cat : emoji_categories) {
        ctx.text.draw_text_weighted(ctx.painter, std::string(cat.title),
                                    {card.x + picker_pad + 4, cy + 4}, 10.5, FontWeight::Semibold,
                                    t.text_tertiary);
        cy += picker_heading;
        size_t count = cat.title == "Frequent" ? frequent_count : cat.emoji.size();
        for (size_t i = 0; i < count; ++i) {
            Rect cell{card.x + picker_pad + double(i % 6) * picker_cell,
                      cy + double(i / 6) * picker_cell, picker_cell, picker_cell};
            HitTarget target{HitKind::EmojiChoice, std::string(cat.emoji[i])};
            bool hov = m_hover && *m_hover == target && m_hover->anchor == Rect{};
            if (hov ||
                (m_hover && m_hover->kind == HitKind::EmojiChoice && cell.contains(m_pointer)))
                ctx.painter.fill_rounded_rect(cell.inset(2), 8, t.hover_fill);
            auto g = ctx.text.measure(cat.emoji[i], 20);
            ctx.text.draw_text(ctx.painter, cat.emoji[i],
                               {cell.center().x - g.width / 2, cell.center().y - g.height / 2}, 20,
                               t.text_primary);
            if (m_focused && *m_focused == target && m_focused->anchor == cell)
                vemo_ui::surface::focus_ring(ctx.painter, t, cell.inset(2), 8);
            target.anchor = cell;
            hit(cell, target);
        }
        cy += picker_cell * double((count + 5) / 6);
    }
}

void ChatApp::draw_history_popover(DrawContext& ctx) {
    if (!m_history) return;
    auto const* m = find_message(m_history->message);
    if (!m) return;
    auto const& t = ctx.theme;
    Rect content = content_bounds();
    hit(content, {HitKind::Dismiss});
    double w = 340;
    double h = 48;
    std::vector<std::pair<std::string, std::string>> entries;
    for (auto const& e : m->history) entries.emplace_back(clock_time(e.ts), e.text);
    entries.emplace_back("Current", m->text);
    std::vector<double> heights;
    for (auto const& [when, text] : entries) {
        heights.push_back(18 + ctx.text.measure(text, 13.5, FontWeight::Regular, w - 32).height +
                          12);
        h += heights.back();
    }
    Rect anchor = m_history->anchor;
    double x =
        std::clamp(anchor.x, content.x + 8, std::max(content.x + 8, content.right() - w - 8));
    double y = anchor.bottom() + 6;
    if (y + h > content.bottom() - 8) y = std::max(content.y + 8, anchor.y - h - 6);
    Rect card{x, y, w, h};
    m_history_card = card;
    vemo_ui::surface::card(ctx.painter, t, card, t.radius_large, t.elevated_fill,
                           vemo_ui::surface::Elevation::High);
    ctx.text.draw_text_weighted(ctx.painter, "Edit history", {card.x + 16, card.y + 14}, 14,
                                FontWeight::Bold, t.text_primary);
    double ey = card.y + 42;
    for (size_t i = 0; i < entries.size(); ++i) {
        ctx.text.draw_text_weighted(ctx.painter, entries[i].first, {card.x + 16, ey}, 11.5,
                                    FontWeight::Semibold, t.text_tertiary);
        ctx.text.draw_text_weighted(
            ctx.painter, entries[i].second, {card.x + 16, ey + 18}, 13.5, FontWeight::Regular,
            i + 1 == entries.size() ? t.text_primary : t.text_secondary, w - 32);
        m_access_boxes.push_back({"history",
                                  "history:" + std::to_string(i),
                                  entries[i].first + ": " + entries[i].second,
                                  {card.x + 16, ey, w - 32, heights[i]}});
        ey += heights[i];
    }
}

}  // namespace chat
