#include <algorithm>
#include <cmath>
#include <ranges>

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

constexpr int64_t day_reference = 1782477600;
constexpr double day_label_height = 44;
constexpr double list_top_pad = 8;      // room above the welcome header at the top of history
constexpr double welcome_height = 150;  // the channel's welcome header above the day label
constexpr ListScroll::Pads conversation_pads{welcome_height + day_label_height + list_top_pad, 12};

}  // namespace

// --- Main area ---------------------------------------------------------------------------

void ChatApp::draw_main(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    if (r.width < 1) return;
    ctx.painter.push_clip(r);
    draw_heading(ctx, m_regions.heading);

    Rect below = Rect::from_edges(r.x, m_regions.heading.bottom(), r.right(), r.bottom());
    double composer_h = 0;
    if (!m_nav.channel_id.empty()) {
        if (can_write()) {
            composer_h = draw_composer(ctx, below, false);
        } else {
            std::string notice = "🔒 View-only access to this workspace";
            Rect card{below.x + row_pad_x, below.bottom() - 70, below.width - 2 * row_pad_x, 50};
            ctx.painter.fill_rounded_rect(card, 14, t.notice);
            auto size = ctx.text.measure(notice, 14);
            ctx.text.draw_text(ctx.painter, notice,
                               {card.x + 16, card.center().y - size.height / 2}, 14, t.notice_text);
            composer_h = 90;
        }
    }
    Rect list = Rect::from_edges(below.x, below.y, below.right(), below.bottom() - composer_h);
    if (!m_document_status.empty()) list = draw_document_status(ctx, list);
    draw_message_list(ctx, list);
    ctx.painter.pop_clip();
}

// The framework's notice about the document, in one line above the messages.
Rect ChatApp::draw_document_status(DrawContext& ctx, Rect r) {
    Rect card{r.x + row_pad_x, r.y + 8, r.width - 2 * row_pad_x, 32};
    ctx.painter.fill_rounded_rect(card, 10, ctx.theme.notice);
    ctx.text.draw_text_weighted(ctx.painter, m_document_status, {card.x + 12, card.y + 8}, 13,
                                FontWeight::Regular, ctx.theme.notice_text, card.width - 24, true);
    return Rect::from_edges(r.x, card.bottom() + 8, r.right(), r.bottom());
}

void ChatApp::draw_heading(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    double x = r.x + row_pad_x;
    if (m_modes.narrow) {
        icon_button(ctx, {r.x + 12, r.center().y - 16, 32, 32}, "☰", {HitKind::ToggleLeftFlap}, 17);
        x = r.x + 54;
    }
    double right = r.right() - 12;
    icon_button(ctx, {right - 32, r.center().y - 16, 32, 32}, "👥", {HitKind::ToggleRightFlap}, 16);
    right -= 36;
    icon_button(ctx, {right - 32, r.center().y - 16, 32, 32}, "📞", {HitKind::StartCall}, 15);
    right -= 44;

    if (auto const* c = find_channel(m_nav.channel_id)) {
        std::string label =
            std::string(channel_marker(c->kind == ChannelKind::Voice)) + " " + c->name;
        auto size = ctx.text.draw_text_weighted(
            ctx.painter, label, {x, r.center().y - ctx.text.line_height(17) / 2}, 17,
            FontWeight::Bold, t.text_primary, std::max(40.0, right - x), true);
        double tx = x + size.width + 14;
        if (!c->topic.empty() && right - tx > 60) {
            ctx.painter.fill_rect({tx - 7, r.center().y - 9, 1, 18}, t.hairline_strong);
            ctx.text.draw_text_weighted(
                ctx.painter, c->topic, {tx + 6, r.center().y - ctx.text.line_height(13.5) / 2},
                13.5, FontWeight::Regular, t.text_secondary, right - tx - 6, true);
        }
    } else {
        ctx.text.draw_text_weighted(ctx.painter, "No conversation open",
                                    {x, r.center().y - ctx.text.line_height(16) / 2}, 16,
                                    FontWeight::Semibold, t.text_secondary);
    }
    vemo_ui::surface::separator(ctx.painter, t, {r.x, r.bottom() - 1}, r.width);
}

