#include "vemo_ui/context_menu.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/widget.hpp"

namespace vemo_ui {

namespace {

constexpr double min_width = 184;
constexpr double label_inset = 12;
constexpr double radius = 12;

}  // namespace

void ContextMenu::push(std::string label, int code, bool destructive) {
    m_items.push_back({std::move(label), code, destructive});
    if (m_open) place();
}

void ContextMenu::clear() {
    m_items.clear();
    m_highlighted.reset();
    if (m_open) place();
}

void ContextMenu::open_at(Point p) {
    m_open = true;
    m_anchor = p;
    m_bounds.reset();
    m_highlighted.reset();
    m_chosen.reset();
    place();
}

void ContextMenu::open_at_clamped(Point p, Rect bounds) {
    open_at(p);
    if (!bounds.is_empty()) m_bounds = bounds;
    place();
}

void ContextMenu::close() {
    m_open = false;
    m_highlighted.reset();
}

Size ContextMenu::measure() const {
    double widest = 0;
    for (Item const& item : m_items) {
        // Without a renderer yet, a generous estimate keeps the first placement inside bounds.
        double w = m_renderer ? m_renderer->measure(item.label, text_size).width
                              : double(item.label.size()) * text_size * 0.6;
        widest = std::max(widest, w);
    }
    double width = std::max(min_width, std::ceil(widest) + 2 * (label_inset + padding) + 16);
    return {width, double(m_items.size()) * item_height + 2 * padding};
}

void ContextMenu::place() {
    Size size = measure();
    double x = m_anchor.x, y = m_anchor.y;
    if (m_bounds) {
        Rect b = *m_bounds;
        x = std::max(b.x, std::min(x, b.right() - size.width));
        y = std::max(b.y, std::min(y, b.bottom() - size.height));
    }
    m_rect = {x, y, size.width, size.height};
}

Rect ContextMenu::item_rect(size_t index) const {
    return {m_rect.x + padding, m_rect.y + padding + double(index) * item_height,
            m_rect.width - 2 * padding, item_height};
}

std::optional<size_t> ContextMenu::item_at(Point p) const {
    for (size_t i = 0; i < m_items.size(); ++i)
        if (item_rect(i).contains(p)) return i;
    return std::nullopt;
}

void ContextMenu::choose(size_t index) {
    if (index >= m_items.size()) return;
    m_chosen = Chosen{index, m_items[index].code};
    close();
}

std::optional<ContextMenu::Chosen> ContextMenu::take_chosen() {
    return std::exchange(m_chosen, {});
}

bool ContextMenu::key(KeyEvent const& k) {
    if (!k.pressed) return true;
    size_t n = m_items.size();
    switch (k.key) {
        case Key::Escape:
            close();
            return true;
        case Key::Down:
            if (n) m_highlighted = m_highlighted ? (*m_highlighted + 1) % n : 0;
            return true;
        case Key::Up:
            if (n) m_highlighted = m_highlighted ? (*m_highlighted + n - 1) % n : n - 1;
            return true;
        case Key::Home:
            if (n) m_highlighted = 0;
            return true;
        case Key::End:
            if (n) m_highlighted = n - 1;
            return true;
        case Key::Enter:
        case Key::Space:
            if (m_highlighted) choose(*m_highlighted);
            return true;
        default:
            return true;
    }
}

bool ContextMenu::pointer(PointerEvent const& p) {
    using Kind = PointerEvent::Kind;
    std::optional<size_t> hit = item_at(p.position);
    switch (p.kind) {
        case Kind::Move:
            if (hit) m_highlighted = hit;
            return m_rect.contains(p.position);
        case Kind::Leave:
            return false;
        case Kind::Release:
            return m_rect.contains(p.position);
        case Kind::Press:
            if (!m_rect.contains(p.position)) {
                close();
                return p.button == PointerButton::Primary;
            }
            if (hit && p.button == PointerButton::Primary) choose(*hit);
            return true;
    }
    return false;
}

bool ContextMenu::handle_event(Event const& event) {
    if (!m_open) return false;
    if (auto const* k = std::get_if<KeyEvent>(&event)) return key(*k);
    if (auto const* p = std::get_if<PointerEvent>(&event)) return pointer(*p);
    if (auto const* w = std::get_if<WheelEvent>(&event)) return m_rect.contains(w->position);
    if (std::holds_alternative<TextEvent>(event) || std::holds_alternative<PreeditEvent>(event))
        return true;
    if (auto const* f = std::get_if<FocusEvent>(&event); f && !f->focused) close();
    return false;
}

bool ContextMenu::perform_semantic_action(std::string const& id) {
    std::string_view prefix = item_id_prefix;
    if (!m_open || !std::string_view(id).starts_with(prefix)) return false;
    std::string_view digits = std::string_view(id).substr(prefix.size());
    size_t index = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
        index >= m_items.size())
        return false;
    choose(index);
    return true;
}

void ContextMenu::draw(DrawContext& ctx) {
    if (!m_open) return;
    if (m_renderer != &ctx.text) {
        m_renderer = &ctx.text;
        place();  // real label widths may differ from the estimate used at opening
    }
    Theme const& theme = ctx.theme;
    Painter& p = ctx.painter;
    surface::card(p, theme, m_rect, radius, theme.elevated_fill, surface::Elevation::High);
    double line = ctx.text.line_height(text_size);
    for (size_t i = 0; i < m_items.size(); ++i) {
        Item const& item = m_items[i];
        Rect r = item_rect(i);
        bool lit = m_highlighted == i;
        if (lit)
            p.fill_rounded_rect(
                r, theme.radius_small,
                item.destructive ? theme.danger.with_alpha(0.16f) : theme.hover_fill);
        Color color = item.destructive ? theme.danger : theme.text_primary;
        ctx.text.draw_text_weighted(
            p, item.label, {r.x + label_inset, r.y + std::round((r.height - line) / 2)}, text_size,
            FontWeight::Medium, color, r.width - 2 * label_inset, true);
    }
}

a11y::AccessNode ContextMenu::accessibility() const {
    a11y::AccessNode menu;
    menu.role = a11y::Role::Menu;
    menu.id = "context-menu";
    menu.label = "Context menu";
    menu.rect = m_rect;
    if (!m_open) return menu;
    for (size_t i = 0; i < m_items.size(); ++i) {
        a11y::AccessNode item;
        item.role = a11y::Role::MenuItem;
        item.id = item_id_prefix + std::to_string(i);
        item.label = m_items[i].label;
        item.rect = item_rect(i);
        item.states.selected = m_highlighted == i;
        menu.children.push_back(std::move(item));
    }
    return menu;
}

}  // namespace vemo_ui
