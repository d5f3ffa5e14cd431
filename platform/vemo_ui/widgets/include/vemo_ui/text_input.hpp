#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vemo_ui/a11y.hpp"
#include "vemo_ui/event.hpp"
#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

class Clipboard;
class TextRenderer;
struct DrawContext;

// An editable, wrapping, multi-line text field drawn immediate-mode: the owner keeps it,
// hands it events and draws it into a rectangle each frame. Public positions count Unicode
// scalar values; the caret itself only ever rests between grapheme clusters.
//
// Changes made by the user (typing, deleting, pasting, committing input-method text,
// insert_at_cursor) raise the dirty flag that take_dirty reports once; set_text does not,
// so the owner can put stored text back without echoing it. Enter raises the submit flag
// instead of inserting; Shift+Enter inserts a line feed.
class TextInput {
  public:
    TextInput();
    ~TextInput();
    TextInput(TextInput&&) noexcept;
    TextInput& operator=(TextInput&&) noexcept;
    TextInput(TextInput const&) = delete;
    TextInput& operator=(TextInput const&) = delete;

    // A field whose text lives only in this process (the owner may mirror it elsewhere).
    static TextInput local();

    void set_text(std::string_view text);
    std::string const& text() const;
    void set_placeholder(std::string placeholder);
    std::string const& placeholder() const;
    // Who types here; an owner that shares the text with others attributes edits with it.
    void set_local_author(std::string author);
    std::string const& local_author() const;
    void set_text_size(double size_pt);
    // Inner margin between the field's rectangle and its text.
    void set_padding(double horizontal, double vertical);
    // Whether draw paints the field's own background and outline (off when the owner draws
    // a larger container around it).
    void set_draws_frame(bool draws_frame);
    void set_clipboard(std::shared_ptr<Clipboard> clipboard);

    void set_cursor_pos(size_t scalar_index);
    size_t cursor_pos() const;
    // Selection as scalar indices, anchor first; equal when nothing is selected.
    void set_selection(size_t anchor, size_t cursor);
    std::pair<size_t, size_t> selection() const;
    std::string selected_text() const;
    void select_all();
    // Replaces the selection (or inserts at the caret) and leaves the caret after the text.
    void insert_at_cursor(std::string_view text);
    // Carries out an edit asked for by assistive technology, as the user's own change.
    void apply_edit(a11y::TextEdit const& edit);
    std::string const& preedit() const;

    bool take_dirty();
    bool take_submit();

    // True when the event was used. Pointer events use the rectangle of the last draw (or
    // set_bounds); presses outside it are not used.
    bool handle_event(Event const& event);
    // Semantic actions: "activate"/"focus", "select-all", "copy", "cut", "paste", "submit".
    bool perform_action(std::string_view action);

    void set_focused(bool focused);
    bool is_focused() const;
    void set_bounds(Rect bounds);
    Rect bounds() const;
    // Lets layout and pointer hits measure before the first draw.
    void set_text_renderer(TextRenderer* renderer);

    void draw(DrawContext& ctx, Rect bounds);
    // The caret in window coordinates, for placing the input method's candidate window.
    Rect caret_rect() const;
    // Height that shows every line at this width, padding included (owners clamp it).
    double preferred_height(double width) const;
    a11y::AccessNode accessibility(std::string id, std::string label) const;

  private:
    struct State;
    std::shared_ptr<State> m_state;
};

}  // namespace vemo_ui
