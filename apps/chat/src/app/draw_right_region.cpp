#include <glib.h>

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

std::string presence_text(Presence p) {
    switch (p) {
        case Presence::Online:
            return "Online";
        case Presence::Idle:
            return "Idle";
        case Presence::Dnd:
            return "Do not disturb";
        case Presence::Offline:
            return "Offline";
    }
    return "Online";
}

Color presence_color(vemo_ui::Theme const& t, Presence p) {
    switch (p) {
        case Presence::Online:
            return t.success;
        case Presence::Idle:
            return t.warning;
        case Presence::Dnd:
            return t.danger;
        case Presence::Offline:
            return t.text_disabled;
    }
    return t.success;
}

constexpr double reply_rule_height = 26;  // the "N replies" line under the thread's root
constexpr ListScroll::Pads thread_pads{4, 12};

}  // namespace

// --- Right region ------------------------------------------------------------------------

void ChatApp::draw_right(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(r, t.panel_fill);
    vemo_ui::chrome::shell::panel_border(ctx.painter, t, r, vemo_ui::chrome::shell::Edge::Left);
    ctx.painter.push_clip(r);
    if (m_nav.thread_root)
        draw_thread(ctx, r);
    else
        draw_people(ctx, r);
    ctx.painter.pop_clip();
}

void ChatApp::draw_people(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    ctx.text.draw_text_weighted(ctx.painter, "People", {r.x + 20, r.y + 18}, 16, FontWeight::Bold,
                                t.text_primary);
    auto count = std::to_string(m_view.people.size());
    ctx.text.draw_text(
        ctx.painter, count,
        {r.x + 20 + ctx.text.measure("People", 16, FontWeight::Bold).width + 8, r.y + 20}, 13,
        t.text_tertiary);
    vemo_ui::surface::separator(ctx.painter, t, {r.x, r.y + heading_height - 1}, r.width);
    double y = r.y + heading_height + 10;
    for (auto const& p : m_view.people) {
        Rect row{r.x + 10, y, r.width - 20, 48};
        Rect av{row.x + 10, row.y + 8, 32, 32};
        vemo_ui::widget::avatar::Avatar::draw(ctx.painter, t, ctx.text, av, p.initials,
                                              p.color_idx);
        Rect dot{av.right() - 10, av.bottom() - 10, 12, 12};
        ctx.painter.fill_ellipse(dot.inset(-2), t.panel_fill);
        auto given = m_presence_colors.find(p.id);
        ctx.painter.fill_ellipse(
            dot, given != m_presence_colors.end() ? given->second : presence_color(t, p.status));
        // The local person is marked once, however they are named.
        bool marked = g_ascii_strcasecmp(p.name.c_str(), "you") == 0;
        std::string name = p.name + (p.id == m_identity.id && !marked ? " (you)" : "");
        auto size = ctx.text.draw_text_weighted(
            ctx.painter, name, {av.right() + 12, row.y + 7}, 14, FontWeight::Semibold,
            p.status == Presence::Offline ? t.text_secondary : t.text_primary, row.width - 70,
            true);
        if (p.agent)
            ctx.text.draw_text_weighted(ctx.painter, "AGENT",
                                        {av.right() + 18 + size.width, row.y + 10}, 9.5,
                                        FontWeight::Bold, t.link);
        ctx.text.draw_text(ctx.painter, presence_text(p.status), {av.right() + 12, row.y + 26}, 12,
                           t.text_tertiary);
        m_access_boxes.push_back({"people", "person:" + p.id,
                                  name + (p.agent ? ", agent, " : ", ") + presence_text(p.status),
                                  row});
        y += 50;
    }
}

