#pragma once

#include "vemo_ui/painter.hpp"

namespace chat::render_call {

// The call controls' icons, drawn as lines in the control's own ink so they read on every
// theme and fill (colour emoji such as the microphone are near black and vanish on dark panels).
enum class CallIcon { Microphone, MicrophoneOff, Headphones, HeadphonesOff, Expand, Leave };

// Draws the icon into the square `box` (any size; designed on a 14-point grid).
void draw_call_icon(vemo_ui::Painter& p, CallIcon icon, vemo_ui::Rect box, vemo_ui::Color ink);

}  // namespace chat::render_call
