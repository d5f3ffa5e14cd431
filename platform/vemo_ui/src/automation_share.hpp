#pragma once

#include <expected>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app_session.hpp"
#include "vemo_ui/automation_command.hpp"

namespace vemo_ui::launch::detail {

using ShareAnswer = std::expected<nlohmann::json, std::string>;

// The sharing commands of the automation mode: "invite", "join" and "sharing". Nothing for
// any other command. `frame` runs one frame of the host (which also takes in what peers sent).
std::optional<ShareAnswer> run_share_command(vemo_ui::detail::AppSession& session,
                                             automation::Command const& cmd,
                                             std::function<void()> const& frame);

}  // namespace vemo_ui::launch::detail
