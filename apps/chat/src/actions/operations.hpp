#pragma once

#include <optional>
#include <string>
#include <variant>

#include "actions/chat_action.hpp"
#include "model/view_model.hpp"
#include "vemo_actions/encoded_action.hpp"

namespace chat {

// What an operation does to the running application. ChatApp implements it; the checks
// that come before each call live with the operation handling.
class OperationTarget {
public:
    virtual ~OperationTarget() = default;
    virtual void open_workspace(std::string const& workspace) = 0;
    virtual void open_channel(std::string const& workspace, std::string const& channel) = 0;
    virtual void open_category(std::string const& workspace, std::string const& category) = 0;
    virtual void reveal_message(std::string const& workspace, std::string const& channel,
                                std::string const& message, std::optional<std::string> const& parent) = 0;
    virtual void open_person(std::string const& user) = 0;
    // Starts importing a file as an attachment; false when the import is refused.
    virtual bool start_attachment_import(std::string const& channel, std::string const& path) = 0;
};

struct OperationNotHandled {};
struct OperationDone {};
struct OperationError {
    std::string message;
};
using OperationOutcome = std::variant<OperationNotHandled, OperationDone, OperationError>;

// Decodes, checks and performs one encoded operation against the current view.
OperationOutcome handle_chat_operation(vemo_actions::EncodedAction const& encoded,
                                       model::ViewModel const& view, std::string const& current_workspace,
                                       OperationTarget& target);

}  // namespace chat
