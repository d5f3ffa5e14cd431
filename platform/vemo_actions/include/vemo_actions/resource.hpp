#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vemo_actions/action_args.hpp"
#include "vemo_actions/encoded_action.hpp"

namespace vemo_actions::resource {

// The one free-text input an action may ask for before it can run.
struct TextParameter {
    std::string name;
    std::string placeholder;

    bool operator==(TextParameter const&) const = default;
};

// Something that can be done to a resource: either a ready encoded action or operation, or
// a builder that makes one from the user's text.
class ActionSpec {
  public:
    using Builder =
        std::function<std::expected<EncodedAction, ActionError>(ActionArgs const& args)>;

    static ActionSpec action(std::string id, std::string label, EncodedAction payload);
    static ActionSpec operation(std::string id, std::string label, OperationType type,
                                EncodedAction payload);
    // The user's text arrives as the argument "value".
    static ActionSpec text_parameter(std::string id, std::string label, std::string parameter_name,
                                     std::string placeholder, Builder builder);

    // The same spec, marked as one that destroys data (asks for confirmation, shown in red).
    ActionSpec destructive() const&;
    ActionSpec destructive() &&;

    std::string const& id() const { return m_id; }
    std::string const& label() const { return m_label; }
    // The ready payload; none for a spec built from a text parameter.
    std::optional<EncodedAction> const& payload() const { return m_payload; }
    std::optional<OperationType> operation_type() const;
    std::optional<TextParameter> const& parameter() const { return m_parameter; }
    bool is_destructive() const { return m_destructive; }

    // The encoded action to run with these arguments.
    std::expected<EncodedAction, ActionError> resolve(ActionArgs const& args) const;

  private:
    ActionSpec() = default;

    std::string m_id;
    std::string m_label;
    std::optional<EncodedAction> m_payload;
    std::optional<TextParameter> m_parameter;
    Builder m_builder;
    bool m_destructive = false;
};

// A node of the tree an application offers to automation: its actions and children stay
// in the order they were added.
class Resource {
  public:
    Resource(std::string address, std::string kind, std::string label);

    Resource with_action(ActionSpec spec) const&;
    Resource with_action(ActionSpec spec) &&;
    Resource with_child(Resource child) const&;
    Resource with_child(Resource child) &&;

    std::string const& address() const { return m_address; }
    std::string const& kind() const { return m_kind; }
    std::string const& label() const { return m_label; }
    std::vector<ActionSpec> const& actions() const { return m_actions; }
    std::vector<Resource> const& children() const { return m_children; }

    ActionSpec const* find_action(std::string_view id) const;
    // Marks every action with this id destructive, here and in all descendants.
    void mark_destructive(std::string_view action_id);

  private:
    std::string m_address;
    std::string m_kind;
    std::string m_label;
    std::vector<ActionSpec> m_actions;
    std::vector<Resource> m_children;
};

// The encoded operation, carrying the given type whatever it carried before.
EncodedAction enforce_operation_type(EncodedAction operation, OperationType type);

}  // namespace vemo_actions::resource
