#pragma once

// Measures shared by the drawing files of the chat window.
namespace chat {

inline constexpr double row_pad_x = 20;
inline constexpr double group_window = 300;  // seconds between messages shown as one block

}  // namespace chat
