#pragma once

#include <array>
#include <expected>
#include <string>
#include <string_view>

#include "vemo_ui/launch.hpp"

namespace chat {

// Every scenario the screenshot writer knows, in the order they are listed.
extern std::array<std::string_view, 21> const screenshot_scenarios;

class ChatApp;

// Puts a fresh application into the named scenario's state; unknown names get the default.
void set_up_scenario(ChatApp& app, std::string_view name);
// The call part of a scenario, once the first sync has seeded the document.
void set_up_call_scenario(ChatApp& app, std::string_view name);
// Everything of a scenario that needs the seeded document: the call, a long thread.
void set_up_seeded_scenario(ChatApp& app, std::string_view name);

// Renders the requested scenario of a fresh application into a PNG file.
std::expected<void, std::string> write_shot(vemo_ui::launch::ScreenshotRequest const& request);

}  // namespace chat
