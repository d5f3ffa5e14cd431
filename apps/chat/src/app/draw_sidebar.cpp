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

constexpr double identity_bar_height = 56;

}  // namespace

// --- Left region -------------------------------------------------------------------------

void ChatApp::draw_rail(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(r, t.rail_fill);
    Rect inbox{r.x + (r.width - 48) / 2, r.y + 16, 48, 48};
    HitTarget inbox_target{HitKind::Inbox};
    bool hovered = m_hover && *m_hover == inbox_target;
    ctx.painter.fill_rounded_rect(inbox, m_in_inbox ? 16 : 24,
                                  m_in_inbox ? t.accent
                                  : hovered  ? t.elevated_fill
                                             : t.card_fill);
    auto glyph = ctx.text.measure("✉", 20);
    ctx.text.draw_text(ctx.painter, "✉",
                       {inbox.center().x - glyph.width / 2, inbox.center().y - glyph.height / 2},
                       20, m_in_inbox ? t.accent_text : t.text_secondary);
    if (auto unread = inbox_unread(); unread > 0) {
        auto text = badge_text(unread);
        auto size = ctx.text.measure(text, 9, FontWeight::Bold);
        double bw = std::max(18.0, size.width + 10);
        Rect badge{inbox.right() - bw + 4, inbox.y - 3, bw, 18};
        ctx.painter.fill_rounded_rect(badge.inset(-2), 11, t.rail_fill);
        ctx.painter.fill_rounded_rect(badge, 9, t.badge_fill);
        ctx.text.draw_text_weighted(
            ctx.painter, text,
            {badge.center().x - size.width / 2, badge.center().y - size.height / 2}, 9,
            FontWeight::Bold, t.badge_text);
    }
    if (m_focused && *m_focused == inbox_target)
        vemo_ui::surface::focus_ring(ctx.painter, t, inbox, 24);
    hit(inbox, inbox_target);
    vemo_ui::surface::separator(ctx.painter, t, {r.x + 20, inbox.bottom() + 10}, r.width - 40);

    auto ws = std::ranges::find(m_view.workspaces, m_nav.remembered_workspace_id, &Workspace::id);
    if (ws == m_view.workspaces.end()) return;
    Rect button{inbox.x, inbox.bottom() + 21, 48, 48};
    bool current = !m_in_inbox;
    ctx.painter.fill_rounded_rect(button, current ? 16 : 24, t.avatar_color(ws->color_idx));
    std::string initials = ws->glyph.empty()
                               ? vemo_ui::widget::avatar::Avatar::initials_for_name(ws->name)
                               : ws->glyph;
    auto size = ctx.text.measure(initials, 17, FontWeight::Bold);
    ctx.text.draw_text_weighted(
        ctx.painter, initials,
        {button.center().x - size.width / 2, button.center().y - size.height / 2}, 17,
        FontWeight::Bold, t.avatar_text);
    if (current) ctx.painter.fill_rounded_rect({r.x, button.y + 10, 4, 28}, 2, t.text_primary);
}

