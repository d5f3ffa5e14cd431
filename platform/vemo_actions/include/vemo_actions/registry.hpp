#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vemo_actions/encoded_action.hpp"
#include "vemo_actions/typed_action.hpp"

namespace vemo_actions {

// Decoders by kind: how encoded actions of each kind become typed actions again.
class ActionRegistry {
  public:
    using Decoder = std::function<std::expected<std::unique_ptr<TypedAction>, ActionError>(
        std::string_view json)>;

    // A kind is registered once; registering it again is an error rather than a silent swap.
    std::expected<void, ActionError> register_kind(std::string kind, Decoder decoder);
    bool contains(std::string_view kind) const;
    std::vector<std::string> kinds() const;  // in registration order

    // Checks the payload, then runs the kind's decoder; a decoder that throws or returns
    // nothing is reported as a malformed payload.
    std::expected<std::unique_ptr<TypedAction>, ActionError> decode(
        EncodedAction const& encoded) const;

  private:
    std::vector<std::pair<std::string, Decoder>> m_decoders;
};

}  // namespace vemo_actions
