#include <algorithm>
#include <cmath>

#include "app/chat_app.hpp"
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
constexpr double row_pad_x = 20;
constexpr double avatar_size = 36;
constexpr double text_size = 15;
constexpr double max_text_width = 760;
constexpr double group_window = 300;  // seconds between messages shown as one block
constexpr int64_t day_reference = 1782477600;
constexpr double day_label_height = 44;
constexpr double picker_cell = 36;
constexpr double picker_pad = 12;
constexpr double picker_heading = 22;

std::string size_text(uint64_t bytes) {
    char buf[32];
    if (bytes >= 1 << 20)
        std::snprintf(buf, sizeof buf, "%.1f MB", double(bytes) / double(1 << 20));
    else if (bytes >= 1024)
        std::snprintf(buf, sizeof buf, "%.1f KB", double(bytes) / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
}

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

// Message text with mentions as pills.
std::vector<vemo_ui::TextSpan> message_spans(Message const& m, vemo_ui::Theme const& t) {
    std::vector<vemo_ui::TextSpan> spans;
    auto mentions = m.mentions;
    std::ranges::sort(mentions, {}, &Mention::start);
    size_t at = 0;
    for (auto const& mention : mentions) {
        // Mention offsets count bytes; a span that does not fit the text is shown as plain text.
        if (mention.start > m.text.size() || mention.len > m.text.size() - mention.start) continue;
        size_t b = size_t(mention.start);
        size_t e = size_t(mention.start + mention.len);
        if (b < at || e <= b) continue;
        if (b > at) spans.emplace_back(m.text.substr(at, b - at), t.text_primary);
        spans.emplace_back(m.text.substr(b, e - b), t.mention_text, FontWeight::Medium, false,
                           false, t.mention_fill);
        at = e;
    }
    if (at < m.text.size()) spans.emplace_back(m.text.substr(at), t.text_primary);
    if (spans.empty()) spans.emplace_back(" ", t.text_primary);
    return spans;
}

std::string work_state_text(AgentWork const& work) {
    return std::visit(
        [](auto const& s) -> std::string {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, AgentWorkState::Taken>)
                return "Working on it";
            else if constexpr (std::is_same_v<S, AgentWorkState::Waiting>)
                return "Waiting for " + s.app;
            else if constexpr (std::is_same_v<S, AgentWorkState::Doing>)
                return s.about.empty() ? s.did : s.did + " — " + s.about;
            else if constexpr (std::is_same_v<S, AgentWorkState::Done>)
                return "Done: " + s.did;
            else
                return "Declined";
        },
        work.state.value);
}

std::string step_outcome_text(AgentStepOutcome const& o) {
    return std::visit(
        [](auto const& s) -> std::string {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, AgentStepOutcome::Asked>)
                return "asked";
            else if constexpr (std::is_same_v<S, AgentStepOutcome::Applied>)
                return "applied";
            else if constexpr (std::is_same_v<S, AgentStepOutcome::NoChange>)
                return "no change";
            else
                return "refused: " + s.why;
        },
        o.value);
}

