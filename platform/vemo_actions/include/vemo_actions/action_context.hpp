#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vemo_actions {

// The thing an action concerns, as the resource tree names it.
struct ResourceRef {
    std::string kind;
    std::string address;
    std::string label;

    bool operator==(ResourceRef const&) const = default;
};

// Who issued an action and what it is about, kept with the dispatch record so history and
// automation can say "Rename channel #general in Chat" rather than show raw JSON.
struct ActionContext {
    std::string app_id = {};
    std::string app_name = {};
    std::string title = {};
    std::optional<ResourceRef> resource = {};
    // Free-form facts (selection, origin); keys are unique, order is kept.
    std::vector<std::pair<std::string, std::string>> attributes = {};

    // This context completed by a broader, standing one: every field this context leaves
    // empty is taken from `standing`, and standing attributes are added under keys this
    // context does not use. What the action itself says always wins.
    ActionContext enriched_by(ActionContext const& standing) const;

    std::optional<std::string> attribute(std::string_view key) const;
    ActionContext& set_attribute(std::string key, std::string value);

    bool operator==(ActionContext const&) const = default;
};

}  // namespace vemo_actions
