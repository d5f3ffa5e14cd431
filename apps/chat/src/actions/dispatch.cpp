#include "actions/dispatch.hpp"

#include <spdlog/spdlog.h>

#include "actions/apply.hpp"
#include "vemo_actions/executor.hpp"

namespace chat {

std::string ChatTypedAction::debug_text() const { return chat::debug_text(m_action); }

std::expected<void, vemo_actions::ActionError> ChatTypedAction::apply(automerge::AutoCommit& document,
                                                                      vemo_actions::ApplyContext&)
{
    m_refused = apply_action(document, m_action);
    return {};
}

void register_chat_actions(vemo_actions::ActionRegistry& registry)
{
    auto registered = registry.register_kind(
        chat_action_kind,
        [](std::string_view json) -> std::expected<std::unique_ptr<vemo_actions::TypedAction>, vemo_actions::ActionError> {
            auto action = decode_chat_action(json);
            if (!action)
                return std::unexpected(vemo_actions::ActionError{
                    vemo_actions::ActionError::Code::Malformed,
                    std::string(chat_action_kind) + ": " + action.error()});
            return std::make_unique<ChatTypedAction>(std::move(*action));
        });
    if (!registered) spdlog::warn("chat actions already registered: {}", registered.error().display());
}

bool dispatch_action(ActionState& state, automerge::AutoCommit& document, ChatAction const& action,
                     std::optional<vemo_actions::ActionContext> resource_context)
{
    vemo_actions::EncodedAction encoded{chat_action_kind, encode(action), std::nullopt};
    auto token = vemo_ui::bound_dispatch::typed_action_before(document, encoded);
    auto actor_view = document.get_actor().to_bytes();
    std::vector<uint8_t> actor(actor_view.begin(), actor_view.end());

    std::optional<vemo_actions::ActionContext> context;
    if (resource_context && state.standing_context)
        context = resource_context->enriched_by(*state.standing_context);
    else if (resource_context)
        context = std::move(resource_context);
    else if (state.standing_context)
        context = *state.standing_context;

    ChatTypedAction typed(action);
    std::vector<vemo_actions::executor::DispatchRecord> records;
    auto result = context ? vemo_actions::executor::dispatch_by_with_context(document, typed, encoded, records,
                                                                             actor, *context)
                          : vemo_actions::executor::dispatch_by(document, typed, encoded, records, actor);
    if (!result) {
        spdlog::warn("action dispatch failed: {} ({})", result.error().display(), encoded.json);
        return false;
    }
    auto heads = document.get_heads();
    if (token) vemo_ui::bound_dispatch::report_typed_action(document, *token, heads);
    state.pending_report = vemo_ui::bound_dispatch::DispatchReport{std::move(encoded), true, {}, std::move(heads),
                                                                   typed.refused().value_or("")};
    return true;
}

}  // namespace chat