// The demonstration pictures: a call grid and a shared screen, drawn rather than stored so
// the demo needs no files.
bool paint_demo_picture(std::string_view name, vemo_ui::ImageCanvas& canvas) {
    auto& p = canvas.painter();
    double w = canvas.width(), h = canvas.height();
    auto const& t = vemo_ui::Theme::dark();
    p.fill_gradient({0, 0, w, h}, 0, Color::rgb(0x1b1f2e), Color::rgb(0x0f1118));
    if (name == "call-grid") {
        double gap = 14, tw = (w - 3 * gap) / 2, th = (h - 3 * gap - 44) / 2;
        for (int i = 0; i < 4; ++i) {
            Rect tile{gap + (i % 2) * (tw + gap), gap + (i / 2) * (th + gap), tw, th};
            p.fill_rounded_rect(tile, 14, t.avatar_color(size_t(i) + 1).with_alpha(0.35f));
            if (i == 0) p.stroke_rounded_rect(tile.inset(1), 13, t.accent, 3);
            double r = std::min(tw, th) * 0.32;
            p.fill_ellipse({tile.center().x - r, tile.center().y - r, 2 * r, 2 * r},
                           t.avatar_color(size_t(i) + 1));
            p.fill_rounded_rect({tile.x + 10, tile.bottom() - 28, 90, 18}, 9, Color::rgb(0, 0.45f));
        }
        Rect bar{w / 2 - 120, h - 40, 240, 30};
        p.fill_rounded_rect(bar, 15, Color::rgb(0x2a2f40));
        for (int i = 0; i < 5; ++i)
            p.fill_ellipse({bar.x + 22 + i * 44, bar.y + 6, 18, 18},
                           i == 4 ? t.danger : Color::rgb(0x5a6178));
        return true;
    }
    if (name == "shared-shot") {
        p.fill_rounded_rect({24, 24, w - 48, 36}, 8, Color::rgb(0x2a2f40));
        for (int i = 0; i < 6; ++i)
            p.fill_rounded_rect({24, 76 + i * 42.0, (w - 48) * (0.4 + 0.1 * (i % 4)), 28}, 6,
                                Color::rgb(0x323850));
        p.fill_rounded_rect({w * 0.62, 76, w * 0.38 - 24, h - 100}, 12, t.accent.with_alpha(0.5f));
        return true;
    }
    return false;
}

}  // namespace

void ChatApp::register_pictures() {
    m_images->register_builtin("vemo-demo://", 640, 360, paint_demo_picture);
}

void ChatApp::hit(Rect r, HitTarget target) {
    m_hits.push_back({r, std::move(target)});
}

bool ChatApp::icon_button(DrawContext& ctx, Rect r, std::string_view glyph, HitTarget target,
                          double size) {
    auto const& t = ctx.theme;
    bool hovered = m_hover && *m_hover == target;
    bool focused = m_focused && *m_focused == target;
    if (hovered) ctx.painter.fill_rounded_rect(r, t.radius_small, t.hover_fill);
    auto g = ctx.text.measure(glyph, size);
    ctx.text.draw_text(ctx.painter, glyph,
                       {r.center().x - g.width / 2, r.center().y - g.height / 2}, size,
                       hovered ? t.text_primary : t.text_secondary);
    if (focused) vemo_ui::surface::focus_ring(ctx.painter, t, r, t.radius_small);
    hit(r, std::move(target));
    return hovered;
}

// --- Window ------------------------------------------------------------------------------

void ChatApp::draw(DrawContext& ctx) {
    m_hits.clear();
    m_rows.clear();
    m_menu.set_text_renderer(&ctx.text);
    for (auto* input : {&m_composer, &m_thread_composer, &m_edit_input, &m_rename_input})
        input->set_text_renderer(&ctx.text);
    Rect content = content_bounds();
    if (content.is_empty()) return;
    m_modes = modes_for(content.width, m_ui_scale, m_modes);
    m_regions = compute_regions(content, m_modes, m_left_flap, m_right_flap,
                                m_nav.thread_root.has_value(), m_ui_scale);
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(content, t.window_fill);
    ctx.painter.push_clip(content);

    draw_main(ctx, m_regions.main);
    if (m_regions.right_shown && !m_regions.right_overlay) draw_right(ctx, m_regions.right);
    if (m_regions.left_shown && !m_regions.left_overlay) {
        draw_sidebar(ctx, m_regions.sidebar);
        draw_rail(ctx, m_regions.rail);
    }
    if (m_regions.right_shown && m_regions.right_overlay) {
        ctx.painter.fill_rect(content,
                              t.scrim.with_alpha(float(t.scrim.a * m_regions.right_eased)));
        hit(content, {HitKind::Dismiss});
        vemo_ui::surface::shadow(ctx.painter, t, m_regions.right, 0,
                                 vemo_ui::surface::Elevation::High);
        draw_right(ctx, m_regions.right);
    }
    if (m_regions.left_shown && m_regions.left_overlay) {
        ctx.painter.fill_rect(content, t.scrim.with_alpha(float(t.scrim.a * m_regions.left_eased)));
        hit(content, {HitKind::Dismiss});
        vemo_ui::surface::shadow(ctx.painter, t, m_regions.left, 0,
                                 vemo_ui::surface::Elevation::High);
        draw_sidebar(ctx, m_regions.sidebar);
        draw_rail(ctx, m_regions.rail);
    }
    draw_history_popover(ctx);
    draw_emoji_picker(ctx);
    if (m_menu.is_open()) m_menu.draw(ctx);
    m_tooltips.draw(ctx, content);
    ctx.painter.pop_clip();
}

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
    std::string glyph = voice ? "🔊" : "#";
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
    double y = header.bottom();
    if (m_in_inbox) {
        ctx.text.draw_text_weighted(ctx.painter, "Conversations across Vemo workspaces",
                                    {x + 4, y - 6}, 12, FontWeight::Regular, t.text_secondary,
                                    w - 8, true);
        y += 18;
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
    ctx.text.draw_text_weighted(
        ctx.painter, translate(in_call ? "chat-identity-in-voice" : "chat-identity-available"),
        {avatar.right() + 10, bar.y + 29}, 12, FontWeight::Regular, t.text_secondary,
        bar.width - 70, true);
}

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
    draw_message_list(ctx, list);
    ctx.painter.pop_clip();
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
        std::string label = c->kind == ChannelKind::Voice ? "🔊 " + c->name : "# " + c->name;
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

