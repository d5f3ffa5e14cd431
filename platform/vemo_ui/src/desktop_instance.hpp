#pragma once

#include <optional>
#include <string>

#include "vemo_ui/launch.hpp"

namespace vemo_ui::detail {
class AppSession;
}

namespace vemo_ui::launch::detail {

// Makes this launch the one window of its application id on the session bus. When another
// process already holds it, hands this launch's request (raise the window, join an invite)
// over to it and returns the exit status this process should end with. Returns nothing when
// this process goes on to open the window itself, also when there is no session bus.
std::optional<int> claim_instance(LaunchConfig const& config, std::string const& program);

// Connects the claimed instance to the session and the window that was just shown, so that
// requests from later launches, clicked notifications and dropped files reach them.
void attach_instance(vemo_ui::detail::AppSession& session);

}  // namespace vemo_ui::launch::detail
