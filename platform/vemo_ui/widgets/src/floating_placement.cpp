#include "vemo_ui/floating_placement.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace vemo_ui {

namespace {

double ease_out(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return 1 - (1 - t) * (1 - t) * (1 - t);
}

}  // namespace

void FloatingPlacement::place(Rect const& content, FloatingValues const& values) {
    m_values = values;
    m_content = content;
    if (content.is_empty()) return;
    double frame_pad = values.margin;  // the frame's sides reach this far beyond the body
    double avail_w = std::max(1.0, content.width - 2 * (values.margin + frame_pad));
    double avail_h =
        std::max(1.0, content.height - 2 * values.margin - values.chrome - values.footer);
    double w = std::min(std::max(values.attached_w * content.width, 160.0), avail_w);
    double h = std::min(std::max(values.attached_h * content.height, 96.0), avail_h);
    double x = content.x + values.anchor_x * content.width - w / 2;
    double y = content.y + values.anchor_y * content.height - h / 2;
    x = std::clamp(x, content.x + values.margin + frame_pad,
                   std::max(content.x + values.margin + frame_pad,
                            content.right() - values.margin - frame_pad - w));
    y = std::clamp(y, content.y + values.margin + values.chrome,
                   std::max(content.y + values.margin + values.chrome,
                            content.bottom() - values.margin - values.footer - h));
    m_attached = {x, y, w, h};
    if (m_state == State::Attached && !m_drag) m_rect = m_attached;
}

PresentationTransform FloatingPlacement::presentation_transform(Rect const& body,
                                                                bool attached_chrome) const {
    PresentationTransform t;
    t.attached_chrome = attached_chrome;
    double left = 1 - ease_out(m_handoff);
    if (left > 0) {
        t.offset = {(m_handoff_from.x - body.x) * left, (m_handoff_from.y - body.y) * left};
        t.scale = 1 - 0.06 * left;
    }
    if (is_detached()) t.scale *= 0.55 + 0.45 * std::clamp(m_collapse, 0.0, 1.0);
    return t;
}

void FloatingPlacement::begin_drag(Rect const& content, Point pointer) {
    m_drag = Drag{{pointer.x - m_rect.x, pointer.y - m_rect.y}, content};
    if (m_state == State::Attached) m_state = State::Dragging;
}

void FloatingPlacement::update_drag(Point pointer, Rect const& content) {
    if (!m_drag) return;
    m_drag->content = content;
    m_rect.x = pointer.x - m_drag->grab.x;
    m_rect.y = pointer.y - m_drag->grab.y;
    bool inside = content.contains(pointer);
    if (m_state == State::Dragging && !inside) {
        // Out of the window the panel goes to the desktop at once and keeps following the
        // pointer there; the drag goes on.
        m_handoff_from = m_rect;
        m_state = State::Detached;
        m_attached_chrome = false;
        start_handoff();
        return;
    }
    if (is_detached()) m_state = inside ? State::Returning : State::Detached;
}

void FloatingPlacement::end_drag(Point pointer) {
    if (!m_drag) return;
    Rect content = m_drag->content;
    m_drag.reset();
    if (!content.contains(pointer)) {
        if (!is_detached()) detach_to_desktop(m_rect);
        m_state = State::Detached;
        return;
    }
    // Let go over the content: back to the attached place, from wherever it was dropped.
    confirm_app_adoption(content);
}

void FloatingPlacement::detach_to_desktop(Rect const& window) {
    m_drag.reset();
    m_handoff_from = m_rect;
    m_rect = window;
    m_state = State::Detached;
    m_attached_chrome = false;
    start_handoff();
}

void FloatingPlacement::shift_detached(Point by) {
    if (!is_detached() || m_drag) return;
    m_rect.x += by.x;
    m_rect.y += by.y;
    m_handoff_from.x += by.x;
    m_handoff_from.y += by.y;
}

void FloatingPlacement::confirm_app_adoption(Rect const& content) {
    m_drag.reset();
    m_handoff_from = m_rect;
    if (!content.is_empty()) place(content, m_values);
    m_state = State::Attached;
    m_rect = m_attached;
    m_attached_chrome = true;
    m_collapse = m_collapse_from = m_collapse_to = 1;
    m_collapse_frozen = false;
    start_handoff();
}

void FloatingPlacement::start_handoff() {
    if (m_pinned) return;
    m_handoff = 0;
    m_handoff_start = -1;
}

void FloatingPlacement::tick(double now) {
    m_now = now;
    if (!m_pinned && m_handoff < 1) {
        if (m_handoff_start < 0) m_handoff_start = now;
        double elapsed = now - m_handoff_start;
        m_handoff = elapsed + 1e-9 >= handoff_seconds ? 1.0 : elapsed / handoff_seconds;
    }
    if (!m_collapse_frozen && m_collapse != m_collapse_to) {
        double t = std::clamp((now - m_collapse_start) / collapse_seconds, 0.0, 1.0);
        m_collapse = m_collapse_from + (m_collapse_to - m_collapse_from) * ease_out(t);
        if (t >= 1) m_collapse = m_collapse_to;
    }
}

bool FloatingPlacement::is_handoff_animating() const {
    return !m_pinned && m_handoff < 1;
}

void FloatingPlacement::pin_handoff_for_visual_review(int permille) {
    m_pinned = true;
    m_handoff = std::clamp(permille, 0, 1000) / 1000.0;
}

void FloatingPlacement::start_collapse(bool collapse, double now) {
    m_collapse_frozen = false;
    m_collapse_from = m_collapse;
    m_collapse_to = collapse ? 0 : 1;
    m_collapse_start = now;
}

void FloatingPlacement::freeze_collapse(double value) {
    m_collapse = m_collapse_from = m_collapse_to = std::clamp(value, 0.0, 1.0);
    m_collapse_frozen = true;
}

bool FloatingPlacement::is_collapse_animating() const {
    return !m_collapse_frozen && m_collapse != m_collapse_to;
}

std::optional<double> collapse_value_for(std::string_view suffix) {
    if (!suffix.empty() && suffix.front() == '+') suffix.remove_prefix(1);
    size_t digits = 0;
    while (digits < suffix.size() && suffix[digits] >= '0' && suffix[digits] <= '9') ++digits;
    if (digits == 0) return std::nullopt;
    uint64_t n = 0;
    if (digits <= 4) {
        for (size_t i = 0; i < digits; ++i) n = n * 10 + uint64_t(suffix[i] - '0');
    } else {
        auto [end, ec] = std::from_chars(suffix.data(), suffix.data() + digits, n);
        (void)end;
        if (ec == std::errc::result_out_of_range) n = UINT64_MAX;  // far past the end
    }
    double way = double(std::min<uint64_t>(n, 1000)) / 1000.0;
    return std::clamp(1.0 - way, 0.0, 1.0);
}

}  // namespace vemo_ui
