#include "p2p/endpoint.hpp"

#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "endpoint_core.hpp"

namespace p2p {

namespace {

constexpr std::size_t max_connections = 1024;
// Accepted connections one key may hold at once. A reconnecting peer's new connection
// replaces its oldest, so one admitted key cannot take every slot.
constexpr std::size_t max_connections_per_peer = 8;
constexpr int socket_buffer_bytes = 4 << 20;
constexpr int max_datagrams_per_wakeup = 256;
constexpr std::chrono::milliseconds dial_stagger{100};
// No valid QUIC packet is shorter: a short header with a one-byte packet number and the
// smallest AEAD tag already takes 21 bytes. Shorter datagrams never reach the QUIC stack,
// which asserts on some of them (an empty one aborts the process).
constexpr std::size_t min_datagram = 21;
// Past this many accepted handshakes in flight, a new peer must first prove that it
// receives at its address (a Retry round trip): spoofed or half-open Initials then cost a
// stateless reply instead of a connection. Beyond the hard cap even proven ones wait.
constexpr std::size_t retry_threshold = 16;
constexpr std::size_t max_pending_handshakes = 256;
constexpr ngtcp2_duration retry_token_lifetime = 10 * NGTCP2_SECONDS;

SockAddr to_sockaddr(SocketAddr const& addr) {
    SockAddr out;
    if (addr.family == SocketAddr::Family::V4) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(addr.port);
        std::memcpy(&sin->sin_addr, addr.ip.data(), 4);
        out.len = sizeof(sockaddr_in);
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(addr.port);
        std::memcpy(&sin6->sin6_addr, addr.ip.data(), 16);
        out.len = sizeof(sockaddr_in6);
    }
    return out;
}

std::uint16_t port_of(SockAddr const& addr) {
    if (addr.storage.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in const*>(&addr.storage)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6 const*>(&addr.storage)->sin6_port);
}

Result<UdpSocket> open_udp(int family, bool loopback_only, std::uint16_t port) {
    UdpSocket sock;
    sock.family = family;
    sock.fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock.fd < 0) return fail(ErrorKind::Other, "cannot create a UDP socket");
    int on = 1;
    if (family == AF_INET6) setsockopt(sock.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    for (int opt : {SO_RCVBUFFORCE, SO_RCVBUF})
        if (setsockopt(sock.fd, SOL_SOCKET, opt, &socket_buffer_bytes, sizeof(int)) == 0) break;
    for (int opt : {SO_SNDBUFFORCE, SO_SNDBUF})
        if (setsockopt(sock.fd, SOL_SOCKET, opt, &socket_buffer_bytes, sizeof(int)) == 0) break;

    SocketAddr bind_addr;
    if (family == AF_INET)
        bind_addr = SocketAddr::v4(loopback_only ? std::array<std::uint8_t, 4>{127, 0, 0, 1}
                                                 : std::array<std::uint8_t, 4>{},
                                   port);
    else {
        std::array<std::uint8_t, 16> ip{};
        if (loopback_only) ip[15] = 1;
        bind_addr = SocketAddr::v6(ip, port);
    }
    auto sa = to_sockaddr(bind_addr);
    if (bind(sock.fd, sa.get(), sa.len) != 0) {
        int err = errno;
        close(sock.fd);
        return fail(ErrorKind::Other, std::string("cannot bind UDP socket: ") + std::strerror(err));
    }
    sock.local.len = sizeof sock.local.storage;
    getsockname(sock.fd, sock.local.get(), &sock.local.len);
    return sock;
}

// Every interface address a peer might reach us on. Link-local IPv6 addresses need a
// scope that a ticket cannot carry, so they are left out.
std::vector<SocketAddr> interface_addrs(std::vector<UdpSocket> const& sockets, bool loopback_only) {
    std::uint16_t port4 = 0, port6 = 0;
    for (auto const& s : sockets) (s.family == AF_INET ? port4 : port6) = port_of(s.local);
    std::vector<SocketAddr> out;
    if (!loopback_only) {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) == 0) {
            for (auto* ifa = list; ifa; ifa = ifa->ifa_next) {
                if (!ifa->ifa_addr || !(ifa->ifa_flags & IFF_UP)) continue;
                if (ifa->ifa_addr->sa_family == AF_INET && port4) {
                    std::array<std::uint8_t, 4> ip{};
                    std::memcpy(ip.data(), &reinterpret_cast<sockaddr_in*>(ifa->ifa_addr)->sin_addr,
                                4);
                    auto addr = SocketAddr::v4(ip, port4);
                    if (!addr.is_loopback()) out.push_back(addr);
                } else if (ifa->ifa_addr->sa_family == AF_INET6 && port6) {
                    auto* sin6 = reinterpret_cast<sockaddr_in6*>(ifa->ifa_addr);
                    if (IN6_IS_ADDR_LINKLOCAL(&sin6->sin6_addr)) continue;
                    std::array<std::uint8_t, 16> ip{};
                    std::memcpy(ip.data(), &sin6->sin6_addr, 16);
                    auto addr = SocketAddr::v6(ip, port6);
                    if (!addr.is_loopback()) out.push_back(addr);
                }
            }
            freeifaddrs(list);
        }
    }
    if (port4) out.push_back(SocketAddr::v4({127, 0, 0, 1}, port4));
    if (port6) {
        std::array<std::uint8_t, 16> ip{};
        ip[15] = 1;
        out.push_back(SocketAddr::v6(ip, port6));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

struct ConnectAttempt {
    Promise<Connection> promise;
    std::size_t pending = 0;
    bool done = false;
    Error last_error{ErrorKind::HandshakeFailed, "no address answered"};
    std::vector<std::weak_ptr<QuicConnection>> dials;
};

}  // namespace

