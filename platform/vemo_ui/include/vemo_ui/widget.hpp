#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vemo_actions/encoded_action.hpp"
#include "vemo_actions/resource.hpp"
#include "vemo_ui/a11y.hpp"
#include "vemo_ui/bound_dispatch.hpp"
#include "vemo_ui/event.hpp"
#include "vemo_ui/geometry.hpp"
#include "vemo_ui/layout.hpp"

namespace automerge {
class AutoCommit;
}

namespace vemo_ui::share {
class Sharing;
}

namespace vemo_ui {

namespace realtime_continuity {
class Participant;
}

namespace search::provider {
class SearchProvider;
}

class Painter;
class TextRenderer;
struct Theme;
class PresenceCtx;

// What the framework hands the widget at the start of a frame.
struct FrameContext {
    automerge::AutoCommit* document = nullptr;  // the framework's document; null when none is open
    double time = 0;                           // monotonic seconds
    double ui_scale = 1;
    share::Sharing* sharing = nullptr;  // how the document is shared; null when it is not
};

struct DrawContext {
    Painter& painter;
    TextRenderer& text;
    Theme const& theme;
    double time = 0;
    double ui_scale = 1;
};

// A surface the application shows on the desktop beside its main window (a call window
// dragged out of it). `rect` is in the main window's logical coordinates and may lie outside.
struct DesktopSurface {
    std::string id;      // stays the same while the surface lives
    std::string title;   // what the desktop's window list calls it
    std::string app_id;  // the application the desktop groups it with
    Rect rect;
};

// The operations the framework drives an application widget through. Everything has a
// default, so a widget implements only what it uses.
class Widget {
public:
    virtual ~Widget() = default;

    virtual void sync(FrameContext& ctx) { (void)ctx; }
    // The person ends the program (closes the window, Ctrl+Q): end what must not outlive the
    // run, such as a call. Called once, before the document is written out the last time; not
    // on a termination signal, where a running call is kept for the next start.
    virtual void closing() {}
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
    // Applies an edit assistive technology asks of the text field with this id.
    virtual bool perform_text_edit(std::string const& id, a11y::TextEdit const& edit)
    {
        return (void)id, (void)edit, false;
    }
    // What the screen reader should speak since the last frame (new messages...), handed
    // over once, after the frame's tree.
    virtual std::vector<std::string> take_announcements() { return {}; }
    virtual bool accepts_keyboard_focus() const { return false; }
    virtual bool exposes_accessibility() const { return false; }
    virtual bool exposes_automation() const { return false; }
    // What the application offers software agents: its resources with their action specs.
    virtual std::vector<vemo_actions::resource::Resource> list_resources() { return {}; }
    virtual std::optional<vemo_actions::resource::Resource> describe_resource(
        std::string const& address)
    {
        return (void)address, std::nullopt;
    }
    // The outcome of the last dispatch, handed over once.
    virtual std::optional<bound_dispatch::DispatchReport> take_dispatch_report()
    {
        return std::nullopt;
    }
    // Carries out an encoded operation of one of operation_kinds().
    virtual std::expected<void, std::string> handle_operation(
        vemo_actions::EncodedAction const& operation)
    {
        return std::unexpected("no operation handler for '" + operation.kind + "'");
    }
    // Dispatches an encoded action of a registered kind against the document, as a click
    // would. The default refuses: only applications with actions accept them.
    virtual std::expected<void, std::string> dispatch_encoded(
        vemo_actions::EncodedAction const& action)
    {
        return std::unexpected("no action handler for '" + action.kind + "'");
    }
    // The framework's one-line notice about the document (saving fails, changes wait for
    // missing history, unreadable data was set aside); empty when there is none.
    virtual void set_document_status(std::string const& line) { (void)line; }
    // Files dropped onto the window from the file manager, as local paths, at a point in
    // window coordinates. True when the widget took them.
    virtual bool drop_files(std::vector<std::string> const& paths, Point at)
    {
        return (void)paths, (void)at, false;
    }
    virtual bool is_dragging_floating_call() const { return false; }
    virtual bool needs_animation_frame() const { return false; }
    // Whether the animation that runs moves or changes what assistive technology sees (a panel
    // sliding in, rows changing height); hosts build the accessibility tree again after each
    // such frame. Any animation may, unless the widget knows better.
    virtual bool animation_moves_controls() const { return needs_animation_frame(); }
    virtual std::optional<Rect> text_input_caret_rect() const { return std::nullopt; }
    virtual bool take_layout_changed() { return false; }
    virtual void draw_with_presence(DrawContext& ctx, PresenceCtx const& presence)
    {
        (void)presence;
        draw(ctx);
    }
    // What the application offers the global search; asked for whenever a search runs.
    virtual std::vector<std::shared_ptr<search::provider::SearchProvider>> search_providers()
    {
        return {};
    }
    // Surfaces drawn outside the main window (a detached call window, say), for screenshots.
    virtual void draw_floating_surfaces(DrawContext& ctx) { (void)ctx; }
    // Live desktop surfaces. A window host that can show them says so first; without one the
    // application keeps everything inside its main window. Surfaces draw and take pointer
    // events in the main window's coordinates.
    virtual void set_desktop_surfaces_available(bool available) { (void)available; }
    virtual std::vector<DesktopSurface> desktop_surfaces() const { return {}; }
    virtual void draw_desktop_surface(std::string const& id, DrawContext& ctx)
    {
        (void)id, (void)ctx;
    }
    virtual a11y::AccessNode desktop_surface_accessibility(std::string const& id) const
    {
        return (void)id, a11y::AccessNode{};
    }
    // The desktop handed the surface back (its window was closed): the application takes it in.
    virtual void desktop_surface_returned(std::string const& id) { (void)id; }
    // The main window moved on the desktop by `by`: surfaces keep their place on the desktop,
    // so their rectangles move the other way in the main window's coordinates.
    virtual void main_window_moved(Point by) { (void)by; }
    // Work that must keep running between repaints (live call media): while this answers a
    // positive number of seconds, the host runs realtime_tick at least that often, drawn or not.
    virtual double realtime_interval() const { return 0; }
    virtual void realtime_tick(FrameContext& ctx) { (void)ctx; }
    // A widget that runs a live session lets the framework carry it across a restart and end
    // it from outside (realtime_continuity.hpp).
    virtual realtime_continuity::Participant* realtime_participant() { return nullptr; }
    // State the automation host reports for a command it does not know itself, as JSON text.
    virtual std::optional<std::string> automation_state(std::string const& topic)
    {
        return (void)topic, std::nullopt;
    }
};

}  // namespace vemo_ui
