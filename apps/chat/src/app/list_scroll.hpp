#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace vemo_ui {
struct Color;
struct DrawContext;
struct Rect;
}  // namespace vemo_ui

namespace chat {

// How far a list that grows at its bottom (the conversation, a thread) is scrolled back from
// its latest row, and where its rows go on screen. Offsets are measured upwards from the
// bottom of the content, so a list at offset 0 stays on its latest row as rows arrive.
class ListScroll {
  public:
    double offset() const { return m_offset; }
    // At the latest row: a new row keeps the view on the latest.
    bool following() const { return m_follow; }
    bool scrolled_back() const { return m_offset > at_latest; }

    // A wheel or page step: positive moves towards the latest row.
    void scroll_by(double dy);
    void scroll_back(double offset);
    void jump_to_latest() { m_offset = 0, m_follow = true; }

    struct Pads {
        double top = 0;     // above the first row (a day label, say)
        double bottom = 0;  // below the latest row
    };
    // Brings row `index` of `count` into view in a view `view` tall. `covered` is how much of
    // the view's bottom is hidden while the list is scrolled back (a "jump to latest" button);
    // the row's bottom edge stays above it. Nearest scrolls only as far as needed (the row's
    // top wins for a row taller than the view); otherwise the row is centred.
    void reveal(size_t index, size_t count, std::function<double(size_t)> const& height,
                double view, Pads pads, bool nearest, double covered = 0);

    struct Placed {
        size_t index;
        double top;
        double height;
    };
    struct Placement {
        std::vector<Placed> rows;  // the rows in view, first to latest
        bool reached_first = false;
        double first_top = 0;  // where the first row's top is, once reached
    };
    // Measures rows from the latest (count - 1) upwards only as far as the view at this offset
    // needs, clamping the offset once the first row is reached so no blank shows above it.
    // `top_aligned` puts a list shorter than the view at its top rather than its bottom.
    Placement place(size_t count, std::function<double(size_t)> const& height, double view_top,
                    double view_bottom, Pads pads, bool top_aligned);

  private:
    static constexpr double at_latest = 0.5;  // an offset this small counts as at the latest

    double m_offset = 0;
    bool m_follow = true;
};

// The "↓ Jump to latest" button over the bottom of a list scrolled back from its latest row:
// its top lies `jump_button_lift` above the list's bottom, and a row scrolled into view while
// it shows keeps `jump_button_cover` clear at the bottom.
inline constexpr double jump_button_lift = 48;
inline constexpr double jump_button_cover = jump_button_lift + 8;

// Draws the button centred over `list`'s bottom on a backdrop of the list's own `background`
// that hides the rows beneath it; returns where it went.
vemo_ui::Rect draw_jump_button(vemo_ui::DrawContext& ctx, vemo_ui::Rect const& list,
                               vemo_ui::Color background, bool hovered, bool focused);

}  // namespace chat
