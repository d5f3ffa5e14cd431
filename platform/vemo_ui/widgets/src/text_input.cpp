#include "vemo_ui/text_input.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "text_boundaries.hpp"
#include "vemo_ui/clipboard.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/widget.hpp"

namespace vemo_ui {

namespace {

constexpr double caret_width = 1.5;

// Typed and pasted text keeps line feeds and tabs; other control characters (and a CR of a
// CR LF pair) would only show as boxes or break the layout.
std::string clean_input(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t pos = 0; pos < in.size();) {
        text::Decoded d = text::decode_at(in, pos);
        char32_t c = d.code;
        if (c == '\r') {
            if (pos + 1 >= in.size() || in[pos + 1] != '\n') out += '\n';
        } else if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7f && !(c >= 0x80 && c < 0xa0))) {
            if (c == 0xfffd && d.length == 1 && uint8_t(in[pos]) >= 0x80)
                text::append_utf8(out, c);
            else
                out.append(in.substr(pos, d.length));
        }
        pos += d.length;
    }
    return out;
}

}  // namespace

struct TextInput::State {
    std::string text;
    std::string placeholder;
    std::string author;
    std::string preedit;
    size_t preedit_cursor = 0;  // bytes into preedit
    size_t cursor = 0;          // bytes into text
    size_t anchor = 0;
    double text_size = 15;
    double pad_x = 12;
    double pad_y = 9;
    bool draws_frame = true;
    bool focused = false;
    bool dirty = false;
    bool submit = false;
    bool dragging = false;
    bool drag_by_word = false;
    size_t drag_origin_begin = 0;
    size_t drag_origin_end = 0;
    std::optional<double> goal_x;  // column kept while moving up and down
    double scroll = 0;
    bool reveal_caret = true;  // scroll the caret into view at the next draw
    Rect bounds;
    TextRenderer* renderer = nullptr;
    std::shared_ptr<Clipboard> clipboard;

    bool has_selection() const { return cursor != anchor; }
    size_t sel_begin() const { return std::min(cursor, anchor); }
    size_t sel_end() const { return std::max(cursor, anchor); }
    Rect content() const { return bounds.inset(pad_x, pad_y); }
    double wrap_width() const { return std::max(1.0, bounds.width - 2 * pad_x); }
    double line_height() const {
        return renderer ? renderer->line_height(text_size) : std::round(text_size * 1.32);
    }

    Clipboard& board() {
        if (!clipboard) clipboard = Clipboard::system();
        return *clipboard;
    }

    void move_to(size_t pos, bool extend) {
        cursor = std::min(pos, text.size());
        if (!extend) anchor = cursor;
        reveal_caret = true;
    }

    void replace(size_t begin, size_t end, std::string_view with) {
        text.replace(begin, end - begin, with);
        cursor = anchor = begin + with.size();
        dirty = true;
        reveal_caret = true;
    }

    bool delete_selection() {
        if (!has_selection()) return false;
        replace(sel_begin(), sel_end(), "");
        return true;
    }

    void insert(std::string_view raw) {
        std::string clean = clean_input(raw);
        if (clean.empty() && !has_selection()) return;
        replace(sel_begin(), sel_end(), clean);
    }

    void erase_backward(bool by_word) {
        if (delete_selection() || cursor == 0) return;
        size_t from = by_word ? text::previous_word_start(text, cursor)
                              : text::previous_grapheme(text, cursor);
        replace(from, cursor, "");
    }

    void erase_forward(bool by_word) {
        if (delete_selection() || cursor >= text.size()) return;
        size_t to = by_word ? text::next_word_end(text, cursor) : text::next_grapheme(text, cursor);
        replace(cursor, to, "");
    }

