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

// How long the automation mode may wait for its next command line (`wait_ms`, negative for
// as long as it takes): a sharing session comes back often enough to keep serving its peers
// and taking in what they send while nobody gives it commands.
int idle_wait_ms(vemo_ui::detail::AppSession& session, int wait_ms);
// Between commands: one step of the conversation with peers, and what it brought goes to the
// file. The view catches up with the next command's frame.
void share_while_idle(vemo_ui::detail::AppSession& session);

}  // namespace vemo_ui::launch::detail
