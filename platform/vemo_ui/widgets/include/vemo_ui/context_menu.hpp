#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "vemo_ui/a11y.hpp"
#include "vemo_ui/event.hpp"
#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

class TextRenderer;
struct DrawContext;

// A pop-up list of commands. The owner fills it with push, opens it at the pointer and
// feeds it events while it is open; the item the user picks is collected with take_chosen.
class ContextMenu {
  public:
    struct Item {
        std::string label;
        int code = 0;
        bool destructive = false;
    };
    struct Chosen {
        size_t index = 0;
        int code = 0;
    };

    static constexpr char const* item_id_prefix = "context-menu:item:";
    static constexpr double item_height = 32;
    static constexpr double padding = 6;
    static constexpr double text_size = 14;

    void push(std::string label, int code, bool destructive = false);
    void clear();
    std::vector<Item> const& items() const { return m_items; }

    void open_at(Point p);
    // Opens at p, shifted so that the whole menu lies inside `bounds` (its top-left corner
    // wins when the menu is larger); an empty bounds rectangle is ignored.
    void open_at_clamped(Point p, Rect bounds);
    void close();
    bool is_open() const { return m_open; }

    // While open, every key is the menu's (Up/Down/Home/End move, Enter/Space choose,
    // Escape closes). A primary press outside closes the menu and is used; a secondary
    // press outside closes it and is not, so the owner can open another menu there.
    bool handle_event(Event const& event);
    // "context-menu:item:<index>" chooses that item.
    bool perform_semantic_action(std::string const& id);
    std::optional<Chosen> take_chosen();
    std::optional<size_t> highlighted() const { return m_highlighted; }

    void set_text_renderer(TextRenderer* renderer) { m_renderer = renderer; }
    void draw(DrawContext& ctx);
    Rect rect() const { return m_rect; }
    Rect item_rect(size_t index) const;
    a11y::AccessNode accessibility() const;

  private:
    Size measure() const;
    void place();
    void choose(size_t index);
    bool key(KeyEvent const& k);
    bool pointer(PointerEvent const& p);
    std::optional<size_t> item_at(Point p) const;

    std::vector<Item> m_items;
    bool m_open = false;
    Point m_anchor;
    std::optional<Rect> m_bounds;
    Rect m_rect;
    std::optional<size_t> m_highlighted;
    std::optional<Chosen> m_chosen;
    TextRenderer* m_renderer = nullptr;
};

}  // namespace vemo_ui
