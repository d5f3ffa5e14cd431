#include "vemo_actions/executor.hpp"

namespace vemo_actions::executor {

namespace {

// The decode check: the encoded action must be one the framework can store and replay.
std::optional<ActionError> check_encoded(TypedAction const& action, EncodedAction const& encoded,
                                         ActionRegistry const* registry) {
    if (encoded.kind.empty())
        return ActionError{ActionError::Code::Malformed, "encoded action has no kind"};
    if (registry == nullptr) {
        if (auto invalid = check_payload(encoded.json)) {
            invalid->message = "cannot decode " + encoded.kind + ": " + invalid->message;
            return invalid;
        }
        return std::nullopt;
    }
    auto decoded = registry->decode(encoded);
    if (!decoded) return decoded.error();
    std::string const decoded_text = (*decoded)->debug_text();
    if (decoded_text != action.debug_text())
        return ActionError{ActionError::Code::Mismatch, "encoded " + encoded.kind + " decodes to " +
                                                            decoded_text + ", not " +
                                                            action.debug_text()};
    return std::nullopt;
}

std::expected<void, ActionError> run_apply(automerge::AutoCommit& document, TypedAction& action,
                                           ApplyContext& context) {
    try {
        return action.apply(document, context);
    } catch (std::exception const& ex) {
        return std::unexpected(
            ActionError{ActionError::Code::Failed, std::string("action failed: ") + ex.what()});
    } catch (...) {
        return std::unexpected(ActionError{ActionError::Code::Failed, "action failed"});
    }
}

std::expected<void, ActionError> dispatch(automerge::AutoCommit& document, TypedAction& action,
                                          EncodedAction const& encoded,
                                          std::vector<DispatchRecord>& records,
                                          std::span<uint8_t const> actor,
                                          ActionContext const* context,
                                          ActionRegistry const* registry) {
    DispatchRecord record{
        .action = encoded,
        .debug_text = action.debug_text(),
        .actor = {actor.begin(), actor.end()},
        .context = context ? std::optional(*context) : std::nullopt,
        .error = std::nullopt,
    };
    std::expected<void, ActionError> outcome;
    if (auto refused = check_encoded(action, encoded, registry)) {
        outcome = std::unexpected(*refused);
    } else {
        ApplyContext apply_context{.encoded = encoded, .actor = actor, .context = context};
        outcome = run_apply(document, action, apply_context);
    }
    if (!outcome) record.error = outcome.error();
    records.push_back(std::move(record));
    return outcome;
}

}  // namespace

std::expected<void, ActionError> dispatch_by(automerge::AutoCommit& document, TypedAction& action,
                                             EncodedAction const& encoded,
                                             std::vector<DispatchRecord>& records,
                                             std::span<uint8_t const> actor,
                                             ActionRegistry const* registry) {
    return dispatch(document, action, encoded, records, actor, nullptr, registry);
}

std::expected<void, ActionError> dispatch_by_with_context(
    automerge::AutoCommit& document, TypedAction& action, EncodedAction const& encoded,
    std::vector<DispatchRecord>& records, std::span<uint8_t const> actor,
    ActionContext const& context, ActionRegistry const* registry) {
    return dispatch(document, action, encoded, records, actor, &context, registry);
}

std::expected<void, ActionError> dispatch_encoded(automerge::AutoCommit& document,
                                                  ActionRegistry const& registry,
                                                  EncodedAction const& encoded,
                                                  std::vector<DispatchRecord>& records,
                                                  std::span<uint8_t const> actor,
                                                  std::optional<ActionContext> const& context) {
    auto decoded = registry.decode(encoded);
    if (!decoded) {
        records.push_back(DispatchRecord{.action = encoded,
                                         .debug_text = {},
                                         .actor = {actor.begin(), actor.end()},
                                         .context = context,
                                         .error = decoded.error()});
        return std::unexpected(decoded.error());
    }
    // Already decoded with this registry: the payload check suffices.
    return dispatch(document, **decoded, encoded, records, actor, context ? &*context : nullptr,
                    nullptr);
}

}  // namespace vemo_actions::executor
