#pragma once

#include <optional>
#include <string_view>

#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

// How a floating panel sits in its host window. All lengths in logical points.
struct FloatingValues {
    double margin = 12;        // kept free between the panel's frame and the content's edge
    double chrome = 40;        // the panel's header above its body
    double footer = 76;        // the panel's status line and controls below its body
    double anchor_x = 0.505;   // the body's centre, as a share of the content's width
    double anchor_y = 0.30;    // and of its height
    double attached_w = 0.25;  // the attached body's size as a share of the content
    double attached_h = 0.23;
    Size default_size{360, 220};  // the body's size before any content is known
};

// Where the panel is drawn and how: `offset` moves the body from its placed rectangle, `scale`
// shrinks it around its centre, and `attached_chrome` says whether it wears the frame of a panel
// inside the window (true) or of a desktop window of its own (false).
struct PresentationTransform {
    Point offset{};
    double scale = 1;
    bool attached_chrome = true;
};

// A panel (the floating call) that floats over the window's content, can be dragged about
// inside it and out of it onto the desktop, and back. Out of the window it is detached: the
// rectangle is then in the coordinates of the window's content but lies (partly) outside it,
// and the host shows it as a desktop surface of its own.
//
// The hand-off between attached and detached is animated; its progress runs from 0 (just
// handed off) to 1 (settled). `pin_handoff_for_visual_review(p)` freezes it at p / 1000: 500
// is half way, 1000 the settled end.
class FloatingPlacement {
  public:
    enum class State { Attached, Dragging, Detached, Returning };

    static constexpr double handoff_seconds = 0.22;
    static constexpr double collapse_seconds = 0.18;

    // Places the attached panel in `content` (nothing moves while dragged or detached).
    void place(Rect const& content, FloatingValues const& values = {});
    // The body's rectangle: attached, dragged or detached.
    Rect rect() const { return m_rect; }
    // The rectangle the attached panel takes in the content last placed.
    Rect attached_rect() const { return m_attached; }
    State state() const { return m_state; }
    bool is_detached() const { return m_state == State::Detached || m_state == State::Returning; }
    bool is_dragging() const { return m_drag.has_value(); }

    void set_attached_chrome(bool attached) { m_attached_chrome = attached; }
    bool attached_chrome() const { return m_attached_chrome; }
    PresentationTransform presentation_transform(Rect const& body, bool attached_chrome) const;

    // A drag of the panel's handle. The panel follows the pointer; once the pointer leaves the
    // content it detaches (and keeps following), let go over the content while detached it is
    // adopted back.
    void begin_drag(Rect const& content, Point pointer);
    void update_drag(Point pointer, Rect const& content);
    void end_drag(Point pointer);

    // Hands the panel to a desktop surface at `window` (the body's rectangle).
    void detach_to_desktop(Rect const& window);
    // Moves the detached panel that is not being dragged (its host window moved beneath it).
    void shift_detached(Point by);
    // The application took the detached panel back into `content`.
    void confirm_app_adoption(Rect const& content);

    void tick(double now);
    bool is_handoff_animating() const;
    double handoff_progress() const { return m_handoff; }
    void pin_handoff_for_visual_review(int permille);

    // The collapse of the detached window into its header: 1 open, 0 collapsed.
    void start_collapse(bool collapse, double now);
    void freeze_collapse(double value);
    double collapse_value() const { return m_collapse; }
    bool is_collapse_animating() const;

  private:
    void start_handoff();

    FloatingValues m_values;
    Rect m_content;
    Rect m_attached{0, 0, 360, 220};
    Rect m_rect{0, 0, 360, 220};
    State m_state = State::Attached;
    bool m_attached_chrome = true;
    struct Drag {
        Point grab;  // pointer minus the body's top-left
        Rect content;
    };
    std::optional<Drag> m_drag;
    Rect m_handoff_from;
    double m_handoff = 1;
    double m_handoff_start = -1;  // negative: not started from a clock yet
    bool m_pinned = false;
    double m_now = 0;
    double m_collapse = 1, m_collapse_from = 1, m_collapse_to = 1, m_collapse_start = 0;
    bool m_collapse_frozen = false;
};

// The collapse value a "…-collapse-N" review name asks for: the animation min(N, 1000) / 1000
// of its way, so the value 1 − that. `suffix` is what follows "collapse-": an optional '+' and
// decimal digits, read up to the first non-digit. Absent when there are no digits.
std::optional<double> collapse_value_for(std::string_view suffix);

}  // namespace vemo_ui