    void horizontal(bool right, bool by_word, bool extend) {
        goal_x.reset();
        if (has_selection() && !extend) {
            // The selection collapses to its edge on the side the arrow points to on screen.
            bool begin_is_left = true;
            if (renderer) {
                Rect begin = caret_local(sel_begin()), end = caret_local(sel_end());
                begin_is_left = begin.y != end.y || begin.x <= end.x;
            }
            move_to(right == begin_is_left ? sel_end() : sel_begin(), false);
            return;
        }
        // Arrows follow the screen: in right-to-left text Left moves on to later characters.
        if (renderer && !by_word) {
            if (auto to = renderer->move_visually(text, text_size, wrap_width(), cursor, right))
                move_to(text::snap_to_grapheme(text, *to), extend);
            return;
        }
        // Word jumps too: through a right-to-left run Right goes back to the word's start, and
        // a left-to-right word inside right-to-left text is crossed the way it reads.
        if (renderer) {
            if (auto to =
                    renderer->move_word_visually(text, text_size, wrap_width(), cursor, right))
                move_to(text::snap_to_grapheme(text, *to), extend);
            return;
        }
        size_t to = right ? (by_word ? text::next_word_end(text, cursor)
                                     : text::next_grapheme(text, cursor))
                          : (by_word ? text::previous_word_start(text, cursor)
                                     : text::previous_grapheme(text, cursor));
        move_to(to, extend);
    }

    Rect caret_local(size_t at) const {
        if (!renderer) return {0, 0, caret_width, line_height()};
        return renderer->caret_rect(text, text_size, wrap_width(), at);
    }

    size_t index_at_local(Point at) const {
        if (!renderer) return text.size();
        return text::snap_to_grapheme(text, renderer->index_at(text, text_size, wrap_width(), at));
    }

    // Up and Down follow the laid-out lines; without a renderer, the paragraphs.
    void vertical(bool down, bool extend) {
        if (has_selection() && !extend) move_to(down ? sel_end() : sel_begin(), false);
        if (!renderer) {
            size_t start = text::line_start(text, cursor);
            size_t column = text::scalars_before(text, cursor) - text::scalars_before(text, start);
            size_t target_line = down ? text::line_end(text, cursor) + 1 : start;
            if (down && target_line > text.size()) return move_to(text.size(), extend);
            if (!down && start == 0) return move_to(0, extend);
            size_t line = down ? target_line : text::line_start(text, start - 1);
            size_t limit = text::line_end(text, line);
            size_t pos = line;
            for (size_t n = 0; n < column && pos < limit; ++n) pos = text::next_grapheme(text, pos);
            return move_to(std::min(pos, limit), extend);
        }
        Rect caret = caret_local(cursor);
        if (!goal_x) goal_x = caret.x;
        double lh = line_height();
        double y = caret.y + lh / 2 + (down ? lh : -lh);
        double total = renderer->measure(text, text_size, FontWeight::Regular, wrap_width()).height;
        if (y < 0) return move_to(0, extend);
        if (y >= total) return move_to(text.size(), extend);
        move_to(index_at_local({*goal_x, y}), extend);
    }

    void copy() {
        if (has_selection()) board().set_text(text.substr(sel_begin(), sel_end() - sel_begin()));
    }

    void cut() {
        copy();
        delete_selection();
    }

    void paste(std::weak_ptr<State> self) {
        board().request_text([self](std::optional<std::string> pasted) {
            auto state = self.lock();
            if (state && pasted) state->insert(*pasted);
        });
    }

    bool control_shortcut(char32_t c, std::weak_ptr<State> self) {
        switch (c | 0x20) {  // ASCII lower case
            case 'a':
                anchor = 0, cursor = text.size();
                return true;
            case 'c':
                copy();
                return true;
            case 'x':
                cut();
                return true;
            case 'v':
                paste(std::move(self));
                return true;
            default:
                return false;
        }
    }

