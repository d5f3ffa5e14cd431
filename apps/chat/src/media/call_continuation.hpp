#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace chat::call {

// Which media a running call carries, and what the user turned off, so that the call can
// continue after a hand-over (another window, the desktop's own call surface).
struct RealtimeMediaFacets {
    bool microphone = false;
    bool camera = false;
    bool screen_share = false;
    bool share_audio = false;
    bool operator==(RealtimeMediaFacets const&) const = default;
};

struct RealtimeControlIntent {
    bool microphone_muted = false;
    bool camera_muted = false;
    bool screen_share_paused = false;
    bool share_audio_muted = false;
    bool operator==(RealtimeControlIntent const&) const = default;
};

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
