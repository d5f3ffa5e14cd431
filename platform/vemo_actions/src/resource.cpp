#include "vemo_actions/resource.hpp"

#include <algorithm>

#include "vemo_actions/resource_json.hpp"

namespace vemo_actions::resource {

ActionSpec ActionSpec::action(std::string id, std::string label, EncodedAction payload) {
    ActionSpec spec;
    spec.m_id = std::move(id);
    spec.m_label = std::move(label);
    spec.m_payload = std::move(payload);
    return spec;
}

ActionSpec ActionSpec::operation(std::string id, std::string label, OperationType type,
                                 EncodedAction payload) {
    return action(std::move(id), std::move(label),
                  enforce_operation_type(std::move(payload), type));
}

ActionSpec ActionSpec::text_parameter(std::string id, std::string label, std::string parameter_name,
                                      std::string placeholder, Builder builder) {
    ActionSpec spec;
    spec.m_id = std::move(id);
    spec.m_label = std::move(label);
    spec.m_parameter = TextParameter{std::move(parameter_name), std::move(placeholder)};
    spec.m_builder = std::move(builder);
    return spec;
}

ActionSpec ActionSpec::destructive() const& {
    return ActionSpec(*this).destructive();
}

ActionSpec ActionSpec::destructive() && {
    m_destructive = true;
    return std::move(*this);
}

std::optional<OperationType> ActionSpec::operation_type() const {
    return m_payload ? m_payload->operation_type : std::nullopt;
}

std::expected<EncodedAction, ActionError> ActionSpec::resolve(ActionArgs const& args) const {
    if (m_payload) return *m_payload;
    if (!m_builder)
        return std::unexpected(
            ActionError{ActionError::Code::Rejected, "action \"" + m_id + "\" has nothing to run"});
    try {
        return m_builder(args);
    } catch (std::exception const& ex) {
        return std::unexpected(
            ActionError{ActionError::Code::Failed, "action \"" + m_id + "\" failed: " + ex.what()});
    }
}

Resource::Resource(std::string address, std::string kind, std::string label)
    : m_address(std::move(address)), m_kind(std::move(kind)), m_label(std::move(label)) {}

Resource Resource::with_action(ActionSpec spec) const& {
    return Resource(*this).with_action(std::move(spec));
}

Resource Resource::with_action(ActionSpec spec) && {
    m_actions.push_back(std::move(spec));
    return std::move(*this);
}

Resource Resource::with_child(Resource child) const& {
    return Resource(*this).with_child(std::move(child));
}

Resource Resource::with_child(Resource child) && {
    m_children.push_back(std::move(child));
    return std::move(*this);
}

ActionSpec const* Resource::find_action(std::string_view id) const {
    auto found = std::find_if(m_actions.begin(), m_actions.end(),
                              [&](auto const& spec) { return spec.id() == id; });
    return found == m_actions.end() ? nullptr : &*found;
}

void Resource::mark_destructive(std::string_view action_id) {
    for (auto& spec : m_actions)
        if (spec.id() == action_id) spec = std::move(spec).destructive();
    for (auto& child : m_children) child.mark_destructive(action_id);
}

EncodedAction enforce_operation_type(EncodedAction operation, OperationType type) {
    operation.operation_type = type;
    return operation;
}

nlohmann::json to_json(ActionSpec const& spec) {
    nlohmann::json payload = nullptr;
    nlohmann::json kind = nullptr;
    nlohmann::json operation_type = nullptr;
    if (auto const& encoded = spec.payload()) {
        kind = encoded->kind;
        if (!check_payload(encoded->json))
            payload = nlohmann::json::parse(encoded->json, nullptr, false);
        if (encoded->operation_type) operation_type = operation_type_name(*encoded->operation_type);
    }
    nlohmann::json parameter = nullptr;
    if (auto const& text = spec.parameter())
        parameter = {{"name", text->name}, {"placeholder", text->placeholder}};
    return {{"id", spec.id()},
            {"label", spec.label()},
            {"kind", kind},
            {"payload", payload},
            {"operation_type", operation_type},
            {"parameter", parameter},
            {"destructive", spec.is_destructive()}};
}

nlohmann::json to_json(Resource const& resource) {
    nlohmann::json actions = nlohmann::json::array();
    for (auto const& spec : resource.actions()) actions.push_back(to_json(spec));
    nlohmann::json children = nlohmann::json::array();
    for (auto const& child : resource.children()) children.push_back(to_json(child));
    return {{"address", resource.address()},
            {"kind", resource.kind()},
            {"label", resource.label()},
            {"actions", std::move(actions)},
            {"children", std::move(children)}};
}

}  // namespace vemo_actions::resource