void ChatApp::draw_message_list(DrawContext& ctx, Rect list) {
    auto const& t = ctx.theme;
    if (list.height < 1) return;
    ctx.painter.push_clip(list);
    if (m_follow && m_scroll <= 0.5) m_scroll = 0;
    double bottom = list.bottom() - 12 + m_scroll;
    double y = bottom;
    bool reached_first = true;
    std::vector<RowBox> rows;
    for (size_t pos = m_top_level.size(); pos-- > 0;) {
        if (y < list.y) {
            reached_first = false;
            break;
        }
        auto const& m = m_view.messages[m_top_level[pos]];
        bool grouped = grouped_with_previous(pos);
        double h = layout_message(ctx, m, grouped, {list.x, 0, list.width, 0}, false, false);
        double top = y - h;
        if (top < list.bottom()) {
            layout_message(ctx, m, grouped, {list.x, top, list.width, h}, false, true);
            rows.push_back({m_top_level[pos], {list.x, top, list.width, h}});
        }
        y = top;
    }
    if (reached_first && m_top_level.empty()) {
        if (auto const* c = find_channel(m_nav.channel_id)) {
            Rect badge{list.x + row_pad_x, y - day_label_height - 150, 64, 64};
            ctx.painter.fill_rounded_rect(badge, 20, t.accent_soft);
            auto g = ctx.text.measure("#", 30, FontWeight::Bold);
            ctx.text.draw_text_weighted(
                ctx.painter, "#", {badge.center().x - g.width / 2, badge.center().y - g.height / 2},
                30, FontWeight::Bold, t.link);
            ctx.text.draw_text_weighted(ctx.painter, "Welcome to #" + c->name,
                                        {badge.x, badge.bottom() + 14}, 24, FontWeight::Bold,
                                        t.text_primary, list.width - 2 * row_pad_x, true);
            ctx.text.draw_text_weighted(ctx.painter,
                                        "This is the start of the #" + c->name + " channel.",
                                        {badge.x, badge.bottom() + 50}, 14.5, FontWeight::Regular,
                                        t.text_secondary, list.width - 2 * row_pad_x, true);
        }
    }
    if (reached_first) {
        y -= day_label_height;
        if (y + day_label_height > list.y) draw_day_label(ctx, list, y);
        // Nothing above the first message: never scroll past it.
        double total = bottom - y;
        double max_scroll = std::max(0.0, total + 12 - list.height);
        if (m_scroll > max_scroll) m_scroll = max_scroll;
    }
    std::ranges::reverse(rows);
    m_rows = std::move(rows);
    if (m_focused_row && *m_focused_row < m_rows.size())
        vemo_ui::surface::focus_ring(ctx.painter, t, m_rows[*m_focused_row].rect.inset(4, 0),
                                     t.radius_small);

    if (m_scroll > 0.5) {
        std::string label = "↓ Jump to latest";
        auto size = ctx.text.measure(label, 13, FontWeight::Semibold);
        Rect pill{list.center().x - size.width / 2 - 16, list.bottom() - 48, size.width + 32, 34};
        HitTarget jump{HitKind::JumpToLatest};
        vemo_ui::surface::card(ctx.painter, t, pill, 17,
                               m_hover && *m_hover == jump ? t.accent_hover : t.accent,
                               vemo_ui::surface::Elevation::Medium);
        ctx.text.draw_text_weighted(ctx.painter, label,
                                    {pill.x + 16, pill.center().y - size.height / 2}, 13,
                                    FontWeight::Semibold, t.accent_text);
        if (m_focused && *m_focused == jump) vemo_ui::surface::focus_ring(ctx.painter, t, pill, 17);
        hit(pill, jump);
    }
    ctx.painter.pop_clip();
}

