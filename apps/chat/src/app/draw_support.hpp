#pragma once

// Measures shared by the drawing files of the chat window.
namespace vemo_ui {
struct DrawContext;
struct Rect;
}  // namespace vemo_ui

namespace chat {

inline constexpr double row_pad_x = 20;
inline constexpr double group_window = 300;  // seconds between messages shown as one block

// The keyboard focus ring round a message row, kept inside the row so that a row as wide as
// its panel does not put the ring on the panel's edge.
void row_focus_ring(vemo_ui::DrawContext& ctx, vemo_ui::Rect const& row);

}  // namespace chat