double ChatApp::draw_channel_entry(DrawContext& ctx, Channel const& c, double x, double y,
                                   double width, std::string_view from_workspace) {
    auto const& t = ctx.theme;
    double h = from_workspace.empty() ? 32 : 44;
    Rect row{x, y, width, h};
    bool voice = c.kind == ChannelKind::Voice;
    HitTarget target{voice ? HitKind::VoiceChannel : HitKind::Channel, c.id};
    if (m_renaming && !m_renaming->category && m_renaming->id == c.id) {
        Rect field = row.inset(0, 2);
        ctx.painter.fill_rounded_rect(field, t.radius_small, t.input_fill);
        vemo_ui::surface::focus_ring(ctx.painter, t, field, t.radius_small);
        m_rename_input.set_draws_frame(false);
        m_rename_input.set_text_size(14);
        m_rename_input.set_padding(10, 6);
        m_rename_input.draw(ctx, field);
        m_rename_rect = field;
        hit(field, {HitKind::FocusRename});
        return h + 2;
    }
    bool selected = !voice && c.id == m_nav.channel_id && (!m_in_inbox || !from_workspace.empty());
    bool hovered = m_hover && *m_hover == target;
    if (selected)
        ctx.painter.fill_rounded_rect(row, t.radius_small, t.selected_fill);
    else if (hovered)
        ctx.painter.fill_rounded_rect(row, t.radius_small, t.hover_fill);
    bool unread = c.unread > 0;
    std::string glyph(channel_marker(voice));
    double gsize = voice ? 13 : 16;
    auto g = ctx.text.measure(glyph, gsize);
    double line_y = from_workspace.empty() ? row.center().y : row.y + 15;
    ctx.text.draw_text(ctx.painter, glyph, {row.x + 10 + (16 - g.width) / 2, line_y - g.height / 2},
                       gsize, t.text_tertiary);
    double badge_w = 0;
    if (unread) {
        auto text = badge_text(c.unread);
        auto size = ctx.text.measure(text, 9, FontWeight::Bold);
        badge_w = std::max(18.0, size.width + 10);
        Rect badge{row.right() - 8 - badge_w, line_y - 9, badge_w, 18};
        ctx.painter.fill_rounded_rect(badge, 9, t.badge_fill);
        ctx.text.draw_text_weighted(
            ctx.painter, text,
            {badge.center().x - size.width / 2, badge.center().y - size.height / 2}, 9,
            FontWeight::Bold, t.badge_text);
    }
    double name_size = 14.5;
    auto weight = unread || selected ? FontWeight::Semibold : FontWeight::Regular;
    double lh = ctx.text.line_height(name_size);
    ctx.text.draw_text_weighted(ctx.painter, c.name, {row.x + 34, line_y - lh / 2}, name_size,
                                weight,
                                selected || unread || hovered ? t.text_primary : t.text_secondary,
                                row.width - 46 - badge_w, true);
    if (!from_workspace.empty())
        ctx.text.draw_text_weighted(ctx.painter, std::string(from_workspace),
                                    {row.x + 34, row.y + 25}, 12, FontWeight::Regular,
                                    t.text_tertiary, row.width - 46, true);
    if (voice) {
        auto it = m_view.voice_participants.find(c.id);
        if (it != m_view.voice_participants.end() && !it->second.empty()) {
            double ax = row.x + 34;
            double extra = 0;
            for (auto const& part : it->second) {
                auto const* p = model::find_person(m_view.directory, part.person);
                Rect av{ax, row.bottom() + 2 + extra, 20, 20};
                if (part.talking) ctx.painter.stroke_rounded_rect(av.inset(-2), 12, t.success, 2);
                vemo_ui::widget::avatar::Avatar::draw(ctx.painter, t, ctx.text, av,
                                                      p ? p->initials : "?", p ? p->color_idx : 0);
                ctx.text.draw_text_weighted(ctx.painter, p ? p->name : "Unknown person",
                                            {av.right() + 8, av.y + 2}, 12.5, FontWeight::Regular,
                                            t.text_secondary, row.width - 70, true);
                if (part.muted)
                    ctx.text.draw_text(ctx.painter, "🔇", {row.right() - 24, av.y + 2}, 11,
                                       t.text_tertiary);
                std::string state = part.muted && part.talking ? "muted, talking"
                                    : part.muted               ? "muted"
                                    : part.talking             ? "talking"
                                                               : "listening";
                m_access_boxes.push_back({voice_group_prefix + c.id,
                                          "voice-participant:" + c.id + ":" + part.person,
                                          p ? p->name : std::string("Unknown person"),
                                          {av.x, av.y, row.right() - av.x, av.height},
                                          "In " + c.name + ", " + state});
                extra += 24;
            }
            if (m_focused && *m_focused == target)
                vemo_ui::surface::focus_ring(ctx.painter, t, row, t.radius_small);
            hit(row, target);
            return h + 2 + extra + 2;
        }
    }
    if (m_focused && *m_focused == target)
        vemo_ui::surface::focus_ring(ctx.painter, t, row, t.radius_small);
    hit(row, target);
    return h + 2;
}

