#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "vemo_actions/action_context.hpp"
#include "vemo_actions/encoded_action.hpp"

namespace automerge {
class AutoCommit;
}

namespace vemo_actions {

// What an action sees of its dispatch besides the document.
struct ApplyContext {
    EncodedAction const& encoded;
    std::span<uint8_t const> actor;  // the document actor the change is written as
    ActionContext const* context;    // null when dispatched without one
};

// A decoded action of some application kind. apply writes to the document; it must check
// everything before its first write, since the framework cannot take writes back.
class TypedAction {
  public:
    virtual ~TypedAction() = default;
    virtual std::string debug_text() const = 0;
    virtual std::expected<void, ActionError> apply(automerge::AutoCommit& document,
                                                   ApplyContext& context) = 0;
};

}  // namespace vemo_actions
