#include "app/list_scroll.hpp"

#include <algorithm>

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

}  // namespace chat
