#pragma once

#include <optional>
#include <string>

#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

struct DrawContext;

// Shows one tooltip for the control under the pointer once the pointer has rested on it
// for `delay` seconds; moving to another control starts over, leaving hides it at once.
class TooltipHost {
  public:
    static constexpr double default_delay = 0.5;
    static constexpr double text_size = 12.5;

    explicit TooltipHost(double delay = default_delay) : m_delay(delay) {}

    // Called with what is under the pointer on every pointer move (an empty id or text
    // means no tooltip there).
    void on_pointer(std::string const& target_id, Rect target_rect, std::string const& text,
                    double now);
    void on_leave();
    // A press hides the tooltip until the pointer moves to another control.
    void on_press();
    void tick(double now);

    // Waiting for the delay to pass: the owner keeps frames coming while this is true.
    bool pending() const { return m_target && !m_visible && !m_suppressed; }
    bool visible() const { return m_target && m_visible; }
    std::string const& text() const { return m_text; }
    std::string const& target_id() const { return m_id; }

    // Below the control (above when there is no room), inside `window`.
    void draw(DrawContext& ctx, Rect window);

  private:
    double m_delay;
    std::optional<double> m_since;
    bool m_target = false;
    bool m_visible = false;
    bool m_suppressed = false;
    std::string m_id;
    std::string m_text;
    Rect m_rect;
};

}  // namespace vemo_ui
