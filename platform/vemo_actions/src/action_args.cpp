#include "vemo_actions/action_args.hpp"

#include <nlohmann/json.hpp>

namespace vemo_actions {

ActionArgs& ActionArgs::set_text(std::string name, std::string value) {
    m_text.insert_or_assign(std::move(name), std::move(value));
    return *this;
}

std::optional<std::string> ActionArgs::text(std::string_view name) const {
    auto found = m_text.find(name);
    if (found == m_text.end()) return std::nullopt;
    return found->second;
}

std::expected<ActionArgs, ActionError> ActionArgs::from_json(std::string_view json) {
    if (auto invalid = check_payload(json)) return std::unexpected(*invalid);
    nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
    if (!parsed.is_object())
        return std::unexpected(
            ActionError{ActionError::Code::Malformed, "action arguments must be a JSON object"});
    ActionArgs args;
    for (auto const& [name, value] : parsed.items())
        if (value.is_string()) args.set_text(name, value.get<std::string>());
    return args;
}

}  // namespace vemo_actions
