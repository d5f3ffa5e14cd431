#pragma once

#include <nlohmann/json.hpp>

#include "vemo_actions/resource.hpp"

namespace vemo_actions::resource {

// The automation form of a resource tree:
// {"address","kind","label","actions":[{"id","label","kind","payload","operation_type",
//  "parameter":{"name","placeholder"}|null,"destructive"}],"children":[...]}
// "payload" is the payload's JSON value (null for text-parameter specs, or when the
// payload text is not valid JSON), "kind" and "operation_type" are null when unknown.
nlohmann::json to_json(ActionSpec const& spec);
nlohmann::json to_json(Resource const& resource);

}  // namespace vemo_actions::resource