void ChatApp::draw_sidebar(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(r, t.sidebar_fill);
    vemo_ui::chrome::shell::panel_border(ctx.painter, t, r, vemo_ui::chrome::shell::Edge::Right);
    double x = r.x + 12, w = r.width - 24;

    // Header: the workspace (or the inbox) title.
    Rect header{r.x, r.y, r.width, 48};
    HitTarget context{HitKind::CurrentContext};
    if (m_hover && *m_hover == context) ctx.painter.fill_rect(header, t.hover_fill);
    std::string title = m_in_inbox ? "Inbox" : workspace_name(m_nav.remembered_workspace_id);
    ctx.text.draw_text_weighted(ctx.painter, title, {x + 4, r.y + 15}, 16, FontWeight::Bold,
                                t.text_primary, w - 8, true);
    if (m_focused && *m_focused == context)
        vemo_ui::surface::focus_ring(ctx.painter, t, header.inset(4), t.radius_small);
    hit(header, context);
    double y = draw_search_field(ctx, x, header.bottom(), w);
    if (m_in_inbox) {
        // Wrapped, not cut: the sidebar is narrower than the sentence.
        auto spans = std::vector<vemo_ui::TextSpan>{
            {"Conversations across Vemo workspaces", t.text_secondary}};
        auto size = ctx.text.draw_rich(ctx.painter, spans, {x + 4, y - 6}, w - 8, 12);
        y += size.height - 2;
    } else {
        std::string chip = translate("chat-sidebar-add-category");
        auto chip_size = ctx.text.measure(chip, 12, FontWeight::Medium);
        Rect chip_rect{x + 4, y, chip_size.width + 20, 24};
        HitTarget add{HitKind::AddCategory, m_nav.remembered_workspace_id};
        bool hovered = m_hover && *m_hover == add;
        ctx.painter.fill_rounded_rect(
            chip_rect, 12,
            hovered ? t.accent_soft.with_alpha(t.accent_soft.a * 1.6f) : t.accent_soft);
        ctx.text.draw_text_weighted(ctx.painter, chip,
                                    {chip_rect.x + 10, chip_rect.center().y - chip_size.height / 2},
                                    12, FontWeight::Medium, t.link);
        if (m_focused && *m_focused == add)
            vemo_ui::surface::focus_ring(ctx.painter, t, chip_rect, 12);
        hit(chip_rect, add);
        y = chip_rect.bottom() + 12;
    }

    // The inbox entry.
    Rect inbox{x, y, w, 32};
    HitTarget inbox_target{HitKind::Inbox};
    if (m_in_inbox)
        ctx.painter.fill_rounded_rect(inbox, t.radius_small, t.selected_fill);
    else if (m_hover && *m_hover == inbox_target)
        ctx.painter.fill_rounded_rect(inbox, t.radius_small, t.hover_fill);
    ctx.text.draw_text(ctx.painter, "✉",
                       {inbox.x + 10, inbox.center().y - ctx.text.line_height(13) / 2}, 13,
                       t.text_tertiary);
    ctx.text.draw_text_weighted(ctx.painter, "Inbox",
                                {inbox.x + 34, inbox.center().y - ctx.text.line_height(14.5) / 2},
                                14.5, m_in_inbox ? FontWeight::Semibold : FontWeight::Regular,
                                m_in_inbox ? t.text_primary : t.text_secondary);
    if (auto unread = inbox_unread(); unread > 0) {
        auto text = badge_text(unread);
        auto size = ctx.text.measure(text, 9, FontWeight::Bold);
        double bw = std::max(18.0, size.width + 10);
        Rect badge{inbox.right() - 8 - bw, inbox.center().y - 9, bw, 18};
        ctx.painter.fill_rounded_rect(badge, 9, t.badge_muted_fill);
        ctx.text.draw_text_weighted(
            ctx.painter, text,
            {badge.center().x - size.width / 2, badge.center().y - size.height / 2}, 9,
            FontWeight::Bold, t.badge_muted_text);
    }
    hit(inbox, inbox_target);
    y = inbox.bottom() + 8;
    vemo_ui::surface::separator(ctx.painter, t, {x, y}, w);
    y += 10;

    Rect bar{r.x, r.bottom() - identity_bar_height, r.width, identity_bar_height};
    ctx.painter.push_clip(Rect::from_edges(r.x, y, r.right(), bar.y));
    if (m_in_inbox) {
        for (auto const& ws : m_view.workspaces)
            for (auto const& c : m_view.channels)
                if (c.workspace == ws.id && !c.archived && c.kind == ChannelKind::Text)
                    y += draw_channel_entry(ctx, c, x, y, w, ws.name);
    } else {
        for (auto const& cat : m_view.categories) {
            if (cat.workspace != m_nav.remembered_workspace_id) continue;
            Rect head{x, y, w, 28};
            if (m_renaming && m_renaming->category && m_renaming->id == cat.id) {
                ctx.painter.fill_rounded_rect(head, t.radius_small, t.input_fill);
                vemo_ui::surface::focus_ring(ctx.painter, t, head, t.radius_small);
                m_rename_input.set_draws_frame(false);
                m_rename_input.set_text_size(13);
                m_rename_input.set_padding(10, 5);
                m_rename_input.draw(ctx, head);
                m_rename_rect = head;
                hit(head, {HitKind::FocusRename});
            } else {
                HitTarget toggle{HitKind::CategoryToggle, cat.id};
                Rect toggle_rect{x, y, w - 30, 28};
                bool hovered = m_hover && *m_hover == toggle;
                ctx.text.draw_text(ctx.painter, cat.collapsed ? "▸" : "▾", {x + 6, y + 6}, 11,
                                   t.text_tertiary);
                std::string name = cat.name;
                std::ranges::transform(name, name.begin(),
                                       [](unsigned char ch) { return char(std::toupper(ch)); });
                ctx.text.draw_text_weighted(
                    ctx.painter, name, {x + 22, y + 7}, 11.5, FontWeight::Semibold,
                    hovered ? t.text_secondary : t.text_tertiary, w - 60, true);
                if (m_focused && *m_focused == toggle)
                    vemo_ui::surface::focus_ring(ctx.painter, t, toggle_rect, t.radius_small);
                hit(toggle_rect, toggle);
                icon_button(ctx, {x + w - 26, y + 2, 24, 24}, "+",
                            {HitKind::AddChannel, cat.workspace, cat.id}, 15);
            }
            y += 30;
            if (cat.collapsed) {
                // A collapsed category still shows its open or unread channels.
                for (auto const& c : m_view.channels)
                    if (c.category == cat.id && model::is_visible_in(c, cat.workspace) &&
                        (c.id == m_nav.channel_id || c.unread > 0))
                        y += draw_channel_entry(ctx, c, x, y, w, "");
            } else {
                for (auto const& c : m_view.channels)
                    if (c.category == cat.id && model::is_visible_in(c, cat.workspace))
                        y += draw_channel_entry(ctx, c, x, y, w, "");
            }
            y += 10;
        }
    }
    ctx.painter.pop_clip();
    draw_identity_bar(ctx, bar);
}

