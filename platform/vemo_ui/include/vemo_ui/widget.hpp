#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vemo_ui/a11y.hpp"
#include "vemo_ui/event.hpp"
#include "vemo_ui/geometry.hpp"
#include "vemo_ui/layout.hpp"

namespace automerge {
class AutoCommit;
}

namespace vemo_ui {

class Painter;
class TextRenderer;
struct Theme;
class PresenceCtx;

// What the framework hands the widget at the start of a frame.
struct FrameContext {
    automerge::AutoCommit* document = nullptr;  // the framework's document; null when none is open
    double time = 0;                           // monotonic seconds
    double ui_scale = 1;
};

struct DrawContext {
    Painter& painter;
    TextRenderer& text;
    Theme const& theme;
    double time = 0;
    double ui_scale = 1;
};

// The operations the framework drives an application widget through. Everything has a
// default, so a widget implements only what it uses.
class Widget {
public:
    virtual ~Widget() = default;

    virtual void sync(FrameContext& ctx) { (void)ctx; }
    virtual LayoutNode build_layout() { return LayoutNode::fill(debug_name()); }
    virtual void apply_layout(Layout const& layout, double origin_x, double origin_y)
    {
        (void)layout, (void)origin_x, (void)origin_y;
    }
    virtual void draw(DrawContext& ctx) { (void)ctx; }
    // True when the event was used.
    virtual bool handle_event(Event const& event) { return (void)event, false; }
    virtual std::vector<std::string> operation_kinds() const { return {}; }
    virtual std::string debug_name() const { return "Widget"; }
    virtual Rect content_bounds() const { return {}; }
    virtual bool text_input_active() const { return false; }
    virtual a11y::AccessNode accessibility() const { return {}; }
    virtual std::optional<Rect> synthetic_accessibility_rect(int kind, size_t index) const
    {
        return (void)kind, (void)index, std::nullopt;
    }
    virtual bool focus_synthetic_accessibility(int kind, size_t index)
    {
        return (void)kind, (void)index, false;
    }
    virtual bool perform_semantic_action(std::string const& id, std::string const& action)
    {
        return (void)id, (void)action, false;
    }
    virtual bool accepts_keyboard_focus() const { return false; }
    virtual bool exposes_accessibility() const { return false; }
    virtual bool exposes_automation() const { return false; }
    virtual bool is_dragging_floating_call() const { return false; }
    virtual bool needs_animation_frame() const { return false; }
    virtual std::optional<Rect> text_input_caret_rect() const { return std::nullopt; }
    virtual bool take_layout_changed() { return false; }
    virtual void draw_with_presence(DrawContext& ctx, PresenceCtx const& presence)
    {
        (void)presence;
        draw(ctx);
    }
    // Surfaces drawn outside the main window (a detached call window, say), for screenshots.
    virtual void draw_floating_surfaces(DrawContext& ctx) { (void)ctx; }
};

}  // namespace vemo_ui
