#include "vemo_actions/action_context.hpp"

#include <algorithm>

namespace vemo_actions {

namespace {

void fill(std::string& field, std::string const& fallback) {
    if (field.empty()) field = fallback;
}

}  // namespace

ActionContext ActionContext::enriched_by(ActionContext const& standing) const {
    ActionContext combined = *this;
    fill(combined.app_id, standing.app_id);
    fill(combined.app_name, standing.app_name);
    fill(combined.title, standing.title);
    if (!combined.resource) {
        combined.resource = standing.resource;
    } else if (standing.resource && combined.resource->address.empty() &&
               combined.resource->kind == standing.resource->kind) {
        // Only the same kind of thing may lend its address and label.
        fill(combined.resource->address, standing.resource->address);
        fill(combined.resource->label, standing.resource->label);
    }
    for (auto const& [key, value] : standing.attributes)
        if (!combined.attribute(key)) combined.attributes.emplace_back(key, value);
    return combined;
}

std::optional<std::string> ActionContext::attribute(std::string_view key) const {
    auto found = std::find_if(attributes.begin(), attributes.end(),
                              [&](auto const& entry) { return entry.first == key; });
    if (found == attributes.end()) return std::nullopt;
    return found->second;
}

ActionContext& ActionContext::set_attribute(std::string key, std::string value) {
    auto found = std::find_if(attributes.begin(), attributes.end(),
                              [&](auto const& entry) { return entry.first == key; });
    if (found != attributes.end())
        found->second = std::move(value);
    else
        attributes.emplace_back(std::move(key), std::move(value));
    return *this;
}

}  // namespace vemo_actions