void ChatApp::draw_identity_bar(DrawContext& ctx, Rect bar) {
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(bar, t.rail_fill.with_alpha(0.35f));
    vemo_ui::surface::separator(ctx.painter, t, {bar.x, bar.y}, bar.width);
    Rect avatar{bar.x + 12, bar.center().y - 16, 32, 32};
    vemo_ui::widget::avatar::Avatar::draw(ctx.painter, t, ctx.text, avatar, m_identity.initials,
                                          m_identity.color_idx);
    Rect dot{avatar.right() - 10, avatar.bottom() - 10, 12, 12};
    ctx.painter.fill_ellipse(dot.inset(-2), t.sidebar_fill);
    ctx.painter.fill_ellipse(dot, t.success);
    bool in_call = false;
    for (auto const& [channel, parts] : m_view.voice_participants)
        for (auto const& part : parts) in_call = in_call || part.person == m_identity.id;
    ctx.text.draw_text_weighted(ctx.painter, m_identity.display_name,
                                {avatar.right() + 10, bar.y + 10}, 14, FontWeight::Semibold,
                                t.text_primary, bar.width - 70, true);
    std::string second = translate(in_call ? "chat-identity-in-voice" : "chat-identity-available");
    if (m_sharing) second += " · " + sharing_summary();
    ctx.text.draw_text_weighted(ctx.painter, second, {avatar.right() + 10, bar.y + 29}, 12,
                                FontWeight::Regular, t.text_secondary, bar.width - 100, true);
    draw_share_button(ctx, bar);
    draw_settings_button(ctx, bar);
}

}  // namespace chat
