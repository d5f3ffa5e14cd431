#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "vemo_ui/geometry.hpp"

namespace chat::render_call {

struct TileLayout {
    std::optional<vemo_ui::Rect> featured;  // the presenter's screen, when someone presents
    std::vector<vemo_ui::Rect> tiles;       // one per participant, in tile order
};

// Places `count` participant tiles in `area`: a grid whose rows are centred, or, with a
// presenter, a featured rectangle above a one-row filmstrip.
TileLayout layout_call_tiles(vemo_ui::Rect area, size_t count, bool presenter);

}  // namespace chat::render_call
