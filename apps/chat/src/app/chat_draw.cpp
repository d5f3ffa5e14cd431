#include <algorithm>
#include <cmath>

#include "app/chat_app.hpp"
#include "app/draw_markup.hpp"
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
    m_thread_rows.clear();
    m_access_boxes.clear();
    m_history_card = {};
    m_attachment_boxes.clear();
    m_menu.set_text_renderer(&ctx.text);
    for (auto* input :
         {&m_composer, &m_thread_composer, &m_edit_input, &m_rename_input, &m_invite_input})
        input->set_text_renderer(&ctx.text);
    Rect content = content_bounds();
    if (content.is_empty()) return;
    m_modes = modes_for(content.width, m_ui_scale, m_modes);
    m_regions = compute_regions(content, m_modes, m_left_flap, m_right_flap,
                                m_nav.thread_root.has_value(), m_ui_scale);
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(content, t.window_fill);
    ctx.painter.push_clip(content);

    if (!call_expanded()) draw_main(ctx, m_regions.main);
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
    draw_call_overlay(ctx);
    draw_history_popover(ctx);
    draw_emoji_picker(ctx);
    draw_share_dialog(ctx, content);
    draw_settings_popover(ctx, content);
    draw_attachment_picker(ctx);
    if (m_menu.is_open()) m_menu.draw(ctx);
    draw_search(ctx, content);
    m_tooltips.draw(ctx, content);
    ctx.painter.pop_clip();
    settle_after_draw();
}

// What depends on the frame just drawn: the keyboard focus stays only on a control that is on
// screen, and the hover follows whatever now lies under a pointer that has not moved.
void ChatApp::settle_after_draw() {
    auto drawn = [&](HitKind kind) {
        return std::ranges::any_of(m_hits,
                                   [&](HitRegion const& r) { return r.target.kind == kind; });
    };
    // A message row keeps the focus while scrolled out of view, so the arrows go on from it.
    auto listed_row = [&](HitTarget const& t) {
        if (t.kind != HitKind::MessageMenu) return false;
        if (t.b == thread_row_tag)
            return m_regions.right_shown &&
                   std::ranges::any_of(thread_messages(), [&](auto m) { return m->id == t.a; });
        return std::ranges::any_of(m_top_level,
                                   [&](size_t i) { return m_view.messages[i].id == t.a; });
    };
    if (m_focused && !listed_row(*m_focused) &&
        std::ranges::none_of(m_hits, [&](HitRegion const& r) { return r.target == *m_focused; })) {
        m_focused.reset();
        apply_focus_rule();
    }
    if (m_renaming && !drawn(HitKind::FocusRename)) cancel_rename();
    if (m_thread_focus && !drawn(HitKind::FocusThread)) {
        m_thread_focus = false;
        apply_focus_rule();
    }
    if (m_focused_row &&
        std::ranges::none_of(m_rows, [&](RowBox const& r) { return r.message == *m_focused_row; }))
        m_focused_row.reset();

    std::optional<HitTarget> hover;
    std::optional<std::string> hover_message;
    if (m_pointer_inside) {
        hover = target_at(m_pointer);
        for (auto it = m_hits.rbegin(); it != m_hits.rend(); ++it)
            if (it->target.kind == HitKind::MessageMenu && it->target.b.empty() &&
                it->rect.contains(m_pointer)) {
                hover_message = it->target.a;
                break;
            }
    }
    m_hover_stale = hover != m_hover || hover_message != m_hover_message;
    m_hover = std::move(hover);
    m_hover_message = std::move(hover_message);
    show_link_cursor(m_hover);
}

}  // namespace chat
