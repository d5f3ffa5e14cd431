#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>

#include "vemo_ui/layout.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/widget.hpp"

namespace vemo_ui::launch::shot_frame {

// An off-screen frame: runs one frame of a widget into an image and writes it as PNG. Needs
// no display.
class ShotFrame {
public:
    static std::expected<ShotFrame, std::string> create(uint32_t width, uint32_t height,
                                                        ThemeKind theme);
    ShotFrame(ShotFrame&&) noexcept;
    ShotFrame& operator=(ShotFrame&&) noexcept;
    ~ShotFrame();

    void sync(Widget& widget, automerge::AutoCommit* document = nullptr);
    std::expected<void, LayoutError> layout(Widget& widget);
    void draw(Widget& widget);
    void draw_floating_surfaces(Widget& widget);
    std::expected<void, std::string> write_png(std::filesystem::path const& path);

    uint32_t width() const;
    uint32_t height() const;

private:
    struct State;
    explicit ShotFrame(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

}  // namespace vemo_ui::launch::shot_frame