EndpointCore::~EndpointCore() {
    for (auto const& s : m_sockets)
        if (s.fd >= 0) ::close(s.fd);
}

Result<void> EndpointCore::open_sockets() {
    auto v4 = open_udp(AF_INET, m_options.loopback_only, m_options.port);
    if (!v4) return std::unexpected(v4.error());
    m_sockets.push_back(*v4);
    // IPv6 is optional: hosts without it still get a working endpoint. It takes the IPv4
    // port when it can, so that one port number names the endpoint on both.
    auto v6 = open_udp(AF_INET6, m_options.loopback_only, port_of(v4->local));
    if (!v6 && m_options.port == 0) v6 = open_udp(AF_INET6, m_options.loopback_only, 0);
    if (v6) m_sockets.push_back(*v6);
    m_addr = EndpointAddr{id(), interface_addrs(m_sockets, m_options.loopback_only)};
    return {};
}

void EndpointCore::start() {
    auto self = shared_from_this();
    for (auto const& s : m_sockets) {
        std::weak_ptr<EndpointCore> weak = self;
        m_loop.watch(s.fd, [weak, s] {
            if (auto core = weak.lock()) core->on_readable(s);
        });
    }
}

void EndpointCore::set_protocols(std::map<std::string, std::shared_ptr<ProtocolHandler>> handlers) {
    m_protocols = std::move(handlers);
}

void EndpointCore::send(int fd, sockaddr const* to, socklen_t len,
                        std::span<std::uint8_t const> data) {
    // A full socket buffer loses the datagram; QUIC's loss recovery resends it.
    while (sendto(fd, data.data(), data.size(), 0, to, len) < 0 && errno == EINTR) {
    }
}

void EndpointCore::register_cid(std::string cid, std::shared_ptr<QuicConnection> const& conn) {
    m_by_cid[std::move(cid)] = conn;
}

void EndpointCore::unregister_cid(std::string const& cid) {
    m_by_cid.erase(cid);
}