double ChatApp::layout_message(DrawContext& ctx, Message const& m, bool grouped, Rect r,
                               bool in_thread, bool draw) {
    auto const& t = ctx.theme;
    double pad_x = in_thread ? 16 : row_pad_x;
    double content_x = r.x + pad_x + avatar_size + 12;
    double width = std::max(40.0, std::min(max_text_width, r.right() - pad_x - content_x));
    double y = r.y + (grouped ? 2 : 12);
    bool hovered = m_hover_message == m.id;
    if (draw) {
        if (hovered) ctx.painter.fill_rect(r, t.hover_fill);
        if (!in_thread) hit(r, {HitKind::MessageMenu, m.id});
    }
    if (!grouped) {
        if (draw) {
            auto const* p = model::find_person(m_view.directory, m.author);
            vemo_ui::widget::avatar::Avatar::draw(ctx.painter, t, ctx.text,
                                                  {r.x + pad_x, y + 2, avatar_size, avatar_size},
                                                  p ? p->initials : "?", p ? p->color_idx : 0);
            auto name = model::person_name(m_view.directory, m.author);
            auto size =
                ctx.text.draw_text_weighted(ctx.painter, name, {content_x, y}, 15,
                                            FontWeight::Semibold, t.text_primary, width - 60, true);
            double nx = content_x + size.width + 8;
            if (p && p->agent) {
                auto tag = ctx.text.measure("AGENT", 9.5, FontWeight::Bold);
                Rect pill{nx, y + 3, tag.width + 10, 16};
                ctx.painter.fill_rounded_rect(pill, 4, t.accent_soft);
                ctx.text.draw_text_weighted(ctx.painter, "AGENT",
                                            {pill.x + 5, pill.center().y - tag.height / 2}, 9.5,
                                            FontWeight::Bold, t.link);
                nx = pill.right() + 8;
            }
            ctx.text.draw_text(ctx.painter, clock_time(m.ts), {nx, y + 3}, 12, t.text_tertiary);
            if (m.pinned)
                ctx.text.draw_text(ctx.painter, "📌", {nx + 44, y + 2}, 11, t.text_tertiary);
        }
        y += 22;
    } else if (draw && hovered) {
        ctx.text.draw_text(ctx.painter, clock_time(m.ts), {r.x + pad_x - 2, y + 3}, 11,
                           t.text_tertiary);
    }

    bool editing = m_editing && m_editing->message == m.id;
    if (editing) {
        m_edit_input.set_draws_frame(false);
        m_edit_input.set_text_size(text_size);
        m_edit_input.set_padding(12, 9);
        double h = std::clamp(m_edit_input.preferred_height(width), 40.0, 200.0);
        Rect field{content_x, y + 2, width, h};
        if (draw) {
            ctx.painter.fill_rounded_rect(field, t.radius_medium, t.input_fill);
            vemo_ui::surface::focus_ring(ctx.painter, t, field, t.radius_medium);
            m_edit_input.draw(ctx, field);
            m_edit_rect = field;
            hit(field, {HitKind::FocusEdit});
        }
        y = field.bottom() + 8;
        if (draw) {
            auto hint = ctx.text.draw_text(ctx.painter, "Enter to save · Esc to cancel",
                                           {content_x, y + 5}, 12, t.text_tertiary);
            double bx = content_x + hint.width + 16;
            auto button = [&](char const* label, HitKind kind, bool primary) {
                auto size = ctx.text.measure(label, 12.5, FontWeight::Semibold);
                Rect b{bx, y, size.width + 24, 26};
                HitTarget target{kind};
                bool hov = m_hover && *m_hover == target;
                ctx.painter.fill_rounded_rect(b, t.radius_small,
                                              primary ? (hov ? t.accent_hover : t.accent)
                                                      : (hov ? t.pressed_fill : t.hover_fill));
                ctx.text.draw_text_weighted(
                    ctx.painter, label, {b.x + 12, b.center().y - size.height / 2}, 12.5,
                    FontWeight::Semibold, primary ? t.accent_text : t.text_primary);
                if (m_focused && *m_focused == target)
                    vemo_ui::surface::focus_ring(ctx.painter, t, b, t.radius_small);
                hit(b, target);
                bx = b.right() + 8;
            };
            button("Save", HitKind::EditSave, true);
            button("Cancel", HitKind::EditCancel, false);
        }
        y += 30;
    } else {
        auto spans = message_spans(m, t);
        auto size = draw ? ctx.text.draw_rich(ctx.painter, spans, {content_x, y}, width, text_size)
                         : ctx.text.measure_rich(spans, text_size, width);
        y += size.height;
        if (m.edited) {
            std::string edited = "(edited) · view history";
            auto es = ctx.text.measure(edited, 12);
            Rect link{content_x, y + 2, es.width, es.height};
            if (draw) {
                HitTarget history{HitKind::EditHistory, m.id, "", link};
                bool hov = m_hover && *m_hover == history;
                auto first = ctx.text.draw_text(ctx.painter, "(edited) · ", {link.x, link.y}, 12,
                                                t.text_tertiary);
                ctx.text.draw_text_weighted(ctx.painter, "view history",
                                            {link.x + first.width, link.y}, 12, FontWeight::Regular,
                                            hov ? t.accent_hover : t.link, std::nullopt, false);
                hit(link, history);
            }
            y = link.bottom() + 2;
        }
    }
    if (m.attachment) y += draw_attachment(ctx, *m.attachment, content_x, y + 6, width, draw) + 6;
    if (m.work) y += draw_agent_work(ctx, *m.work, content_x, y + 6, width, draw) + 6;
    if (!m.reactions.empty()) y += draw_reactions(ctx, m, content_x, y + 6, width, draw) + 6;
    if (!in_thread) {
        auto it = m_reply_counts.find(m.id);
        if (it != m_reply_counts.end()) {
            std::string label =
                std::to_string(it->second) + (it->second == 1 ? " reply" : " replies");
            auto size = ctx.text.measure(label, 13, FontWeight::Semibold);
            Rect link{content_x - 6, y + 4, size.width + 34, 26};
            if (draw) {
                HitTarget open{HitKind::OpenThread, m.id};
                bool hov = (m_hover && *m_hover == open) || m_nav.thread_root == m.id;
                if (hov) ctx.painter.fill_rounded_rect(link, t.radius_small, t.hover_fill);
                ctx.text.draw_text(ctx.painter, "💬", {link.x + 6, link.center().y - 8}, 12,
                                   t.text_secondary);
                ctx.text.draw_text_weighted(ctx.painter, label,
                                            {link.x + 26, link.center().y - size.height / 2}, 13,
                                            FontWeight::Semibold, t.link);
                if (m_focused && *m_focused == open)
                    vemo_ui::surface::focus_ring(ctx.painter, t, link, t.radius_small);
                hit(link, open);
            }
            y = link.bottom();
        }
    }
    // Hover toolbar: react and reply without hunting for the controls.
    if (draw && hovered && !editing && !in_thread) {
        // Inside the row: rows are painted bottom-up, so the one above would cover it.
        Rect bar{r.right() - pad_x - 76, r.y + 4, 76, 32};
        vemo_ui::surface::card(ctx.painter, t, bar, 8, t.elevated_fill,
                               vemo_ui::surface::Elevation::Low);
        Rect react{bar.x + 4, bar.y + 2, 32, 28};
        if (m.reactions.empty())
            icon_button(ctx, react, "☺", {HitKind::AddReaction, m.id, "", react}, 16);
        icon_button(ctx, {bar.x + 40, bar.y + 2, 32, 28}, "💬", {HitKind::OpenThread, m.id}, 14);
    }
    return y + 6 - r.y;
}

