#include "app/chat_app.hpp"

#include "app/localisation.hpp"
#include "vemo_ui/avatar.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

using vemo_ui::FontWeight;
using vemo_ui::Rect;

namespace {
constexpr double rail_width = 68;
constexpr double sidebar_width = 248;
constexpr double heading_height = 60;
constexpr double identity_bar_height = 56;
}  // namespace

ChatApp::ChatApp() = default;

std::unique_ptr<ChatApp> ChatApp::create_interactive()
{
    auto app = std::make_unique<ChatApp>();
    app->m_interactive = true;
    app->m_identity = determine_local_identity(IdentitySources::from_environment());
    app->m_seen_ids.push_back(app->m_identity.id);
    // The first refresh picks the first workspace there is.
    app->m_workspace_id.clear();
    app->m_view_workspace_id.clear();
    app->m_channel_id.clear();
    return app;
}

void ChatApp::sync(vemo_ui::FrameContext& ctx) { m_ui_scale = float(ctx.ui_scale); }

vemo_ui::LayoutNode ChatApp::build_layout() { return vemo_ui::LayoutNode::fill(debug_name()); }

void ChatApp::apply_layout(vemo_ui::Layout const& layout, double origin_x, double origin_y)
{
    auto node = layout.rect_of(debug_name());
    if (!node) return;
    m_x0 = origin_x + node->x;
    m_y0 = origin_y + node->y;
    m_x1 = m_x0 + node->width;
    m_y1 = m_y0 + node->height;
}

void ChatApp::draw(vemo_ui::DrawContext& ctx)
{
    Rect content = content_bounds();
    ctx.painter.fill_rect(content, ctx.theme.window_fill);
    Rect rail{content.x, content.y, rail_width, content.height};
    Rect sidebar{rail.right(), content.y, sidebar_width, content.height};
    Rect main = Rect::from_edges(sidebar.right(), content.y, content.right(), content.bottom());
    draw_main(ctx, main);
    draw_sidebar(ctx, sidebar);
    draw_rail(ctx, rail);
}

void ChatApp::draw_rail(vemo_ui::DrawContext& ctx, Rect r)
{
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(r, t.rail_fill);
    Rect inbox{r.x + (r.width - 48) / 2, r.y + 16, 48, 48};
    ctx.painter.fill_rounded_rect(inbox, 24, t.card_fill);
    auto glyph = ctx.text.measure("✉", 20);
    ctx.text.draw_text(ctx.painter, "✉",
                       {inbox.center().x - glyph.width / 2, inbox.center().y - glyph.height / 2}, 20,
                       t.text_secondary);
    vemo_ui::surface::separator(ctx.painter, t, {r.x + 20, inbox.bottom() + 10}, r.width - 40);
}

void ChatApp::draw_sidebar(vemo_ui::DrawContext& ctx, Rect r)
{
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(r, t.sidebar_fill);
    vemo_ui::chrome::shell::panel_border(ctx.painter, t, r, vemo_ui::chrome::shell::Edge::Right);

    // The chip that adds a category sits under the (still empty) workspace title.
    std::string chip = translate("chat-sidebar-add-category");
    auto chip_size = ctx.text.measure(chip, 12, FontWeight::Medium);
    Rect chip_rect{r.x + 16, r.y + 52, chip_size.width + 20, 24};
    ctx.painter.fill_rounded_rect(chip_rect, 12, t.accent_soft);
    ctx.text.draw_text_weighted(ctx.painter, chip,
                                {chip_rect.x + 10, chip_rect.center().y - chip_size.height / 2}, 12,
                                FontWeight::Medium, t.link);

    Rect bar{r.x, r.bottom() - identity_bar_height, r.width, identity_bar_height};
    ctx.painter.fill_rect(bar, t.rail_fill.with_alpha(0.35f));
    vemo_ui::surface::separator(ctx.painter, t, {bar.x, bar.y}, bar.width);
    Rect avatar{bar.x + 12, bar.center().y - 16, 32, 32};
    vemo_ui::widget::avatar::Avatar::draw(ctx.painter, t, ctx.text, avatar, m_identity.initials,
                                          m_identity.color_idx);
    ctx.text.draw_text_weighted(ctx.painter, m_identity.display_name, {avatar.right() + 10, bar.y + 10},
                                14, FontWeight::Semibold, t.text_primary, bar.width - 70, true);
    ctx.text.draw_text(ctx.painter, translate("chat-identity-available"),
                       {avatar.right() + 10, bar.y + 29}, 12, t.text_secondary);
}

void ChatApp::draw_main(vemo_ui::DrawContext& ctx, Rect r)
{
    auto const& t = ctx.theme;
    Rect heading{r.x, r.y, r.width, heading_height * m_ui_scale};
    vemo_ui::surface::separator(ctx.painter, t, {heading.x, heading.bottom()}, heading.width);
    Rect composer{r.x + 20, r.bottom() - 72, std::max(0.0, r.width - 40), 52};
    ctx.painter.fill_rounded_rect(composer, t.radius_medium, t.input_fill);
    vemo_ui::surface::soft_outline(ctx.painter, t, composer, t.radius_medium);
}

}  // namespace chat