void EndpointCore::remove(std::shared_ptr<QuicConnection> const& conn) {
    for (auto const& cid : conn->cids()) {
        auto it = m_by_cid.find(cid);
        if (it != m_by_cid.end() && it->second == conn) m_by_cid.erase(it);
    }
    m_connections.erase(conn);
}

Connection EndpointCore::make_connection(std::shared_ptr<QuicConnection> const& conn) {
    auto handle =
        std::make_shared<ConnectionHandle>(conn, m_loop, *conn->remote_id(), conn->alpn());
    return Connection(std::move(handle));
}

void EndpointCore::dispatch(std::shared_ptr<QuicConnection> const& conn) {
    auto it = m_protocols.find(conn->alpn());
    if (it == m_protocols.end() || !conn->remote_id()) {
        conn->close(0x100, "no handler");
        return;
    }
    // The filter may have changed since the handshake checked the key.
    if (!peer_allowed(*conn->remote_id())) {
        conn->abort(QuicConnection::refused_code, "peer refused");
        return;
    }
    std::vector<std::shared_ptr<QuicConnection>> same_peer;
    for (auto const& other : m_connections)
        if (other != conn && !other->is_client() && other->remote_id() == conn->remote_id())
            same_peer.push_back(other);
    if (same_peer.size() >= max_connections_per_peer) {
        auto oldest = std::min_element(
            same_peer.begin(), same_peer.end(),
            [](auto const& a, auto const& b) { return a->serial() < b->serial(); });
        (*oldest)->abort(QuicConnection::replaced_code, "replaced by a newer connection");
    }
    auto handler = it->second;
    handler->accept(make_connection(conn));
}

void EndpointCore::on_readable(UdpSocket const& socket) {
    auto self = shared_from_this();
    std::set<std::shared_ptr<QuicConnection>> touched;
    std::uint8_t buf[65536];
    for (int i = 0; i < max_datagrams_per_wakeup && !m_closed; ++i) {
        SockAddr remote;
        remote.len = sizeof remote.storage;
        auto n = recvfrom(socket.fd, buf, sizeof buf, 0, remote.get(), &remote.len);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (static_cast<std::size_t>(n) < min_datagram) continue;
        std::span<std::uint8_t const> packet(buf, static_cast<std::size_t>(n));
        ngtcp2_version_cid vc{};
        if (ngtcp2_pkt_decode_version_cid(&vc, packet.data(), packet.size(),
                                          QuicConnection::cid_length) != 0)
            continue;
        auto it = m_by_cid.find(std::string(reinterpret_cast<char const*>(vc.dcid), vc.dcidlen));
        if (it != m_by_cid.end()) {
            auto conn = it->second;
            conn->on_packet(remote, packet);
            touched.insert(conn);
            continue;
        }
        accept_initial(socket, remote, packet, touched);
    }
    for (auto const& conn : touched) conn->flush();
}

void EndpointCore::accept_initial(UdpSocket const& socket, SockAddr const& remote,
                                  std::span<std::uint8_t const> packet,
                                  std::set<std::shared_ptr<QuicConnection>>& touched) {
    // Without a registered protocol every handshake would fail anyway; staying silent
    // costs the dialer its handshake timeout and us nothing.
    if (m_protocols.empty() || m_connections.size() >= max_connections) return;
    ngtcp2_pkt_hd hd{};
    if (ngtcp2_accept(&hd, packet.data(), packet.size()) != 0) return;
    // Creating a server connection asserts on versions the library does not speak.
    if (!ngtcp2_is_supported_version(hd.version)) return;
    std::optional<ngtcp2_cid> original_dcid;
    if (hd.token.len > 0 && hd.token.base[0] == NGTCP2_CRYPTO_TOKEN_MAGIC_RETRY) {
        original_dcid = check_retry_token(remote, hd);
        if (!original_dcid) return;  // forged, expired or from another address
    }
    if (original_dcid) {
        if (m_pending_handshakes >= max_pending_handshakes) return;
    } else {
        // Tokens we did not issue are ignored; the id rules for a first Initial apply.
        if (hd.dcid.datalen < NGTCP2_MIN_INITIAL_DCIDLEN) return;
        if (m_pending_handshakes >= retry_threshold) {
            send_retry(socket, remote, hd);
            return;
        }
    }
    std::vector<std::string> alpns;
    for (auto const& [name, handler] : m_protocols) alpns.push_back(name);
    auto conn =
        QuicConnection::server(shared_from_this(), socket, remote, hd, alpns, original_dcid);
    if (!conn) return;
    m_connections.insert(*conn);
    for (auto const& cid : (*conn)->cids()) register_cid(cid, *conn);
    (*conn)->on_packet(remote, packet);
    touched.insert(*conn);
}

