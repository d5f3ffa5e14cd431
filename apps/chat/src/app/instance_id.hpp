#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace chat {

// The bus name of the one window per data directory: the application id for the usual
// directory, and the id with a hash of the directory's path for any other, so that two people
// with two data directories still run side by side.
std::string instance_id();

// The invite a link names: "vemo-invite:…" itself, or "vemo-chat:join?invite=…" with the
// invite percent-encoded. Nothing for text that is no link of ours; an error for a link of
// ours that names no invite.
std::expected<std::optional<std::string>, std::string> invite_from_link(std::string_view link);

}  // namespace chat