bool ChatApp::grouped_with_previous(size_t pos) const {
    if (pos == 0) return false;
    auto const& m = m_view.messages[m_top_level[pos]];
    auto const& prev = m_view.messages[m_top_level[pos - 1]];
    return prev.author == m.author && m.ts - prev.ts < group_window && m.ts >= prev.ts &&
           !prev.work && !m_reply_counts.contains(prev.id);
}

void ChatApp::draw_day_label(DrawContext& ctx, Rect list, double y) {
    auto const& t = ctx.theme;
    std::string label =
        m_top_level.empty()
            ? "Today"
            : model::day_label(m_view.messages[m_top_level.front()].ts, day_reference);
    auto size = ctx.text.measure(label, 11.5, FontWeight::Semibold);
    double cy = y + day_label_height / 2;
    ctx.painter.fill_rect({list.x + row_pad_x, cy, list.width - 2 * row_pad_x, 1}, t.hairline);
    Rect pill{list.center().x - size.width / 2 - 12, cy - 11, size.width + 24, 22};
    ctx.painter.fill_rounded_rect(pill, 11, t.window_fill);
    vemo_ui::surface::soft_outline(ctx.painter, t, pill, 11);
    ctx.text.draw_text_weighted(ctx.painter, label,
                                {pill.x + 12, pill.center().y - size.height / 2}, 11.5,
                                FontWeight::Semibold, t.text_secondary);
}

// The channel's badge, name and a line saying its history starts here, drawn above the day
// label of the first message once the list has been scrolled back that far.
void ChatApp::draw_welcome_header(DrawContext& ctx, Rect list, double bottom) {
    auto const& t = ctx.theme;
    auto const* c = find_channel(m_nav.channel_id);
    if (!c || bottom <= list.y) return;
    // The sidebar's marker of the channel's kind; a picture marker is set apart by a space.
    bool voice = c->kind == ChannelKind::Voice;
    std::string marker(channel_marker(voice));
    std::string named = marker + (voice ? " " : "") + c->name;
    Rect badge{list.x + row_pad_x, bottom - welcome_height, 64, 64};
    ctx.painter.fill_rounded_rect(badge, 20, t.accent_soft);
    double glyph_size = voice ? 26 : 30;
    auto g = ctx.text.measure(marker, glyph_size, FontWeight::Bold);
    ctx.text.draw_text_weighted(ctx.painter, marker,
                                {badge.center().x - g.width / 2, badge.center().y - g.height / 2},
                                glyph_size, FontWeight::Bold, t.link);
    double w = list.width - 2 * row_pad_x;
    m_welcome_texts = {marker, "Welcome to " + named};
    ctx.text.draw_text_weighted(ctx.painter, m_welcome_texts.second, {badge.x, badge.bottom() + 14},
                                24, FontWeight::Bold, t.text_primary, w, true);
    ctx.text.draw_text_weighted(ctx.painter, "This is the start of the " + named + " channel.",
                                {badge.x, badge.bottom() + 50}, 14.5, FontWeight::Regular,
                                t.text_secondary, w, true);
    m_welcome_header = Rect{badge.x, badge.y, w, welcome_height - 16};
}

// Scrolls the conversation to a message asked for since the last draw: centred when the
// search or a notification brings it, just into view (clear of the "Jump to latest" button)
// when the keyboard or a screen reader moves to it.
void ChatApp::apply_pending_reveal(DrawContext& ctx, Rect list) {
    if (!m_pending_reveal) return;
    std::string target = std::exchange(m_pending_reveal, std::nullopt).value();
    bool nearest = std::exchange(m_reveal_nearest, false);
    auto pos = std::ranges::find_if(m_top_level,
                                    [&](size_t i) { return m_view.messages[i].id == target; });
    if (pos == m_top_level.end()) return;
    m_scroll.reveal(size_t(pos - m_top_level.begin()), m_top_level.size(),
                    conversation_row_height(ctx, list), list.height, conversation_pads, nearest,
                    jump_button_cover);
}

std::function<double(size_t)> ChatApp::conversation_row_height(DrawContext& ctx, Rect list) {
    return [this, &ctx, list](size_t pos) {
        return layout_message(ctx, m_view.messages[m_top_level[pos]], grouped_with_previous(pos),
                              {list.x, 0, list.width, 0}, false, false);
    };
}