void ChatApp::draw_thread(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    ctx.text.draw_text_weighted(ctx.painter, "Thread", {r.x + 20, r.y + 18}, 16, FontWeight::Bold,
                                t.text_primary);
    if (auto const* c = find_channel(m_nav.channel_id))
        ctx.text.draw_text(
            ctx.painter, std::string(channel_marker(c->kind == ChannelKind::Voice)) + " " + c->name,
            {r.x + 28 + ctx.text.measure("Thread", 16, FontWeight::Bold).width, r.y + 21}, 13,
            t.text_tertiary);
    icon_button(ctx, {r.right() - 44, r.y + 14, 32, 32}, "✕", {HitKind::CloseThread}, 14);
    vemo_ui::surface::separator(ctx.painter, t, {r.x, r.y + heading_height - 1}, r.width);

    Rect below = Rect::from_edges(r.x, r.y + heading_height, r.right(), r.bottom());
    double composer_h = can_write() ? draw_composer(ctx, below, true) : 0;
    Rect list = Rect::from_edges(r.x, below.y, r.right(), below.bottom() - composer_h);
    m_thread_list = list;
    if (list.height < 1) return;
    ctx.painter.push_clip(list);
    // Row 0 is the root with the reply count under it; row i is reply i - 1. Each row is
    // measured before it is drawn: its background, focus ring and hit region take its height.
    auto const* root = find_message(*m_nav.thread_root);
    auto replies = thread_replies();
    auto grouped = [&](size_t i) {
        if (i < 2) return false;
        auto const& prev = *replies[i - 2];
        auto const& m = *replies[i - 1];
        return prev.author == m.author && m.ts - prev.ts < group_window;
    };
    Rect measure{list.x, 0, list.width, 0};
    auto root_height = [&] {
        return root ? layout_message(ctx, *root, false, measure, true, false) : 0.0;
    };
    auto height = [&](size_t i) {
        return i == 0 ? root_height() + reply_rule_height
                      : layout_message(ctx, *replies[i - 1], grouped(i), measure, true, false);
    };
    size_t count = replies.size() + 1;
    if (auto target = std::exchange(m_pending_thread_reveal, std::nullopt)) {
        auto at = std::ranges::find(replies, *target, &Message::id);
        size_t index = at != replies.end() ? size_t(at - replies.begin()) + 1 : 0;
        if (at != replies.end() || *target == *m_nav.thread_root)
            m_thread_scroll.reveal(index, count, height, list.height, thread_pads, true,
                                   jump_button_cover);
    }
    auto placed = m_thread_scroll.place(count, height, list.y, list.bottom(), thread_pads, true);
    for (auto const& row : placed.rows) {
        if (row.index > 0) {
            auto const& m = *replies[row.index - 1];
            Rect box{list.x, row.top, list.width, row.height};
            layout_message(ctx, m, grouped(row.index), box, true, true);
            m_thread_rows.push_back({m.id, box});
            continue;
        }
        double root_h = row.height - reply_rule_height;
        if (root) {
            Rect box{list.x, row.top, list.width, root_h};
            layout_message(ctx, *root, false, box, true, true);
            m_thread_rows.push_back({root->id, box});
        }
        double y = row.top + root_h;
        size_t n =
            m_reply_counts.contains(*m_nav.thread_root) ? m_reply_counts.at(*m_nav.thread_root) : 0;
        std::string label = std::to_string(n) + (n == 1 ? " reply" : " replies");
        auto size = ctx.text.measure(label, 12, FontWeight::Semibold);
        ctx.text.draw_text_weighted(ctx.painter, label, {list.x + 16, y + 6}, 12,
                                    FontWeight::Semibold, t.text_tertiary);
        ctx.painter.fill_rect(
            {list.x + 24 + size.width, y + 6 + size.height / 2, list.width - 40 - size.width, 1},
            t.hairline);
    }
    if (m_thread_scroll.scrolled_back())
        draw_jump_to_latest(ctx, list, t.panel_fill, {HitKind::JumpToLatest, thread_row_tag});
    ctx.painter.pop_clip();
}

std::vector<Message const*> ChatApp::thread_replies() const {
    std::vector<Message const*> out;
    if (!m_nav.thread_root) return out;
    for (auto const& m : m_view.messages)
        if (m.parent == m_nav.thread_root) out.push_back(&m);
    return out;
}

std::vector<Message const*> ChatApp::thread_messages() const {
    std::vector<Message const*> out;
    if (!m_nav.thread_root) return out;
    if (auto const* root = find_message(*m_nav.thread_root)) out.push_back(root);
    auto replies = thread_replies();
    out.insert(out.end(), replies.begin(), replies.end());
    return out;
}

}  // namespace chat
