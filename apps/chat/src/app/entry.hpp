#pragma once

#include "vemo_ui/launch.hpp"

namespace chat {

// The launch configuration of the chat application.
vemo_ui::launch::LaunchConfig launch_config();

// Installs the process-wide blob store and hands control to the framework. Never returns.
[[noreturn]] void run(int argc, char** argv);

}  // namespace chat
