#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vemo_actions/action_context.hpp"
#include "vemo_actions/encoded_action.hpp"
#include "vemo_actions/registry.hpp"
#include "vemo_actions/typed_action.hpp"

namespace vemo_actions::executor {

// One dispatch as the framework saw it, whether it was applied or refused.
struct DispatchRecord {
    EncodedAction action;
    std::string debug_text;
    std::vector<uint8_t> actor;
    std::optional<ActionContext> context;
    std::optional<ActionError> error;  // none when the action was applied
};

// Runs one action against the document:
//  1. decode check: the encoded action has a kind and a well-formed payload; with a
//     registry, the kind's decoder accepts the payload and decodes to the same action
//     (equal debug text), so what is recorded is what runs;
//  2. apply: the typed action's apply on the document (an exception from it is caught
//     and reported as an error);
//  3. one DispatchRecord appended to `records` either way.
// The document's transaction is left open; committing belongs to the caller.
std::expected<void, ActionError> dispatch_by(automerge::AutoCommit& document, TypedAction& action,
                                             EncodedAction const& encoded,
                                             std::vector<DispatchRecord>& records,
                                             std::span<uint8_t const> actor,
                                             ActionRegistry const* registry = nullptr);

std::expected<void, ActionError> dispatch_by_with_context(
    automerge::AutoCommit& document, TypedAction& action, EncodedAction const& encoded,
    std::vector<DispatchRecord>& records, std::span<uint8_t const> actor,
    ActionContext const& context, ActionRegistry const* registry = nullptr);

// For actions that arrive only in encoded form (automation, forwarded actions): decodes
// with the registry, then dispatches as above.
std::expected<void, ActionError> dispatch_encoded(
    automerge::AutoCommit& document, ActionRegistry const& registry, EncodedAction const& encoded,
    std::vector<DispatchRecord>& records, std::span<uint8_t const> actor,
    std::optional<ActionContext> const& context = std::nullopt);

}  // namespace vemo_actions::executor
