#include "app/screenshots.hpp"

#include <iostream>

#include "app/chat_app.hpp"
#include "vemo_ui/shot_frame.hpp"

namespace chat {

std::array<std::string_view, 21> const screenshot_scenarios = {
    "narrow",
    "history",
    "compact",
    "starter",
    "people",
    "thread-narrow",
    "collaboration",
    "context",
    "msgmenu",
    "attach",
    "attach-loading",
    "attach-error",
    "edit",
    "composer",
    "call",
    "share",
    "floating-call-attached",
    "floating-call",
    "floating-call-hover",
    "floating-call-returning",
    "floating-call-returned",
};

std::expected<void, std::string> write_shot(vemo_ui::launch::ScreenshotRequest const& request)
{
    using vemo_ui::launch::shot_frame::ShotFrame;
    if (!request.output) return std::unexpected(std::string("missing screenshot output"));

    ChatApp app;
    auto theme = vemo_ui::launch::shot_theme(request);
    auto size = request.size.value_or(vemo_ui::launch::ShotSize{1280, 800});
    auto frame = ShotFrame::create(size.width, size.height, theme);
    if (!frame) return std::unexpected(frame.error());
    frame->sync(app);
    if (auto laid = frame->layout(app); !laid) return std::unexpected(laid.error().message);
    frame->draw(app);
    frame->draw_floating_surfaces(app);
    if (auto written = frame->write_png(*request.output); !written)
        return std::unexpected(written.error());
    std::cout << "chat: wrote shot to " << request.output->string() << "\n";
    return {};
}

}  // namespace chat
