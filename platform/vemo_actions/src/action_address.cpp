#include "vemo_actions/action_address.hpp"

namespace vemo_actions {

std::string ActionAddress::encode() const {
    std::string text = kind;
    for (auto const& part : parts) {
        text += ':';
        text += part;
    }
    return text;
}

std::optional<std::string_view> ActionAddress::strip_kind(std::string_view address,
                                                          std::string_view kind) {
    if (address == kind) return std::string_view{};
    if (address.size() <= kind.size() || !address.starts_with(kind) || address[kind.size()] != ':')
        return std::nullopt;
    return address.substr(kind.size() + 1);
}

}  // namespace vemo_actions
