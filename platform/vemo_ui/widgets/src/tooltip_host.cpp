#include "vemo_ui/tooltip_host.hpp"

#include <algorithm>
#include <cmath>

#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/widget.hpp"

namespace vemo_ui {

void TooltipHost::on_pointer(std::string const& target_id, Rect target_rect,
                             std::string const& text, double now) {
    if (target_id.empty() || text.empty()) return on_leave();
    m_rect = target_rect;
    m_text = text;
    if (m_target && target_id == m_id) return;
    m_target = true;
    m_visible = false;
    m_suppressed = false;
    m_id = target_id;
    m_since = now;
}

void TooltipHost::on_leave() {
    m_target = false;
    m_visible = false;
    m_suppressed = false;
    m_id.clear();
    m_since.reset();
}

void TooltipHost::on_press() {
    m_visible = false;
    m_suppressed = m_target;
}

void TooltipHost::tick(double now) {
    if (pending() && m_since && now - *m_since >= m_delay) m_visible = true;
}

void TooltipHost::draw(DrawContext& ctx, Rect window) {
    if (!visible()) return;
    constexpr double pad_x = 9, pad_y = 5, gap = 6, max_width = 320;
    Size text = ctx.text.measure(m_text, text_size, FontWeight::Medium, max_width);
    double w = std::ceil(text.width) + 2 * pad_x;
    double h = text.height + 2 * pad_y;
    double x = m_rect.center().x - w / 2;
    double y = m_rect.bottom() + gap;
    if (y + h > window.bottom() && m_rect.y - gap - h >= window.y) y = m_rect.y - gap - h;
    x = std::max(window.x + 4, std::min(x, window.right() - 4 - w));
    y = std::max(window.y, std::min(y, window.bottom() - h));
    Rect box{std::round(x), std::round(y), w, h};
    Theme const& theme = ctx.theme;
    surface::card(ctx.painter, theme, box, theme.radius_small, theme.elevated_fill,
                  surface::Elevation::Medium);
    ctx.text.draw_text_weighted(ctx.painter, m_text, {box.x + pad_x, box.y + pad_y}, text_size,
                                FontWeight::Medium, theme.text_primary, max_width);
}

}  // namespace vemo_ui