void EndpointCore::init_retry_secret() {
    gnutls_rnd(GNUTLS_RND_KEY, m_retry_secret.data(), m_retry_secret.size());
}

void EndpointCore::send_retry(UdpSocket const& socket, SockAddr const& remote,
                              ngtcp2_pkt_hd const& hd) {
    auto scid = random_cid(QuicConnection::cid_length);
    if (ngtcp2_cid_eq(&scid, &hd.dcid)) return;  // the library asserts they differ
    std::uint8_t token[NGTCP2_CRYPTO_MAX_RETRY_TOKENLEN];
    auto token_len = ngtcp2_crypto_generate_retry_token(
        token, m_retry_secret.data(), m_retry_secret.size(), hd.version, remote.get(), remote.len,
        &scid, &hd.dcid, monotonic_ns());
    if (token_len <= 0) return;
    std::uint8_t buf[256];
    auto n = ngtcp2_crypto_write_retry(buf, sizeof buf, hd.version, &hd.scid, &scid, &hd.dcid,
                                       token, static_cast<std::size_t>(token_len));
    if (n <= 0) return;
    send(socket.fd, remote.get(), remote.len, {buf, static_cast<std::size_t>(n)});
    ++m_retries_sent;
}

std::optional<ngtcp2_cid> EndpointCore::check_retry_token(SockAddr const& remote,
                                                          ngtcp2_pkt_hd const& hd) {
    ngtcp2_cid original{};
    if (ngtcp2_crypto_verify_retry_token(&original, hd.token.base, hd.token.len,
                                         m_retry_secret.data(), m_retry_secret.size(), hd.version,
                                         remote.get(), remote.len, &hd.dcid, retry_token_lifetime,
                                         monotonic_ns()) != 0)
        return std::nullopt;
    return original;
}

std::shared_ptr<EndpointCore::PeerFilter const> EndpointCore::make_filter(PeerFilter filter) {
    if (!filter) return nullptr;
    return std::make_shared<PeerFilter const>(std::move(filter));
}

void EndpointCore::set_peer_filter(PeerFilter filter) {
    auto next = make_filter(std::move(filter));
    std::lock_guard lock(m_filter_mutex);
    m_filter = std::move(next);
}

bool EndpointCore::peer_allowed(PublicKey const& key) {
    std::shared_ptr<PeerFilter const> filter;
    {
        std::lock_guard lock(m_filter_mutex);
        filter = m_filter;
    }
    if (!filter) return true;
    bool allowed = false;
    try {
        allowed = (*filter)(key);
    } catch (...) {
        allowed = false;  // a filter that cannot decide refuses
    }
    if (!allowed) ++m_peers_refused;
    return allowed;
}

void EndpointCore::close_refused() {
    auto connections = m_connections;
    for (auto const& conn : connections)
        if (!conn->is_client() && conn->remote_id() && !peer_allowed(*conn->remote_id()))
            conn->abort(QuicConnection::refused_code, "peer refused");
}

void EndpointCore::add_held(std::size_t add, std::size_t remove) {
    m_held_total = m_held_total + add - remove;
    if (m_held_total <= m_options.max_endpoint_buffer || m_enforce_posted) return;
    // Runs after the current batch of datagrams, outside the QUIC stack's callbacks.
    m_enforce_posted = true;
    std::weak_ptr<EndpointCore> weak = weak_from_this();
    m_loop.post([weak] {
        if (auto core = weak.lock()) core->enforce_buffer_limit();
    });
}

