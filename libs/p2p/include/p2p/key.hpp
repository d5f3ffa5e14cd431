#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include "p2p/error.hpp"

namespace p2p {

// An Ed25519 public key. Its lower-case hex text is the endpoint's name in tickets.
class PublicKey {
  public:
    static constexpr std::size_t size = 32;
    using Bytes = std::array<std::uint8_t, size>;

    explicit PublicKey(Bytes const& bytes) : m_bytes(bytes) {}
    static Result<PublicKey> from_text(std::string_view hex);

    std::string to_text() const;
    Bytes const& bytes() const { return m_bytes; }

    auto operator<=>(PublicKey const&) const = default;

  private:
    Bytes m_bytes;
};

using EndpointId = PublicKey;

// An Ed25519 private key (the 32-byte seed).
class SecretKey {
  public:
    static constexpr std::size_t size = 32;
    using Bytes = std::array<std::uint8_t, size>;

    static SecretKey generate();
    static SecretKey from_bytes(Bytes const& seed);

    PublicKey public_key() const { return m_public; }
    Bytes const& bytes() const { return m_seed; }

  private:
    SecretKey(Bytes const& seed);

    Bytes m_seed;
    PublicKey m_public;
};

}  // namespace p2p