double ChatApp::draw_reactions(DrawContext& ctx, Message const& m, double x, double y, double width,
                               bool draw) {
    auto const& t = ctx.theme;
    double cx = x, cy = y, h = 28;
    auto place = [&](double w) {
        if (cx + w > x + width && cx > x) cx = x, cy += h + 6;
        Rect chip{cx, cy, w, h};
        cx += w + 6;
        return chip;
    };
    for (auto const& g : m.reactions) {
        bool mine = std::ranges::find(g.users, m_identity.id) != g.users.end();
        auto count = std::to_string(g.users.size());
        auto cs = ctx.text.measure(count, 12.5, FontWeight::Semibold);
        Rect chip = place(cs.width + 44);
        if (!draw) continue;
        HitTarget target{HitKind::Reaction, m.id, g.emoji};
        bool hov = m_hover && *m_hover == target;
        ctx.painter.fill_rounded_rect(chip, 14,
                                      mine  ? t.accent_soft
                                      : hov ? t.hover_fill
                                            : t.card_fill);
        if (mine)
            ctx.painter.stroke_rounded_rect(chip.inset(0.5), 13.5, t.accent, 1);
        else
            vemo_ui::surface::soft_outline(ctx.painter, t, chip, 14);
        ctx.text.draw_text(ctx.painter, g.emoji,
                           {chip.x + 9, chip.center().y - ctx.text.line_height(14) / 2}, 14,
                           t.text_primary);
        ctx.text.draw_text_weighted(ctx.painter, count,
                                    {chip.x + 31, chip.center().y - cs.height / 2}, 12.5,
                                    FontWeight::Semibold, mine ? t.link : t.text_secondary);
        if (m_focused && *m_focused == target)
            vemo_ui::surface::focus_ring(ctx.painter, t, chip, 14);
        hit(chip, target);
    }
    Rect add = place(40);
    if (draw) {
        HitTarget target{HitKind::AddReaction, m.id, "", add};
        bool hov = m_hover && *m_hover == target;
        ctx.painter.fill_rounded_rect(add, 14, hov ? t.hover_fill : t.card_fill);
        vemo_ui::surface::soft_outline(ctx.painter, t, add, 14);
        auto g = ctx.text.measure("☺＋", 13);
        ctx.text.draw_text(ctx.painter, "☺＋",
                           {add.center().x - g.width / 2, add.center().y - g.height / 2}, 13,
                           hov ? t.text_primary : t.text_secondary);
        if (m_focused && *m_focused == target)
            vemo_ui::surface::focus_ring(ctx.painter, t, add, 14);
        hit(add, target);
    }
    return cy + h - y;
}