void EndpointCore::enforce_buffer_limit() {
    m_enforce_posted = false;
    // The peers that have kept an unfinished read the longest go first: a live sender
    // finishes its frames quickly, one that holds memory on purpose does not.
    auto worse = [](QuicConnection const& a, QuicConnection const& b) {
        auto sa = a.incomplete_since(), sb = b.incomplete_since();
        if (sa && sb) return *sa < *sb;
        if (sa || sb) return sa.has_value();
        return a.held() > b.held();
    };
    while (m_held_total > m_options.max_endpoint_buffer) {
        std::shared_ptr<QuicConnection> victim;
        for (auto const& conn : m_connections)
            if (conn->held() > 0 && (!victim || worse(*conn, *victim))) victim = conn;
        if (!victim) return;
        victim->abort(QuicConnection::buffer_code, "receive buffer limit of the endpoint");
    }
}

EndpointStats EndpointCore::stats() const {
    EndpointStats out;
    out.connections = m_connections.size();
    out.pending_handshakes = m_pending_handshakes;
    out.buffered_bytes = m_held_total;
    out.retries_sent = m_retries_sent;
    out.peers_refused = m_peers_refused;
    return out;
}

void EndpointCore::connect(EndpointAddr const& addr, std::string const& alpn,
                           Promise<Connection> promise) {
    if (m_closed) {
        promise.set(fail(ErrorKind::ConnectionClosed, "endpoint is closed"));
        return;
    }
    auto attempt = std::make_shared<ConnectAttempt>();
    attempt->promise = std::move(promise);
    std::vector<std::shared_ptr<QuicConnection>> dials;
    std::vector<SocketAddr> seen;
    for (auto const& target : addr.addrs) {
        if (m_options.loopback_only && !target.is_loopback()) continue;
        if (std::find(seen.begin(), seen.end(), target) != seen.end()) continue;
        seen.push_back(target);
        int family = target.family == SocketAddr::Family::V4 ? AF_INET : AF_INET6;
        auto sock = std::find_if(m_sockets.begin(), m_sockets.end(),
                                 [&](UdpSocket const& s) { return s.family == family; });
        if (sock == m_sockets.end()) continue;
        auto conn =
            QuicConnection::client(shared_from_this(), *sock, to_sockaddr(target), addr.id, alpn);
        if (!conn) {
            attempt->last_error = conn.error();
            continue;
        }
        dials.push_back(*conn);
    }
    if (dials.empty()) {
        attempt->promise.set(fail(ErrorKind::InvalidInput, "no usable address for the peer"));
        return;
    }
    attempt->pending = dials.size();
    for (auto const& conn : dials) attempt->dials.push_back(conn);
    for (std::size_t i = 0; i < dials.size(); ++i) {
        auto const& conn = dials[i];
        m_connections.insert(conn);
        for (auto const& cid : conn->cids()) register_cid(cid, conn);
        std::weak_ptr<QuicConnection> weak = conn;
        std::weak_ptr<EndpointCore> weak_core = weak_from_this();
        conn->set_on_established([attempt, weak, weak_core](Result<void> result) {
            auto conn = weak.lock();
            auto core = weak_core.lock();
            if (!result || !conn || !core || conn->is_closed()) {
                if (!result) attempt->last_error = result.error();
                // No point waiting out the stagger once an address has failed.
                for (auto const& other : attempt->dials) {
                    auto next = other.lock();
                    if (next && !next->is_started() && !next->is_closed()) {
                        next->flush();
                        break;
                    }
                }
                if (--attempt->pending == 0 && !attempt->done)
                    attempt->promise.set(std::unexpected(attempt->last_error));
                return;
            }
            --attempt->pending;
            if (attempt->done) {
                conn->close(0, "another address won");
                return;
            }
            attempt->done = true;
            for (auto const& other : attempt->dials)
                if (auto o = other.lock(); o && o != conn) o->close(0, "another address won");
            attempt->promise.set(core->make_connection(conn));
        });
        if (i == 0) {
            conn->flush();
            continue;
        }
        // Later addresses start one by one unless an earlier one has already won, so
        // a reachable first address costs the peer one handshake, not one per address.
        m_loop.schedule(Clock::now() + dial_stagger * i, [weak, attempt] {
            auto conn = weak.lock();
            if (conn && !attempt->done) conn->flush();
        });
    }
}