void ChatApp::draw_message_list(DrawContext& ctx, Rect list) {
    m_welcome_header.reset();
    if (list.height < 1) return;
    apply_pending_reveal(ctx, list);
    ctx.painter.push_clip(list);
    auto placed = m_scroll.place(m_top_level.size(), conversation_row_height(ctx, list), list.y,
                                 list.bottom(), conversation_pads, false);
    // Painted from the latest upwards, the order they are measured in.
    std::vector<RowBox> rows;
    for (auto const& row : std::views::reverse(placed.rows)) {
        auto const& m = m_view.messages[m_top_level[row.index]];
        Rect r{list.x, row.top, list.width, row.height};
        layout_message(ctx, m, grouped_with_previous(row.index), r, false, true);
        rows.push_back({m.id, r});
    }
    double y = placed.first_top;
    if (placed.reached_first) {
        y -= day_label_height;
        if (y + day_label_height > list.y) draw_day_label(ctx, list, y);
        draw_welcome_header(ctx, list, y);
    }
    std::ranges::reverse(rows);
    m_rows = std::move(rows);
    for (auto const& row : m_rows)
        if (m_focused_row == row.message) row_focus_ring(ctx, row.rect);

    if (m_scroll.scrolled_back())
        draw_jump_to_latest(ctx, list, ctx.theme.window_fill, {HitKind::JumpToLatest});
    ctx.painter.pop_clip();
}

// The button back to the latest row of the conversation or (`a` the thread tag) the thread.
void ChatApp::draw_jump_to_latest(DrawContext& ctx, Rect list, Color background,
                                  HitTarget const& jump) {
    hit(draw_jump_button(ctx, list, background, m_hover && *m_hover == jump,
                         m_focused && *m_focused == jump),
        jump);
}

double ChatApp::draw_composer(DrawContext& ctx, Rect area, bool thread) {
    auto const& t = ctx.theme;
    auto& input = thread ? m_thread_composer : m_composer;
    double pad = thread ? 14 : row_pad_x;
    input.set_draws_frame(false);
    input.set_padding(14, 11);
    double inner_w = std::max(40.0, area.width - 2 * pad - 118);
    double h = std::clamp(input.preferred_height(inner_w), 44.0, 180.0);
    Rect box{area.x + pad, area.bottom() - 16 - h, area.width - 2 * pad, h};
    bool focused = input.is_focused();
    ctx.painter.fill_rounded_rect(box, 12, t.input_fill);
    if (focused)
        ctx.painter.stroke_rounded_rect(box.inset(0.5), 11.5, t.accent.with_alpha(0.7f), 1.5);
    else
        vemo_ui::surface::soft_outline(ctx.painter, t, box, 12);
    Rect field{box.x, box.y, box.width - 118, box.height};
    input.draw(ctx, field);
    hit(field, {thread ? HitKind::FocusThread : HitKind::FocusMain});
    (thread ? m_thread_composer_rect : m_composer_rect) = field;
    double by = box.bottom() - 38;
    draw_attach_button(ctx, {box.right() - 114, by, 34, 32}, thread);
    Rect emoji{box.right() - 76, by, 34, 32};
    icon_button(ctx, emoji, "☺", {HitKind::ComposerEmoji, "", "", emoji}, 18);
    Rect send{box.right() - 38, by, 32, 32};
    bool has_text = !trimmed(input.text()).empty();
    HitTarget send_target{HitKind::Send};
    ctx.painter.fill_rounded_rect(
        send, 8,
        has_text ? (m_hover && *m_hover == send_target ? t.accent_hover : t.accent) : t.hover_fill);
    auto g = ctx.text.measure("➤", 15);
    ctx.text.draw_text(ctx.painter, "➤",
                       {send.center().x - g.width / 2 + 1, send.center().y - g.height / 2}, 15,
                       has_text ? t.accent_text : t.text_tertiary);
    if (m_focused && *m_focused == send_target)
        vemo_ui::surface::focus_ring(ctx.painter, t, send, 8);
    hit(send, send_target);
    return h + 32 + (thread ? 0 : draw_status_line(ctx, box));
}

}  // namespace chat