    bool key(KeyEvent const& k, std::weak_ptr<State> self) {
        if (!k.pressed) return false;
        bool ctrl = k.mods.control;
        bool shift = k.mods.shift;
        if (k.key != Key::Up && k.key != Key::Down) goal_x.reset();
        switch (k.key) {
            case Key::Enter:
                if (shift)
                    insert("\n");
                else
                    submit = true;
                return true;
            case Key::Backspace:
                erase_backward(ctrl);
                return true;
            case Key::Delete:
                erase_forward(ctrl);
                return true;
            case Key::Left:
                horizontal(false, ctrl, shift);
                return true;
            case Key::Right:
                horizontal(true, ctrl, shift);
                return true;
            case Key::Up:
                vertical(false, shift);
                return true;
            case Key::Down:
                vertical(true, shift);
                return true;
            case Key::Home:
                move_to(ctrl ? 0 : text::line_start(text, cursor), shift);
                return true;
            case Key::End:
                move_to(ctrl ? text.size() : text::line_end(text, cursor), shift);
                return true;
            case Key::Space:
            case Key::Character: {
                char32_t c = k.key == Key::Space ? U' ' : k.character;
                if (ctrl) return control_shortcut(c, std::move(self));
                if (k.mods.alt || k.mods.super || c < 0x20) return false;
                std::string s;
                text::append_utf8(s, c);
                insert(s);
                return true;
            }
            default:
                return false;
        }
    }

    void set_preedit(PreeditEvent const& p) {
        if (!p.text.empty()) delete_selection();
        preedit = clean_input(p.text);
        reveal_caret = true;
        preedit_cursor = std::clamp<size_t>(size_t(std::max(0, p.cursor_bytes)), 0, preedit.size());
        if (preedit_cursor < preedit.size() && preedit_cursor > 0)
            preedit_cursor = text::snap_to_grapheme(preedit, preedit_cursor);
    }

    Point to_local(Point window) const {
        Rect c = content();
        return {window.x - c.x, window.y - c.y + scroll};
    }

    void select_for_drag(size_t at) {
        if (!drag_by_word) return move_to(at, true);
        text::Range w = text::word_at(text, at);
        if (at < drag_origin_begin) {
            anchor = drag_origin_end;
            cursor = std::min(w.begin, at);
        } else {
            anchor = drag_origin_begin;
            cursor = std::max(w.end, drag_origin_end);
        }
    }

    bool pointer(PointerEvent const& p) {
        using Kind = PointerEvent::Kind;
        if (p.kind == Kind::Move && dragging) {
            select_for_drag(index_at_local(to_local(p.position)));
            return true;
        }
        if (p.kind == Kind::Release || p.kind == Kind::Leave) {
            bool was = dragging && p.kind == Kind::Release;
            if (p.kind == Kind::Release) dragging = false;
            return was;
        }
        if (p.kind != Kind::Press || p.button != PointerButton::Primary) return false;
        if (!bounds.contains(p.position)) return false;
        focused = true;
        goal_x.reset();
        size_t at = index_at_local(to_local(p.position));
        dragging = true;
        drag_by_word = p.click_count == 2;
        if (p.click_count >= 3) {
            anchor = text::line_start(text, at);
            cursor = text::line_end(text, at);
            dragging = false;
        } else if (p.click_count == 2) {
            text::Range w = text::word_at(text, at);
            drag_origin_begin = w.begin, drag_origin_end = w.end;
            anchor = w.begin, cursor = w.end;
        } else {
            move_to(at, p.mods.shift);
        }
        return true;
    }

    bool wheel(WheelEvent const& w) {
        if (!bounds.contains(w.position) || !renderer) return false;
        double overflow =
            renderer->measure(text, text_size, FontWeight::Regular, wrap_width()).height -
            content().height;
        if (overflow <= 0) return false;
        double before = scroll;
        scroll = std::clamp(scroll + w.dy, 0.0, overflow);
        return scroll != before;
    }
};

TextInput::TextInput() : m_state(std::make_shared<State>()) {}
TextInput::~TextInput() = default;
TextInput::TextInput(TextInput&&) noexcept = default;
TextInput& TextInput::operator=(TextInput&&) noexcept = default;

TextInput TextInput::local() {
    return TextInput();
}

void TextInput::set_text(std::string_view text) {
    State& s = *m_state;
    if (s.text == text) return;
    s.text = std::string(text);
    s.cursor = text::snap_to_grapheme(s.text, std::min(s.cursor, s.text.size()));
    s.anchor = text::snap_to_grapheme(s.text, std::min(s.anchor, s.text.size()));
    s.goal_x.reset();
}

