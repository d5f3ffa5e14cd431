#include "tls.hpp"

#include <gnutls/crypto.h>
#include <gnutls/x509.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <cstring>
#include <ctime>

namespace p2p {

namespace {

// TLS 1.3 only, with the AEADs QUIC can use; no middlebox compatibility records in QUIC.
constexpr char priority[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:"
    "%DISABLE_TLS13_COMPAT_MODE";

Result<PublicKey> peer_key(gnutls_session_t session) {
    unsigned count = 0;
    gnutls_datum_t const* certs = gnutls_certificate_get_peers(session, &count);
    if (certs == nullptr || count != 1)
        return fail(ErrorKind::HandshakeFailed, "peer sent no single certificate");
    gnutls_x509_crt_t crt = nullptr;
    if (gnutls_x509_crt_init(&crt) < 0) return fail(ErrorKind::HandshakeFailed, "out of memory");
    struct Guard {
        gnutls_x509_crt_t crt;
        ~Guard() { gnutls_x509_crt_deinit(crt); }
    } guard{crt};
    if (gnutls_x509_crt_import(crt, &certs[0], GNUTLS_X509_FMT_DER) < 0)
        return fail(ErrorKind::HandshakeFailed, "peer certificate does not parse");
    if (gnutls_x509_crt_get_pk_algorithm(crt, nullptr) != GNUTLS_PK_EDDSA_ED25519)
        return fail(ErrorKind::HandshakeFailed, "peer key is not Ed25519");
    gnutls_ecc_curve_t curve{};
    gnutls_datum_t x{}, y{};
    if (gnutls_x509_crt_get_pk_ecc_raw(crt, &curve, &x, &y) < 0)
        return fail(ErrorKind::HandshakeFailed, "peer key unreadable");
    PublicKey::Bytes bytes{};
    bool ok = curve == GNUTLS_ECC_CURVE_ED25519 && x.size == bytes.size();
    if (ok) std::memcpy(bytes.data(), x.data, bytes.size());
    gnutls_free(x.data);
    gnutls_free(y.data);
    if (!ok) return fail(ErrorKind::HandshakeFailed, "peer key has the wrong size");
    return PublicKey(bytes);
}

// Certificates are self-signed, so there is no chain to check: the key itself is pinned.
// TLS 1.3's CertificateVerify has already proven that the peer holds its private half.
int verify_peer(gnutls_session_t session) {
    auto* ref = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
    auto* check = static_cast<PeerKeyCheck*>(ref->user_data);
    auto key = peer_key(session);
    if (!key || !check->accept_peer_key(*key)) return GNUTLS_E_CERTIFICATE_ERROR;
    return 0;
}

Result<gnutls_session_t> new_session(unsigned flags, void* conn_ref,
                                     gnutls_certificate_credentials_t credentials) {
    gnutls_session_t session = nullptr;
    if (gnutls_init(&session, flags | GNUTLS_NO_END_OF_EARLY_DATA) < 0)
        return fail(ErrorKind::Other, "cannot create a TLS session");
    bool ok = (flags & GNUTLS_SERVER ? ngtcp2_crypto_gnutls_configure_server_session(session)
                                     : ngtcp2_crypto_gnutls_configure_client_session(session)) == 0;
    ok = ok && gnutls_priority_set_direct(session, priority, nullptr) >= 0;
    ok = ok && gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials) >= 0;
    if (!ok) {
        gnutls_deinit(session);
        return fail(ErrorKind::Other, "cannot configure the TLS session");
    }
    gnutls_session_set_ptr(session, conn_ref);
    return session;
}

}  // namespace

Result<std::unique_ptr<TlsIdentity>> TlsIdentity::create(SecretKey const& key) {
    std::unique_ptr<TlsIdentity> identity(new TlsIdentity());
    gnutls_x509_privkey_t private_key = nullptr;
    gnutls_x509_crt_t crt = nullptr;
    struct Cleanup {
        gnutls_x509_privkey_t& k;
        gnutls_x509_crt_t& c;
        ~Cleanup() {
            if (k) gnutls_x509_privkey_deinit(k);
            if (c) gnutls_x509_crt_deinit(c);
        }
    } cleanup{private_key, crt};

    auto pub = key.public_key().bytes();
    auto seed = key.bytes();
    gnutls_datum_t x{pub.data(), static_cast<unsigned>(pub.size())};
    gnutls_datum_t k{seed.data(), static_cast<unsigned>(seed.size())};
    if (gnutls_x509_privkey_init(&private_key) < 0 ||
        gnutls_x509_privkey_import_ecc_raw(private_key, GNUTLS_ECC_CURVE_ED25519, &x, nullptr, &k) <
            0)
        return fail(ErrorKind::Other, "cannot load the endpoint key into TLS");

    std::uint8_t serial[8];
    gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial);
    serial[0] &= 0x7f;
    std::time_t now = std::time(nullptr);
    std::string dn = "CN=" + key.public_key().to_text();
    if (gnutls_x509_crt_init(&crt) < 0 || gnutls_x509_crt_set_version(crt, 3) < 0 ||
        gnutls_x509_crt_set_serial(crt, serial, sizeof serial) < 0 ||
        gnutls_x509_crt_set_activation_time(crt, now - 24 * 3600) < 0 ||
        gnutls_x509_crt_set_expiration_time(crt, now + 10LL * 365 * 24 * 3600) < 0 ||
        gnutls_x509_crt_set_dn(crt, dn.c_str(), nullptr) < 0 ||
        gnutls_x509_crt_set_key(crt, private_key) < 0 ||
        gnutls_x509_crt_sign2(crt, crt, private_key, GNUTLS_DIG_SHA512, 0) < 0)
        return fail(ErrorKind::Other, "cannot make the endpoint certificate");

