#include "app/list_scroll.hpp"

#include <algorithm>
#include <string>

#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/widget.hpp"

namespace chat {

void ListScroll::scroll_by(double dy) {
    m_offset = std::max(0.0, m_offset - dy);
    m_follow = m_offset <= at_latest;
}

void ListScroll::scroll_back(double offset) {
    m_follow = false;
    m_offset = std::max(0.0, offset);
}

void ListScroll::reveal(size_t index, size_t count, std::function<double(size_t)> const& height,
                        double view, Pads pads, bool nearest, double covered) {
    if (index >= count) return;
    double below = 0;
    for (size_t i = count; i-- > index + 1;) below += height(i);
    double h = height(index);
    double offset = below + h / 2 + pads.bottom - view / 2;
    if (nearest) {
        // The row's bottom edge above the bottom margin, and above what covers the view's
        // bottom while scrolled back; then its top edge (and a focus ring round it) below the
        // view's top.
        constexpr double ring = 4;
        offset = std::min(m_offset, below - std::max(0.0, covered - pads.bottom));
        if (offset <= at_latest) offset = 0;
        offset = std::max(offset, below + h + pads.bottom + ring - view);
    }
    m_offset = std::max(0.0, offset);
    m_follow = m_offset <= at_latest;
}

ListScroll::Placement ListScroll::place(size_t count, std::function<double(size_t)> const& height,
                                        double view_top, double view_bottom, Pads pads,
                                        bool top_aligned) {
    double view = view_bottom - view_top;
    if (m_follow && m_offset <= at_latest) m_offset = 0;
    // Measured from the latest row up until the view is filled at this offset.
    std::vector<double> heights;
    double measured = 0;
    for (size_t i = count; i-- > 0 && measured < m_offset + view;) {
        heights.push_back(height(i));
        measured += heights.back();
    }
    bool all_measured = heights.size() == count;
    double total = measured + pads.top + pads.bottom;
    if (all_measured) m_offset = std::min(m_offset, std::max(0.0, total - view));
    double y = view_bottom - pads.bottom + m_offset;
    if (all_measured && top_aligned && total < view) y = view_top + pads.top + measured;

    Placement out;
    out.reached_first = true;
    for (size_t i = count, n = 0; i-- > 0; ++n) {
        if (y < view_top) {
            out.reached_first = false;
            break;
        }
        double h = n < heights.size() ? heights[n] : height(i);
        double top = y - h;
        if (top < view_bottom) out.rows.push_back({i, top, h});
        y = top;
    }
    std::ranges::reverse(out.rows);
    out.first_top = y;
    return out;
}

vemo_ui::Rect draw_jump_button(vemo_ui::DrawContext& ctx, vemo_ui::Rect const& list,
                               vemo_ui::Color background, bool hovered, bool focused) {
    using vemo_ui::Rect;
    auto const& t = ctx.theme;
    std::string label = "↓ Jump to latest";
    auto size = ctx.text.measure(label, 13, vemo_ui::FontWeight::Semibold);
    Rect pill{list.center().x - size.width / 2 - 16, list.bottom() - jump_button_lift,
              size.width + 32, 34};
    // A backdrop fading in under the pill keeps the text beneath it from showing through.
    Rect fade{list.x, pill.y - 24, list.width, list.bottom() - pill.y + 24};
    ctx.painter.fill_gradient({fade.x, fade.y, fade.width, 24}, 0, background.with_alpha(0),
                              background.with_alpha(0.92f));
    ctx.painter.fill_rect(Rect::from_edges(fade.x, fade.y + 24, fade.right(), fade.bottom()),
                          background.with_alpha(0.92f));
    vemo_ui::surface::card(ctx.painter, t, pill, 17, hovered ? t.accent_hover : t.accent,
                           vemo_ui::surface::Elevation::Medium);
    ctx.text.draw_text_weighted(ctx.painter, label,
                                {pill.x + 16, pill.center().y - size.height / 2}, 13,
                                vemo_ui::FontWeight::Semibold, t.accent_text);
    if (focused) vemo_ui::surface::focus_ring(ctx.painter, t, pill, 17);
    return pill;
}

}  // namespace chat
