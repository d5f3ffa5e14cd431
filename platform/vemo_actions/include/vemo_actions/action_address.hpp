#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemo_actions {

// The address of a resource: a kind followed by its identifying parts, each joined with
// ":" and written verbatim ("chat.channel:c_1", "chat.reaction:m_1:👍", "chat.people").
// Parts may themselves contain ":", so an address is resolved by matching known kind
// prefixes rather than by splitting.
struct ActionAddress {
    std::string kind;
    std::vector<std::string> parts;

    static ActionAddress of(std::string kind) { return {std::move(kind), {}}; }
    static ActionAddress of(std::string kind, std::string id) {
        return {std::move(kind), {std::move(id)}};
    }

    std::string encode() const;
    // The text after "<kind>:" when `address` is of that kind (also "" for the bare kind).
    static std::optional<std::string_view> strip_kind(std::string_view address,
                                                      std::string_view kind);

    bool operator==(ActionAddress const&) const = default;
};

}  // namespace vemo_actions
