#include "vemo_actions/registry.hpp"

#include <algorithm>

namespace vemo_actions {

std::expected<void, ActionError> ActionRegistry::register_kind(std::string kind, Decoder decoder) {
    if (kind.empty() || !decoder)
        return std::unexpected(
            ActionError{ActionError::Code::Rejected, "an action kind needs a name and a decoder"});
    if (contains(kind))
        return std::unexpected(ActionError{ActionError::Code::Rejected,
                                           "action kind \"" + kind + "\" is already registered"});
    m_decoders.emplace_back(std::move(kind), std::move(decoder));
    return {};
}

bool ActionRegistry::contains(std::string_view kind) const {
    return std::any_of(m_decoders.begin(), m_decoders.end(),
                       [&](auto const& entry) { return entry.first == kind; });
}

std::vector<std::string> ActionRegistry::kinds() const {
    std::vector<std::string> names;
    for (auto const& entry : m_decoders) names.push_back(entry.first);
    return names;
}

std::expected<std::unique_ptr<TypedAction>, ActionError> ActionRegistry::decode(
    EncodedAction const& encoded) const {
    auto found = std::find_if(m_decoders.begin(), m_decoders.end(),
                              [&](auto const& entry) { return entry.first == encoded.kind; });
    if (found == m_decoders.end())
        return std::unexpected(ActionError{ActionError::Code::UnknownKind,
                                           "no decoder for action kind \"" + encoded.kind + "\""});
    if (auto invalid = check_payload(encoded.json)) {
        invalid->message = "cannot decode " + encoded.kind + ": " + invalid->message;
        return std::unexpected(*invalid);
    }
    std::expected<std::unique_ptr<TypedAction>, ActionError> decoded;
    try {
        decoded = found->second(encoded.json);
    } catch (std::exception const& ex) {
        return std::unexpected(ActionError{ActionError::Code::Malformed,
                                           "cannot decode " + encoded.kind + ": " + ex.what()});
    } catch (...) {
        return std::unexpected(
            ActionError{ActionError::Code::Malformed, "cannot decode " + encoded.kind});
    }
    if (decoded && !*decoded)
        return std::unexpected(
            ActionError{ActionError::Code::Malformed,
                        "cannot decode " + encoded.kind + ": decoder gave nothing"});
    return decoded;
}

}  // namespace vemo_actions
