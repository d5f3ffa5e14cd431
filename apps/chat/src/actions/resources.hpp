#pragma once

#include <optional>
#include <string>
#include <vector>

#include "actions/chat_action.hpp"
#include "model/view_model.hpp"
#include "vemo_actions/action_context.hpp"
#include "vemo_actions/resource.hpp"

namespace chat {

// What the resource tree is built from: the current view and who is asking.
struct ResourceInputs {
    model::ViewModel const& view;
    model::Navigation const& nav;
    std::string const& local_user;
    int64_t now = 0;  // Unix seconds, for messages posted through a spec
};

// The resources offered to the action framework (workspaces, channels, messages, people...).
std::vector<vemo_actions::resource::Resource> list_resources(ResourceInputs const& in);

// The resource behind one address, or none when it does not resolve.
std::optional<vemo_actions::resource::Resource> describe_resource(std::string const& address,
                                                                  ResourceInputs const& in);

// The context a dispatched action carries: the resource it concerns, with its actions.
std::optional<vemo_actions::ActionContext> action_context(ChatAction const& action, ResourceInputs const& in);

}  // namespace chat
