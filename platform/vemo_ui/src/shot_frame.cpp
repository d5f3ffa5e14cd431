#include "vemo_ui/shot_frame.hpp"

#include "frame_driver.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace vemo_ui::launch::shot_frame {

namespace {
constexpr double shot_time = 1000.0;  // a fixed clock, so the same scenario draws the same
}

struct ShotFrame::State {
    State(uint32_t w, uint32_t h, ThemeKind kind)
        : canvas(int(w), int(h)), theme(kind == ThemeKind::Light ? Theme::light() : Theme::dark())
    {
    }
    ImageCanvas canvas;
    Theme theme;
    TextRenderer text;
};

ShotFrame::ShotFrame(std::unique_ptr<State> state) : m_state(std::move(state)) {}
ShotFrame::ShotFrame(ShotFrame&&) noexcept = default;
ShotFrame& ShotFrame::operator=(ShotFrame&&) noexcept = default;
ShotFrame::~ShotFrame() = default;

std::expected<ShotFrame, std::string> ShotFrame::create(uint32_t width, uint32_t height,
                                                        ThemeKind theme)
{
    if (width == 0 || height == 0 || width > 16384 || height > 16384)
        return std::unexpected("screenshot size " + std::to_string(width) + "x" +
                               std::to_string(height) + " is out of range");
    auto state = std::make_unique<State>(width, height, theme);
    state->canvas.clear(state->theme.window_fill);
    return ShotFrame(std::move(state));
}

uint32_t ShotFrame::width() const { return uint32_t(m_state->canvas.width()); }
uint32_t ShotFrame::height() const { return uint32_t(m_state->canvas.height()); }

void ShotFrame::sync(Widget& widget, automerge::AutoCommit* document)
{
    vemo_ui::detail::FrameDriver(widget).sync(document, shot_time, 1.0);
}

std::expected<void, LayoutError> ShotFrame::layout(Widget& widget)
{
    return vemo_ui::detail::FrameDriver(widget).layout(Size{double(width()), double(height())});
}

void ShotFrame::draw(Widget& widget)
{
    DrawContext ctx{m_state->canvas.painter(), m_state->text, m_state->theme, shot_time, 1.0};
    vemo_ui::detail::FrameDriver(widget).draw(ctx, nullptr);
}

void ShotFrame::draw_floating_surfaces(Widget& widget)
{
    DrawContext ctx{m_state->canvas.painter(), m_state->text, m_state->theme, shot_time, 1.0};
    widget.draw_floating_surfaces(ctx);
}

std::expected<void, std::string> ShotFrame::write_png(std::filesystem::path const& path)
{
    return m_state->canvas.write_png(path.string());
}

}  // namespace vemo_ui::launch::shot_frame
