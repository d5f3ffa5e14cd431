#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "vemo_actions/encoded_action.hpp"

namespace vemo_actions {

// The arguments a user or agent supplies when invoking an action spec, by parameter name.
class ActionArgs {
  public:
    ActionArgs& set_text(std::string name, std::string value);
    // The text argument of that name; none when absent or not text.
    std::optional<std::string> text(std::string_view name) const;

    // From a JSON object such as {"value":"hello"}; members that are not strings are left
    // out. Anything but an object is an error.
    static std::expected<ActionArgs, ActionError> from_json(std::string_view json);

  private:
    std::map<std::string, std::string, std::less<>> m_text;
};

}  // namespace vemo_actions
