#include "p2p/key.hpp"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <nettle/eddsa.h>

namespace p2p {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

Result<PublicKey> PublicKey::from_text(std::string_view hex) {
    if (hex.size() != size * 2)
        return fail(ErrorKind::InvalidInput, "endpoint id must be 64 lower-case hex digits");
    Bytes bytes{};
    for (std::size_t i = 0; i < size; ++i) {
        int hi = hex_value(hex[2 * i]);
        int lo = hex_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return fail(ErrorKind::InvalidInput, "endpoint id must be 64 lower-case hex digits");
        bytes[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return PublicKey(bytes);
}

std::string PublicKey::to_text() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (auto b : m_bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xf]);
    }
    return out;
}

SecretKey::SecretKey(Bytes const& seed) : m_seed(seed), m_public(PublicKey::Bytes{}) {
    PublicKey::Bytes pub{};
    ed25519_sha512_public_key(pub.data(), m_seed.data());
    m_public = PublicKey(pub);
}

SecretKey SecretKey::generate() {
    Bytes seed{};
    // GNUTLS_RND_KEY cannot fail once the library initialised; a zero seed would still be
    // a valid (if weak) key, never undefined behaviour.
    gnutls_rnd(GNUTLS_RND_KEY, seed.data(), seed.size());
    return SecretKey(seed);
}

SecretKey SecretKey::from_bytes(Bytes const& seed) {
    return SecretKey(seed);
}

}  // namespace p2p
