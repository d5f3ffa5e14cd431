#pragma once

#include <memory>
#include <optional>

#include <automerge/automerge.hpp>

#include "actions/chat_action.hpp"
#include "vemo_actions/action_context.hpp"
#include "vemo_actions/registry.hpp"
#include "vemo_actions/typed_action.hpp"
#include "vemo_ui/bound_dispatch.hpp"

namespace chat {

// A ChatAction as the action framework runs it.
class ChatTypedAction final : public vemo_actions::TypedAction {
public:
    explicit ChatTypedAction(ChatAction action) : m_action(std::move(action)) {}
    std::string debug_text() const override;
    std::expected<void, vemo_actions::ActionError> apply(automerge::AutoCommit& document,
                                                         vemo_actions::ApplyContext& context) override;
    ChatAction const& action() const { return m_action; }
    // Why the last apply wrote nothing, when a check refused the action.
    std::optional<std::string> const& refused() const { return m_refused; }

private:
    ChatAction m_action;
    std::optional<std::string> m_refused;
};

// Registers the "chat.action" kind with the framework's registry.
void register_chat_actions(vemo_actions::ActionRegistry& registry);

// What dispatching needs to remember between actions.
struct ActionState {
    std::optional<vemo_actions::ActionContext> standing_context;
    std::optional<vemo_ui::bound_dispatch::DispatchReport> pending_report;
};

// Runs one action through the framework against the document: announce it, apply it with the
// document's actor and the combined context, report the heads after it. A failure is logged
// as "action dispatch failed" and changes nothing. Answers whether it was applied.
bool dispatch_action(ActionState& state, automerge::AutoCommit& document, ChatAction const& action,
                     std::optional<vemo_actions::ActionContext> resource_context = std::nullopt);

}  // namespace chat
