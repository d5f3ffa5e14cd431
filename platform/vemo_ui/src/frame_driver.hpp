#pragma once

#include <expected>

#include "vemo_ui/layout.hpp"
#include "vemo_ui/widget.hpp"

namespace vemo_ui::detail {

// One frame of the cycle every host runs: sync, build and apply the layout, draw. The window,
// the screenshot frame and the automation host all drive widgets through this.
class FrameDriver {
public:
    explicit FrameDriver(Widget& widget) : m_widget(widget) {}

    void sync(automerge::AutoCommit* document, double time, double ui_scale, share::Sharing* sharing = nullptr);
    std::expected<void, LayoutError> layout(Size size);
    void draw(DrawContext& ctx, PresenceCtx const* presence);

    Widget& widget() { return m_widget; }

private:
    Widget& m_widget;
};

double monotonic_seconds();

}  // namespace vemo_ui::detail
