#pragma once

#include <gnutls/gnutls.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "p2p/error.hpp"
#include "p2p/key.hpp"

namespace p2p {

// Told about the key in the peer's certificate during the handshake; answering false
// aborts it. Reached through the session's `ngtcp2_crypto_conn_ref::user_data`.
class PeerKeyCheck {
  public:
    virtual ~PeerKeyCheck() = default;
    virtual bool accept_peer_key(PublicKey const& key) = 0;
};

// The endpoint's certificate: self-signed, made from the endpoint key, so the key a peer
// sees in the handshake is the endpoint id itself.
class TlsIdentity {
  public:
    static Result<std::unique_ptr<TlsIdentity>> create(SecretKey const& key);
    ~TlsIdentity();

    TlsIdentity(TlsIdentity const&) = delete;
    TlsIdentity& operator=(TlsIdentity const&) = delete;

    // `conn_ref` must outlive the session; its user_data is a PeerKeyCheck.
    Result<gnutls_session_t> client_session(void* conn_ref, std::string const& alpn) const;
    Result<gnutls_session_t> server_session(void* conn_ref,
                                            std::vector<std::string> const& alpns) const;

  private:
    TlsIdentity() = default;
    gnutls_certificate_credentials_t m_credentials = nullptr;
};

std::optional<std::string> selected_alpn(gnutls_session_t session);

}  // namespace p2p