std::string const& TextInput::text() const {
    return m_state->text;
}
void TextInput::set_placeholder(std::string placeholder) {
    m_state->placeholder = std::move(placeholder);
}
std::string const& TextInput::placeholder() const {
    return m_state->placeholder;
}
void TextInput::set_local_author(std::string author) {
    m_state->author = std::move(author);
}
std::string const& TextInput::local_author() const {
    return m_state->author;
}
void TextInput::set_text_size(double size_pt) {
    m_state->text_size = std::max(1.0, size_pt);
}
void TextInput::set_padding(double horizontal, double vertical) {
    m_state->pad_x = std::max(0.0, horizontal);
    m_state->pad_y = std::max(0.0, vertical);
}
void TextInput::set_draws_frame(bool draws_frame) {
    m_state->draws_frame = draws_frame;
}
void TextInput::set_clipboard(std::shared_ptr<Clipboard> clipboard) {
    m_state->clipboard = std::move(clipboard);
}

void TextInput::set_cursor_pos(size_t scalar_index) {
    State& s = *m_state;
    s.move_to(text::snap_to_grapheme(s.text, text::byte_of_scalar(s.text, scalar_index)), false);
    s.goal_x.reset();
}

size_t TextInput::cursor_pos() const {
    return text::scalars_before(m_state->text, m_state->cursor);
}

void TextInput::set_selection(size_t anchor, size_t cursor) {
    State& s = *m_state;
    s.anchor = text::snap_to_grapheme(s.text, text::byte_of_scalar(s.text, anchor));
    s.cursor = text::snap_to_grapheme(s.text, text::byte_of_scalar(s.text, cursor));
}

std::pair<size_t, size_t> TextInput::selection() const {
    return {text::scalars_before(m_state->text, m_state->anchor), cursor_pos()};
}

std::string TextInput::selected_text() const {
    State const& s = *m_state;
    return s.text.substr(s.sel_begin(), s.sel_end() - s.sel_begin());
}

void TextInput::select_all() {
    m_state->anchor = 0;
    m_state->cursor = m_state->text.size();
}

void TextInput::insert_at_cursor(std::string_view text) {
    m_state->insert(text);
}
void TextInput::apply_edit(a11y::TextEdit const& edit) {
    set_selection(size_t(std::max(0, edit.start)), size_t(std::max(0, edit.end)));
    if (!edit.select_only) insert_at_cursor(edit.text);
}

std::string const& TextInput::preedit() const {
    return m_state->preedit;
}

bool TextInput::take_dirty() {
    return std::exchange(m_state->dirty, false);
}
bool TextInput::take_submit() {
    return std::exchange(m_state->submit, false);
}

bool TextInput::handle_event(Event const& event) {
    State& s = *m_state;
    if (auto const* k = std::get_if<KeyEvent>(&event)) return s.key(*k, m_state);
    if (auto const* t = std::get_if<TextEvent>(&event)) {
        s.preedit.clear();
        s.insert(t->text);
        return true;
    }
    if (auto const* p = std::get_if<PreeditEvent>(&event)) {
        s.set_preedit(*p);
        return true;
    }
    if (auto const* p = std::get_if<PointerEvent>(&event)) return s.pointer(*p);
    if (auto const* w = std::get_if<WheelEvent>(&event)) return s.wheel(*w);
    if (auto const* f = std::get_if<FocusEvent>(&event)) {
        if (!f->focused) s.preedit.clear(), s.dragging = false;
        return false;
    }
    return false;
}

bool TextInput::perform_action(std::string_view action) {
    State& s = *m_state;
    if (action == "activate" || action == "focus")
        s.focused = true;
    else if (action == "select-all")
        select_all();
    else if (action == "copy")
        s.copy();
    else if (action == "cut")
        s.cut();
    else if (action == "paste")
        s.paste(m_state);
    else if (action == "submit")
        s.submit = true;
    else
        return false;
    return true;
}

