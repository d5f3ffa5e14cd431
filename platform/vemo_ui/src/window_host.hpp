#pragma once

#include <string>

#include "vemo_ui/launch.hpp"

namespace vemo_ui::launch::detail {

// Opens the application window and runs the main loop until it closes. Returns the exit status.
int run_window(LaunchConfig const& config, CommandLine const& cmd, std::string const& program);

// Runs the application without a window, answering JSON commands read from standard input.
int run_automation(LaunchConfig const& config, std::string const& program);

}  // namespace vemo_ui::launch::detail
