#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "p2p/error.hpp"
#include "p2p/key.hpp"

namespace p2p {

// A UDP socket address, written "127.0.0.1:41000" or "[::1]:41000".
struct SocketAddr {
    enum class Family : std::uint8_t { V4, V6 };

    Family family = Family::V4;
    std::array<std::uint8_t, 16> ip{};  // V4 uses the first four bytes
    std::uint16_t port = 0;

    static Result<SocketAddr> parse(std::string_view text);
    static SocketAddr v4(std::array<std::uint8_t, 4> ip, std::uint16_t port);
    static SocketAddr v6(std::array<std::uint8_t, 16> ip, std::uint16_t port);

    std::string to_string() const;
    bool is_loopback() const;

    auto operator<=>(SocketAddr const&) const = default;
};

// Everything a peer needs to reach an endpoint: its key and its direct addresses.
// JSON form: {"id":"<hex>","addrs":[{"Ip":"127.0.0.1:41000"},...]}. Address kinds other
// than "Ip" are skipped when parsing so that relay entries can be added later.
struct EndpointAddr {
    EndpointId id;
    std::vector<SocketAddr> addrs;

    std::string to_json() const;
    static Result<EndpointAddr> from_json(std::string_view text);

    bool operator==(EndpointAddr const&) const = default;
};

}  // namespace p2p