void TextInput::set_focused(bool focused) {
    m_state->focused = focused;
    if (!focused) m_state->preedit.clear(), m_state->dragging = false;
}
bool TextInput::is_focused() const {
    return m_state->focused;
}
void TextInput::set_bounds(Rect bounds) {
    m_state->bounds = bounds;
}
Rect TextInput::bounds() const {
    return m_state->bounds;
}
void TextInput::set_text_renderer(TextRenderer* renderer) {
    m_state->renderer = renderer;
}

namespace {

struct Display {
    std::string text;
    size_t caret = 0;  // bytes into text
    size_t preedit_begin = 0;
    size_t preedit_end = 0;
};

Display display_of(std::string const& text, size_t cursor, std::string const& preedit,
                   size_t preedit_cursor) {
    Display d;
    d.text = text.substr(0, cursor) + preedit + text.substr(cursor);
    d.preedit_begin = cursor;
    d.preedit_end = cursor + preedit.size();
    d.caret = cursor + preedit_cursor;
    return d;
}

std::vector<std::pair<std::string, std::string>> attributes_of(TextRenderer::Style const& style) {
    return {
        {"family-name", style.family},
        {"size", std::to_string(int(std::lround(style.size_pt)))},
        {"weight", std::to_string(style.weight)},
        {"style", style.italic ? "italic" : "normal"},
        {"language", style.language},
        {"direction", style.right_to_left ? "rtl" : "ltr"},
    };
}

// The highlight of [begin, end) as one rectangle per laid-out line it touches.
std::vector<Rect> selection_rects(TextRenderer& r, std::string const& text, double size,
                                  double wrap, size_t begin, size_t end) {
    std::vector<Rect> rects;
    Rect a = r.caret_rect(text, size, wrap, begin);
    Rect b = r.caret_rect(text, size, wrap, end);
    double lh = r.line_height(size);
    if (a.y == b.y) {
        rects.push_back({a.x, a.y, std::max(b.x - a.x, 2.0), lh});
        return rects;
    }
    rects.push_back({a.x, a.y, std::max(wrap - a.x, 4.0), lh});
    for (double y = a.y + lh; y < b.y - 0.5; y += lh) rects.push_back({0, y, wrap, lh});
    rects.push_back({0, b.y, std::max(b.x, 4.0), lh});
    return rects;
}

}  // namespace

void TextInput::draw(DrawContext& ctx, Rect bounds) {
    State& s = *m_state;
    s.bounds = bounds;
    s.renderer = &ctx.text;
    Theme const& theme = ctx.theme;
    Painter& p = ctx.painter;
    double radius = theme.radius_medium;
    if (s.draws_frame) {
        p.fill_rounded_rect(bounds, radius, theme.input_fill);
        if (s.focused)
            p.stroke_rounded_rect(bounds.inset(0.75), radius - 0.75, theme.focus_ring, 1.5);
        else
            surface::soft_outline(p, theme, bounds, radius);
    }

    Rect content = s.content();
    double wrap = s.wrap_width();
    Display d = display_of(s.text, s.cursor, s.preedit, s.preedit_cursor);
    Rect caret = ctx.text.caret_rect(d.text, s.text_size, wrap, d.caret);

    // Bring the caret into view after it moved, but let the wheel scroll away from it.
    double total = ctx.text.measure(d.text, s.text_size, FontWeight::Regular, wrap).height;
    if (s.reveal_caret) {
        if (caret.bottom() - s.scroll > content.height) s.scroll = caret.bottom() - content.height;
        if (caret.y < s.scroll) s.scroll = caret.y;
        s.reveal_caret = false;
    }
    s.scroll = std::clamp(s.scroll, 0.0, std::max(0.0, total - content.height));

    p.push_clip(bounds.inset(2), std::max(0.0, radius - 2));
    p.push_translate(content.x, content.y - s.scroll);
    if (s.has_selection() && s.preedit.empty()) {
        Color fill = s.focused ? theme.accent.with_alpha(0.32f) : theme.hover_fill;
        for (Rect const& r :
             selection_rects(ctx.text, d.text, s.text_size, wrap, s.sel_begin(), s.sel_end()))
            p.fill_rounded_rect(r, 3, fill);
    }
    if (d.text.empty()) {
        if (!s.placeholder.empty())
            ctx.text.draw_text_weighted(p, s.placeholder, {0, 0}, s.text_size, FontWeight::Regular,
                                        theme.text_tertiary, wrap, true);
    } else if (s.preedit.empty()) {
        ctx.text.draw_text_weighted(p, d.text, {0, 0}, s.text_size, FontWeight::Regular,
                                    theme.text_primary, wrap);
    } else {
        TextSpan spans[] = {
            {d.text.substr(0, d.preedit_begin), theme.text_primary},
            {s.preedit, theme.text_primary, FontWeight::Regular, false, true},
            {d.text.substr(d.preedit_end), theme.text_primary},
        };
        ctx.text.draw_rich(p, spans, {0, 0}, wrap, s.text_size);
    }
    if (s.focused)
        p.fill_rect({std::round(caret.x), caret.y + 1, caret_width, caret.height - 2},
                    theme.text_primary);
    p.pop_translate();
    p.pop_clip();
}

