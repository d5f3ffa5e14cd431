#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <p2p/endpoint_addr.hpp>
#include <string>
#include <string_view>

#include "vemo_ui/share/document_url.hpp"

namespace vemo_ui::share {

using Secret = std::array<std::uint8_t, 32>;

// What a member hands a newcomer: which document, how to reach the inviting device, a
// single-use secret that lets the newcomer in once, and the sync server when there is one.
// Its text is "vemo-invite:" followed by the base64url form of a small JSON object, so that
// it survives being pasted into chats and mail.
struct Invite {
    DocumentUrl document;
    p2p::EndpointAddr inviter;
    Secret secret{};
    std::int64_t expires = 0;  // Unix seconds
    std::optional<std::string> sync_server;

    std::string to_text() const;
    static std::expected<Invite, std::string> parse(std::string_view text);
};

Secret random_secret();
std::string secret_to_hex(Secret const& secret);
std::optional<Secret> secret_from_hex(std::string_view text);
// How secrets are kept on disk and compared: the hex SHA-256 of the secret.
std::string secret_digest(Secret const& secret);

std::string base64url_encode(std::string_view bytes);
std::optional<std::string> base64url_decode(std::string_view text);

}  // namespace vemo_ui::share
