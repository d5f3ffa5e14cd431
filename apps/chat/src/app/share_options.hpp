#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "vemo_ui/share/sharing.hpp"

namespace chat {

// The sharing options of the command line: --join INVITE (or an invite link as an argument)
// and --sync-server URL.
struct ShareArgs {
    std::optional<std::string> join;
    std::optional<std::string> sync_server;
};

struct SplitArgs {
    ShareArgs share;
    std::vector<char*> rest;  // everything else, for the framework, argv[0] first
};

// Takes the sharing options out of the command line; the framework parses the rest.
std::expected<SplitArgs, std::string> take_share_args(int argc, char** argv);

// Sharing as the environment and the command line ask for it: VEMO_CHAT_SHARING=off keeps the
// document local, VEMO_CHAT_SYNC_SERVER names a sync server (the option wins), and
// VEMO_CHAT_SYNC_LOOPBACK=1 keeps the endpoint on loopback addresses (tests).
std::optional<vemo_ui::share::Options> sharing_options(ShareArgs const& args);

}  // namespace chat