Rect TextInput::caret_rect() const {
    State const& s = *m_state;
    Rect c = s.content();
    if (!s.renderer) return {c.x, c.y, caret_width, s.line_height()};
    Display d = display_of(s.text, s.cursor, s.preedit, s.preedit_cursor);
    Rect r = s.renderer->caret_rect(d.text, s.text_size, s.wrap_width(), d.caret);
    return {c.x + r.x, c.y + r.y - s.scroll, caret_width, r.height};
}

double TextInput::preferred_height(double width) const {
    State const& s = *m_state;
    double wrap = std::max(1.0, width - 2 * s.pad_x);
    double lines = 0;
    if (s.renderer) {
        // The placeholder is drawn on one line, ellipsized.
        std::string_view shown = s.text.empty() ? std::string_view(" ") : std::string_view(s.text);
        lines = s.renderer->measure(shown, s.text_size, FontWeight::Regular, wrap).height;
        if (!s.text.empty() && s.text.back() == '\n')
            lines = std::max(lines, double(std::count(s.text.begin(), s.text.end(), '\n') + 1) *
                                        s.line_height());
    } else {
        lines = double(std::count(s.text.begin(), s.text.end(), '\n') + 1) * s.line_height();
    }
    return lines + 2 * s.pad_y;
}

a11y::AccessNode TextInput::accessibility(std::string id, std::string label) const {
    a11y::AccessNode node;
    node.role = a11y::Role::TextInput;
    node.id = std::move(id);
    node.label = std::move(label);
    node.description = m_state->text.empty() ? m_state->placeholder : m_state->text;
    node.rect = m_state->bounds;
    node.states.focused = m_state->focused;
    auto [anchor, caret] = selection();
    node.text.emplace();
    node.text->text = m_state->text;
    node.text->caret = int(caret);
    node.text->selection_start = int(std::min(anchor, caret));
    node.text->selection_end = int(std::max(anchor, caret));
    State const& s = *m_state;
    if (!s.renderer) return node;
    // From the layout the field draws with, placed where the last draw put the text. While
    // the input method shows pre-edit text, the characters after the caret are drawn after
    // it; the pre-edit itself is not yet part of the text.
    Rect content = s.content();
    Display d = display_of(s.text, s.cursor, s.preedit, s.preedit_cursor);
    size_t preedit_from = text::scalars_before(d.text, d.preedit_begin);
    size_t preedit_to = text::scalars_before(d.text, d.preedit_end);
    auto rects = s.renderer->character_rects(d.text, s.text_size, s.wrap_width());
    for (size_t i = 0; i < rects.size(); ++i) {
        if (i >= preedit_from && i < preedit_to) continue;
        Rect r = rects[i];
        node.text->character_rects.push_back(
            {content.x + r.x, content.y - s.scroll + r.y, r.width, r.height});
    }
    node.text->attributes = attributes_of(s.renderer->style_of(s.text, s.text_size));
    for (auto const& run : s.renderer->style_runs(s.text, s.text_size, s.wrap_width()))
        node.text->runs.push_back({run.start, run.end, attributes_of(run.style)});
    return node;
}

}  // namespace vemo_ui
