#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/hit_target.hpp"
#include "render_call/call_tiles.hpp"
#include "vemo_ui/floating_placement.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/widget.hpp"

namespace chat::render_call {

// One participant as the call shows them, rebuilt every frame.
struct CallTile {
    std::string id;
    std::string name;  // empty when the person is unknown
    std::string initials;
    uint32_t color = 0;
    bool local = false;
    bool talking = false;
    bool muted = false;
    bool audio_only = false;
    bool sharing = false;
    vemo_ui::ImageRef camera;  // the newest camera picture, if any
};

// Everything one frame of the call view draws from.
struct CallScene {
    std::string channel_id;
    std::string title;                // the call channel's name, or "Call"
    size_t participants = 0;          // voice participants of the channel
    std::vector<CallTile> tiles;      // the local user first
    std::optional<size_t> presenter;  // index into tiles
    vemo_ui::ImageRef screen;         // the presenter's newest screen picture
    bool muted = false;
    bool deafened = false;
    bool audio_only = false;
    bool participants_open = false;
    double reveal = 0;  // the participants list's appearance, 0 … 1
    std::optional<std::string> notice;
    std::optional<HitTarget> hover;
    std::optional<HitTarget> focus;
};

// The call view's own state, kept by the application between frames.
struct CallOverlay {
    vemo_ui::FloatingPlacement placement;
    bool expanded = false;
    bool participants_open = false;
    double reveal = 0;
    double reveal_target = 0;
    double reveal_time = -1;
    vemo_ui::Size drag_window_size{};
    std::optional<HitKind> hover_for_review;  // a still picture's hovered control

    // Back to the floating window, list closed (joining or leaving a call).
    void reset();
    void toggle_participants(double now);
    // Eases the reveal value towards the list's state; true while it moves.
    bool tick(double now);
    bool animating() const { return reveal != reveal_target; }
};

inline constexpr double floating_frame_side = 12;
inline constexpr double floating_header = 40;
inline constexpr double participant_cell = 42;

// "▾ 3 in call · peer-to-peer": the status line of the floating window.
std::string status_text(CallScene const& scene);
// Which controls the floating window shows at this window width.
std::vector<HitKind> floating_controls(double window_width);
// "3 in the call · Elin is sharing a screen".
std::string expanded_subtitle(CallScene const& scene);

// The floating window's frame around the body rectangle `body`.
vemo_ui::Rect floating_window_rect(vemo_ui::Rect body, CallScene const& scene);

void draw_call_tile(vemo_ui::DrawContext& ctx, CallTile const& tile, vemo_ui::Rect r);

// The floating call, attached or on its own surface. Controls go into `hits`.
void draw_floating_call(vemo_ui::DrawContext& ctx, CallScene const& scene,
                        vemo_ui::FloatingPlacement const& placement, std::vector<HitRegion>& hits);

// The call filling the main area.
void draw_expanded_call(vemo_ui::DrawContext& ctx, CallScene const& scene, vemo_ui::Rect area,
                        std::function<std::string(std::string_view)> const& translate,
                        std::vector<HitRegion>& hits);

}  // namespace chat::render_call