double ChatApp::draw_attachment(DrawContext& ctx, Attachment const& a, double x, double y,
                                double width, bool draw) {
    auto const& t = ctx.theme;
    if (auto const* image = std::get_if<ImageAttachment>(&a)) {
        double w = std::min(400.0, width);
        double aspect = image->w > 0 && image->h > 0 ? double(image->h) / double(image->w) : 0.5625;
        double h = std::round(w * aspect);
        Rect frame{x, y, w, h};
        if (!draw) return h + 22;
        auto lookup = m_images->get(image->blob);
        if (auto const* ref = std::get_if<vemo_ui::ImageRef>(&lookup); ref && *ref) {
            ctx.painter.draw_image(**ref, frame, 12);
            vemo_ui::surface::edge_on(ctx.painter, frame, 12, t.window_fill);
        } else {
            ctx.painter.fill_rounded_rect(frame, 12, t.card_fill);
            std::string text = std::holds_alternative<vemo_ui::ImageStore::Pending>(lookup)
                                   ? "Loading image…"
                                   : "Access not granted";
            auto size = ctx.text.measure(text, 13);
            ctx.text.draw_text(
                ctx.painter, text,
                {frame.center().x - size.width / 2, frame.center().y - size.height / 2}, 13,
                t.text_secondary);
        }
        ctx.text.draw_text_weighted(ctx.painter, image->name, {x, frame.bottom() + 4}, 12,
                                    FontWeight::Regular, t.text_tertiary, w, true);
        return h + 22;
    }
    if (auto const* video = std::get_if<VideoAttachment>(&a)) {
        double w = std::min(400.0, width);
        double h = std::round(
            w * (video->w > 0 && video->h > 0 ? double(video->h) / double(video->w) : 0.5625));
        if (!draw) return h + 22;
        Rect frame{x, y, w, h};
        ctx.painter.fill_gradient(frame, 12, Color::rgb(0x20263a), Color::rgb(0x0d0f16));
        Rect play{frame.center().x - 28, frame.center().y - 28, 56, 56};
        ctx.painter.fill_ellipse(play, Color::rgb(0xffffff, 0.18f));
        auto g = ctx.text.measure("▶", 22);
        ctx.text.draw_text(ctx.painter, "▶",
                           {play.center().x - g.width / 2 + 2, play.center().y - g.height / 2}, 22,
                           Color::rgb(0xffffff));
        std::string info = video->name + " · " + std::to_string(video->w) + "×" +
                           std::to_string(video->h) +
                           (video->size ? " · " + size_text(video->size) : "");
        ctx.text.draw_text_weighted(ctx.painter, info, {x, frame.bottom() + 4}, 12,
                                    FontWeight::Regular, t.text_tertiary, w, true);
        return h + 22;
    }
    auto const& file = std::get<FileAttachment>(a);
    double w = std::min(340.0, width), h = 56;
    if (!draw) return h;
    Rect card{x, y, w, h};
    vemo_ui::surface::card(ctx.painter, t, card, 12, t.card_fill);
    Rect icon{card.x + 10, card.y + 10, 36, 36};
    ctx.painter.fill_rounded_rect(icon, 8, t.accent_soft);
    auto g = ctx.text.measure("📄", 17);
    ctx.text.draw_text(ctx.painter, "📄",
                       {icon.center().x - g.width / 2, icon.center().y - g.height / 2}, 17, t.link);
    ctx.text.draw_text_weighted(ctx.painter, file.name, {icon.right() + 12, card.y + 10}, 14,
                                FontWeight::Semibold, t.text_primary, w - 70, true);
    ctx.text.draw_text(ctx.painter, file.size ? size_text(file.size) : std::string("File"),
                       {icon.right() + 12, card.y + 30}, 12, t.text_tertiary);
    return h;
}