void EndpointCore::close_all() {
    if (m_closed) return;
    m_closed = true;
    auto connections = m_connections;
    for (auto const& conn : connections) conn->close(0, "endpoint closed");
    m_protocols.clear();
    // Release the ports now, not when the last handle goes: a restarted endpoint may
    // want the same port back.
    for (auto& s : m_sockets) {
        m_loop.unwatch(s.fd);
        ::close(s.fd);
        s.fd = -1;
    }
}

// --- Endpoint -------------------------------------------------------------------------

Result<Endpoint> Endpoint::bind(std::shared_ptr<Runtime> runtime, EndpointOptions options) {
    if (!runtime) return fail(ErrorKind::InvalidInput, "no runtime");
    auto key = options.secret_key ? *options.secret_key : SecretKey::generate();
    auto tls = TlsIdentity::create(key);
    if (!tls) return std::unexpected(tls.error());
    EventLoop& loop = runtime->next_loop();
    auto core =
        std::make_shared<EndpointCore>(runtime, loop, key, std::move(options), std::move(*tls));
    if (auto opened = core->open_sockets(); !opened) return std::unexpected(opened.error());
    core->loop().post([core] { core->start(); });
    return Endpoint(std::make_shared<EndpointToken>(core));
}

Result<Endpoint> Endpoint::bind(EndpointOptions options) {
    auto runtime = Runtime::create();
    if (!runtime) return std::unexpected(runtime.error());
    return bind(std::move(*runtime), std::move(options));
}

EndpointId Endpoint::id() const {
    return m_token->core->id();
}

EndpointAddr Endpoint::addr() const {
    return m_token->core->addr();
}

Future<Connection> Endpoint::connect(EndpointAddr const& addr, std::string alpn) {
    Promise<Connection> promise;
    auto future = promise.future();
    auto core = m_token->core;
    core->loop().post([core, addr, alpn = std::move(alpn), promise = std::move(promise)]() mutable {
        core->connect(addr, alpn, std::move(promise));
    });
    return future;
}

Future<void> Endpoint::close() {
    Promise<void> promise;
    auto future = promise.future();
    if (!m_token) {
        promise.set({});
        return future;
    }
    auto core = m_token->core;
    core->loop().post([core, promise = std::move(promise)]() mutable {
        core->close_all();
        promise.set({});
    });
    return future;
}

void Endpoint::set_accept_peer(std::function<bool(PublicKey const&)> filter) {
    auto core = m_token->core;
    core->set_peer_filter(std::move(filter));
    core->loop().post([core] { core->close_refused(); });
}

Future<EndpointStats> Endpoint::stats() const {
    Promise<EndpointStats> promise;
    auto future = promise.future();
    auto core = m_token->core;
    core->loop().post(
        [core, promise = std::move(promise)]() mutable { promise.set(core->stats()); });
    return future;
}

Executor Endpoint::executor() const {
    return Runtime::executor_of(m_token->core->loop());
}

// --- Connection and streams ------------------------------------------------------------

EndpointId Connection::remote_id() const {
    return m_handle->remote;
}

std::string const& Connection::alpn() const {
    return m_handle->alpn;
}

