#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "runtime_identity/identity.hpp"

namespace chat {

// Who this process is to its peers and which author it writes as.
struct LocalIdentity {
    std::string id;
    std::string display_name;
    std::string initials;
    uint8_t color_idx = 0;

    friend bool operator==(LocalIdentity const&, LocalIdentity const&) = default;
};

// Everything the identity is made from, gathered once so tests can supply their own.
struct IdentitySources {
    std::optional<runtime_identity::Identity> stored;
    std::optional<std::filesystem::path> data_dir;
    std::optional<std::string> user;      // $USER
    std::optional<std::string> username;  // $USERNAME
    std::optional<std::string> hostname;  // $HOSTNAME
    std::filesystem::path hostname_file = "/etc/hostname";

    static IdentitySources from_environment();
};

LocalIdentity determine_local_identity(IdentitySources const& sources);

// "john.doe-smith" -> "John Doe Smith"; "You" when no word remains.
std::string display_name_from_user(std::optional<std::string> const& user,
                                   std::optional<std::string> const& username);

// Initials for the avatar, "Y" when the name has none.
std::string initials_for(std::string const& display_name);

}  // namespace chat
