#pragma once

#include <filesystem>
#include <optional>

namespace chat {

inline constexpr char const* document_file_name = "workspace.automerge";

// Where the chat keeps its files: $VEMO_CHAT_DATA as given, else the user's data directory
// joined with "vemo-chat", else ~/.local/share/vemo-chat; none when nothing is known.
std::optional<std::filesystem::path> data_directory();

}  // namespace chat
