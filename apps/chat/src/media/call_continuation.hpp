#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "vemo_ui/realtime_continuity.hpp"

namespace chat::call {

// The media facets and control intent records are the UI framework's, which carries the
// continuation across a hand-over (another window, a restart, the desktop's own call surface).
using RealtimeMediaFacets = vemo_ui::realtime_continuity::RealtimeMediaFacets;
using RealtimeControlIntent = vemo_ui::realtime_continuity::RealtimeControlIntent;

struct ChatCallContinuation {
    std::string workspace_id;
    std::string channel_id;
    RealtimeMediaFacets media;
    RealtimeControlIntent controls;
    bool operator==(ChatCallContinuation const&) const = default;
};

// Compact JSON, members in declaration order.
std::string encode_continuation(ChatCallContinuation const& c);
// Every member is required and must have its type; anything else is an error text.
std::expected<ChatCallContinuation, std::string> decode_continuation(std::string_view json);

}  // namespace chat::call