Future<SendStream> Connection::open_uni() {
    Promise<SendStream> promise;
    auto future = promise.future();
    auto handle = m_handle;
    handle->loop.post([handle, promise = std::move(promise)]() mutable {
        handle->conn->open_uni([handle, promise = std::make_shared<Promise<SendStream>>(
                                            std::move(promise))](Result<std::int64_t> id) {
            if (!id) return promise->set(std::unexpected(id.error()));
            promise->set(SendStream(std::make_shared<StreamHandle>(handle, *id, false)));
        });
        handle->conn->flush();
    });
    return future;
}

Future<RecvStream> Connection::accept_uni() {
    Promise<RecvStream> promise;
    auto future = promise.future();
    auto handle = m_handle;
    handle->loop.post([handle, promise = std::move(promise)]() mutable {
        handle->conn->accept_uni([handle, promise = std::make_shared<Promise<RecvStream>>(
                                              std::move(promise))](Result<std::int64_t> id) {
            if (!id) return promise->set(std::unexpected(id.error()));
            promise->set(RecvStream(std::make_shared<StreamHandle>(handle, *id, true)));
        });
    });
    return future;
}

void Connection::close(std::uint64_t code, std::string reason) {
    auto conn = m_handle->conn;
    m_handle->loop.post([conn, code, reason = std::move(reason)] { conn->close(code, reason); });
}

Future<void> Connection::closed() {
    Promise<void> promise;
    auto future = promise.future();
    auto conn = m_handle->conn;
    m_handle->loop.post([conn, promise = std::move(promise)]() mutable {
        conn->on_closed([promise = std::make_shared<Promise<void>>(std::move(promise))](
                            Result<void> r) { promise->set(r); });
    });
    return future;
}

Future<void> SendStream::write_all(std::vector<std::uint8_t> data) {
    Promise<void> promise;
    auto future = promise.future();
    auto handle = m_handle;
    handle->connection->loop.post(
        [handle, data = std::move(data), promise = std::move(promise)]() mutable {
            handle->connection->conn->write(
                handle->id, std::move(data),
                [promise = std::make_shared<Promise<void>>(std::move(promise))](Result<void> r) {
                    promise->set(r);
                });
        });
    return future;
}

Future<void> SendStream::finish() {
    Promise<void> promise;
    auto future = promise.future();
    auto handle = m_handle;
    handle->connection->loop.post([handle, promise = std::move(promise)]() mutable {
        handle->connection->conn->finish(
            handle->id, [promise = std::make_shared<Promise<void>>(std::move(promise))](
                            Result<void> r) { promise->set(r); });
    });
    return future;
}

std::int64_t SendStream::id() const {
    return m_handle->id;
}

Future<std::vector<std::uint8_t>> RecvStream::read_exact(std::size_t count) {
    Promise<std::vector<std::uint8_t>> promise;
    auto future = promise.future();
    auto handle = m_handle;
    handle->connection->loop.post([handle, count, promise = std::move(promise)]() mutable {
        handle->connection->conn->read_exact(
            handle->id, count,
            [promise = std::make_shared<Promise<std::vector<std::uint8_t>>>(std::move(promise))](
                Result<std::vector<std::uint8_t>> r) { promise->set(std::move(r)); });
    });
    return future;
}

std::int64_t RecvStream::id() const {
    return m_handle->id;
}

// --- Router ------------------------------------------------------------------------------

Router::Builder& Router::Builder::accept(std::string alpn,
                                         std::shared_ptr<ProtocolHandler> handler) {
    m_handlers[std::move(alpn)] = std::move(handler);
    return *this;
}

Router Router::Builder::spawn() {
    auto core = m_endpoint.m_token->core;
    core->loop().post([core, handlers = std::move(m_handlers)]() mutable {
        core->set_protocols(std::move(handlers));
    });
    return Router(std::move(m_endpoint));
}

Router::~Router() {
    shutdown();
}

void Router::shutdown() {
    if (!m_endpoint || !m_endpoint->m_token) return;
    auto core = m_endpoint->m_token->core;
    core->loop().post([core] { core->set_protocols({}); });
    m_endpoint.reset();
}

}  // namespace p2p