double ChatApp::draw_agent_work(DrawContext& ctx, AgentWork const& work, double x, double y,
                                double width, bool draw) {
    auto const& t = ctx.theme;
    double w = std::min(480.0, width);
    auto steps = work.trace;
    std::ranges::stable_sort(steps, [](AgentStep const& a, AgentStep const& b) {
        return a.sequence.value_or(UINT64_MAX) < b.sequence.value_or(UINT64_MAX);
    });
    double h = 34 + (work.reasoning ? 20 : 0) + 20.0 * double(steps.size()) + 8;
    if (!draw) return h;
    Rect card{x, y, w, h};
    ctx.painter.fill_rounded_rect(card, 10, t.card_fill);
    ctx.painter.fill_rounded_rect({card.x, card.y, 3, card.height}, 1.5, t.accent);
    double ty = card.y + 9;
    ctx.text.draw_text_weighted(ctx.painter, "🤖 " + work_state_text(work), {card.x + 14, ty}, 13,
                                FontWeight::Semibold, t.text_primary, w - 28, true);
    ty += 25;
    if (work.reasoning) {
        std::string why = (work.reasoning->route == AgentRoute::Model ? "Reasoned: " : "Rule: ") +
                          work.reasoning->why;
        ctx.text.draw_text_weighted(ctx.painter, why, {card.x + 14, ty}, 12, FontWeight::Regular,
                                    t.text_secondary, w - 28, true);
        ty += 20;
    }
    for (auto const& step : steps) {
        ctx.text.draw_text_weighted(
            ctx.painter, "• " + step.label + " — " + step_outcome_text(step.outcome),
            {card.x + 14, ty}, 12, FontWeight::Regular, t.text_secondary, w - 28, true);
        ty += 20;
    }
    return h;
}

