#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <automerge/automerge.hpp>

#include "vemo_actions/encoded_action.hpp"

namespace vemo_ui::bound_dispatch {

// One dispatched action with the document heads around it: enough to show a history and,
// later, to undo by going back to `heads_before`.
struct DispatchedAction {
    uint64_t token = 0;
    vemo_actions::EncodedAction action;
    std::vector<automerge::ChangeHash> heads_before;
    std::vector<automerge::ChangeHash> heads_after;
    bool reported = false;
};

// What an application hands the framework after a dispatch (take_dispatch_report).
struct DispatchReport {
    vemo_actions::EncodedAction action;
    bool ok = true;
    std::string error;  // display text when !ok
    std::vector<automerge::ChangeHash> heads_after;
    // Why the action wrote nothing although it was applied, when one of its checks refused
    // it (an unknown target, text too long, an id in use); empty otherwise.
    std::string unchanged_reason;
};

struct Token {
    uint64_t id = 0;
};

inline constexpr size_t history_limit = 256;

// Announces an action about to be applied; the token ties the later report to it. Returns
// none when the document has no open history (never in practice; kept for callers that
// dispatch outside a frame).
std::optional<Token> typed_action_before(automerge::AutoCommit& document,
                                         vemo_actions::EncodedAction const& action);

// Records the heads after a successful dispatch.
void report_typed_action(automerge::AutoCommit& document, Token token,
                         std::vector<automerge::ChangeHash> heads_after);

// The most recent dispatches, oldest first, at most history_limit of them.
std::vector<DispatchedAction> history();
void clear_history();

}  // namespace vemo_ui::bound_dispatch
