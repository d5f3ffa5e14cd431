#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/hit_target.hpp"
#include "app/message_markup.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/widget.hpp"

namespace chat {

struct Message;

// The message's text read as Markdown, remembered for the next frames.
std::vector<markup::Block> const& message_blocks(Message const& m);
// The message's text as it reads on screen (no Markdown syntax).
std::string message_displayed_text(Message const& m);

// The rich spans one block's runs are drawn with in this theme; `hovered_link` is drawn in the
// hover colour.
std::vector<vemo_ui::TextSpan> block_spans(markup::Block const& block, vemo_ui::Theme const& t,
                                           std::string_view hovered_link = {});

// What drawing message text needs from the window: the row's id, the control under the pointer
// and the one with keyboard focus, and where to record the links it draws.
struct MarkupFrame {
    std::string message_id;
    std::optional<HitTarget> hover;
    std::optional<HitTarget> focused;
    std::function<void(vemo_ui::Rect, HitTarget)> hit;
};

// Lays the blocks out from (x, y) within `width` and, with `draw`, paints them and records a
// link control for every link fragment. Returns the height used.
double draw_markup(vemo_ui::DrawContext& ctx, std::vector<markup::Block> const& blocks, double x,
                   double y, double width, bool draw, MarkupFrame const& frame);

// Opens a link of a message, after checking it once more: only http, https and mailto leave
// the application. False when it was refused or the desktop could not open it.
bool open_link(std::string const& address);

// A hand over links, the arrow elsewhere.
void show_link_cursor(std::optional<HitTarget> const& hover);

}  // namespace chat