double ChatApp::draw_composer(DrawContext& ctx, Rect area, bool thread) {
    auto const& t = ctx.theme;
    auto& input = thread ? m_thread_composer : m_composer;
    double pad = thread ? 14 : row_pad_x;
    input.set_draws_frame(false);
    input.set_padding(14, 11);
    double inner_w = std::max(40.0, area.width - 2 * pad - 80);
    double h = std::clamp(input.preferred_height(inner_w), 44.0, 180.0);
    Rect box{area.x + pad, area.bottom() - 16 - h, area.width - 2 * pad, h};
    bool focused = input.is_focused();
    ctx.painter.fill_rounded_rect(box, 12, t.input_fill);
    if (focused)
        ctx.painter.stroke_rounded_rect(box.inset(0.5), 11.5, t.accent.with_alpha(0.7f), 1.5);
    else
        vemo_ui::surface::soft_outline(ctx.painter, t, box, 12);
    Rect field{box.x, box.y, box.width - 80, box.height};
    input.draw(ctx, field);
    hit(field, {thread ? HitKind::FocusThread : HitKind::FocusMain});
    (thread ? m_thread_composer_rect : m_composer_rect) = field;
    double by = box.bottom() - 38;
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
    return h + 32;
}

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
        ctx.painter.fill_ellipse(dot, given != m_presence_colors.end() ? given->second
                                                                       : presence_color(t, p.status));
        std::string name = p.name + (p.id == m_identity.id ? " (you)" : "");
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
        y += 50;
    }
}

void ChatApp::draw_thread(DrawContext& ctx, Rect r) {
    auto const& t = ctx.theme;
    ctx.text.draw_text_weighted(ctx.painter, "Thread", {r.x + 20, r.y + 18}, 16, FontWeight::Bold,
                                t.text_primary);
    if (auto const* c = find_channel(m_nav.channel_id))
        ctx.text.draw_text(
            ctx.painter, "# " + c->name,
            {r.x + 28 + ctx.text.measure("Thread", 16, FontWeight::Bold).width, r.y + 21}, 13,
            t.text_tertiary);
    icon_button(ctx, {r.right() - 44, r.y + 14, 32, 32}, "✕", {HitKind::CloseThread}, 14);
    vemo_ui::surface::separator(ctx.painter, t, {r.x, r.y + heading_height - 1}, r.width);

    Rect below = Rect::from_edges(r.x, r.y + heading_height, r.right(), r.bottom());
    double composer_h = can_write() ? draw_composer(ctx, below, true) : 0;
    Rect list = Rect::from_edges(r.x, below.y, r.right(), below.bottom() - composer_h);
    ctx.painter.push_clip(list);
    double y = list.y + 4;
    auto const* root = find_message(*m_nav.thread_root);
    if (root) y += layout_message(ctx, *root, false, {list.x, y, list.width, 0}, true, true);
    size_t replies =
        m_reply_counts.contains(*m_nav.thread_root) ? m_reply_counts.at(*m_nav.thread_root) : 0;
    std::string label = std::to_string(replies) + (replies == 1 ? " reply" : " replies");
    auto size = ctx.text.measure(label, 12, FontWeight::Semibold);
    ctx.text.draw_text_weighted(ctx.painter, label, {list.x + 16, y + 6}, 12, FontWeight::Semibold,
                                t.text_tertiary);
    ctx.painter.fill_rect(
        {list.x + 24 + size.width, y + 6 + size.height / 2, list.width - 40 - size.width, 1},
        t.hairline);
    y += 26;
    Message const* prev = nullptr;
    for (auto const& m : m_view.messages) {
        if (m.parent != m_nav.thread_root) continue;
        bool grouped = prev && prev->author == m.author && m.ts - prev->ts < group_window;
        y += layout_message(ctx, m, grouped, {list.x, y, list.width, 0}, true, y < list.bottom());
        prev = &m;
    }
    ctx.painter.pop_clip();
}

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
        ey += heights[i];
    }
}

}  // namespace chat