    if (gnutls_certificate_allocate_credentials(&identity->m_credentials) < 0 ||
        gnutls_certificate_set_x509_key(identity->m_credentials, &crt, 1, private_key) < 0)
        return fail(ErrorKind::Other, "cannot install the endpoint certificate");
    gnutls_certificate_set_verify_function(identity->m_credentials, verify_peer);
    return identity;
}

TlsIdentity::~TlsIdentity() {
    if (m_credentials) gnutls_certificate_free_credentials(m_credentials);
}

Result<gnutls_session_t> TlsIdentity::client_session(void* conn_ref,
                                                     std::string const& alpn) const {
    auto session = new_session(GNUTLS_CLIENT, conn_ref, m_credentials);
    if (!session) return session;
    gnutls_datum_t proto{reinterpret_cast<unsigned char*>(const_cast<char*>(alpn.data())),
                         static_cast<unsigned>(alpn.size())};
    if (gnutls_alpn_set_protocols(*session, &proto, 1, GNUTLS_ALPN_MANDATORY) < 0) {
        gnutls_deinit(*session);
        return fail(ErrorKind::Other, "cannot offer the protocol name");
    }
    return session;
}

Result<gnutls_session_t> TlsIdentity::server_session(void* conn_ref,
                                                     std::vector<std::string> const& alpns) const {
    auto session = new_session(GNUTLS_SERVER, conn_ref, m_credentials);
    if (!session) return session;
    gnutls_certificate_server_set_request(*session, GNUTLS_CERT_REQUIRE);
    std::vector<gnutls_datum_t> protos;
    for (auto const& alpn : alpns)
        protos.push_back({reinterpret_cast<unsigned char*>(const_cast<char*>(alpn.data())),
                          static_cast<unsigned>(alpn.size())});
    if (!protos.empty() &&
        gnutls_alpn_set_protocols(*session, protos.data(), static_cast<unsigned>(protos.size()),
                                  GNUTLS_ALPN_MANDATORY) < 0) {
        gnutls_deinit(*session);
        return fail(ErrorKind::Other, "cannot set the accepted protocol names");
    }
    return session;
}

std::optional<std::string> selected_alpn(gnutls_session_t session) {
    gnutls_datum_t proto{};
    if (gnutls_alpn_get_selected_protocol(session, &proto) < 0) return std::nullopt;
    return std::string(reinterpret_cast<char const*>(proto.data), proto.size);
}

}  // namespace p2p
