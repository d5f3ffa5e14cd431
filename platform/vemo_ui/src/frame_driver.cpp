#include "frame_driver.hpp"

#include <chrono>

namespace vemo_ui::detail {

void FrameDriver::sync(automerge::AutoCommit* document, double time, double ui_scale, share::Sharing* sharing)
{
    FrameContext ctx{.document = document, .time = time, .ui_scale = ui_scale, .sharing = sharing};
    m_widget.sync(ctx);
}

std::expected<void, LayoutError> FrameDriver::layout(Size size)
{
    auto placed = compute_layout(m_widget.build_layout(), size);
    if (!placed) return std::unexpected(placed.error());
    m_widget.apply_layout(*placed, 0, 0);
    return {};
}

void FrameDriver::draw(DrawContext& ctx, PresenceCtx const* presence)
{
    if (presence)
        m_widget.draw_with_presence(ctx, *presence);
    else
        m_widget.draw(ctx);
}

double monotonic_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace vemo_ui::detail
