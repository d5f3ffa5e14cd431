#pragma once

#include <automerge/automerge.hpp>
#include <optional>
#include <string>

#include "actions/chat_action.hpp"

namespace chat {

// Writes one action into the document. An action whose checks fail, or whose target is
// gone, writes nothing: that is not an error, so this always succeeds. It returns why it
// wrote nothing when a check refused the action, for telling the person or agent.
std::optional<std::string> apply_action(automerge::AutoCommit& doc, ChatAction const& action);

// The checks a new message must pass before it is written.
bool is_valid_message_id(std::string_view id);
bool is_valid_attachment(Attachment const& attachment);

inline constexpr size_t max_message_text_bytes = 65536;

}  // namespace chat
