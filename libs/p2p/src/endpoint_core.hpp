#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "event_loop.hpp"
#include "p2p/endpoint.hpp"
#include "quic_connection.hpp"
#include "tls.hpp"

namespace p2p {

struct ConnectionHandle {
    std::shared_ptr<QuicConnection> conn;
    EventLoop loop;
    PublicKey remote;
    std::string alpn;

    ConnectionHandle(std::shared_ptr<QuicConnection> conn, EventLoop loop, PublicKey remote,
                     std::string alpn)
        : conn(std::move(conn)), loop(std::move(loop)), remote(remote), alpn(std::move(alpn)) {}
    ConnectionHandle(ConnectionHandle const&) = delete;
    ConnectionHandle& operator=(ConnectionHandle const&) = delete;
    ~ConnectionHandle() {
        loop.post([conn = std::move(conn)] { conn->release(); });
    }
};

struct StreamHandle {
    std::shared_ptr<ConnectionHandle> connection;
    std::int64_t id = -1;
    bool receiving = false;

    StreamHandle(std::shared_ptr<ConnectionHandle> connection, std::int64_t id, bool receiving)
        : connection(std::move(connection)), id(id), receiving(receiving) {}
    StreamHandle(StreamHandle const&) = delete;
    StreamHandle& operator=(StreamHandle const&) = delete;
    ~StreamHandle() {
        if (!receiving) return;
        auto conn = connection->conn;
        connection->loop.post([conn = std::move(conn), id = id] { conn->release_recv(id); });
    }
};

// The endpoint's state, owned by its worker: sockets, the connection-id table, the
// protocol handlers.
class EndpointCore : public std::enable_shared_from_this<EndpointCore> {
  public:
    EndpointCore(std::shared_ptr<Runtime> runtime, EventLoop loop, SecretKey key,
                 EndpointOptions options, std::unique_ptr<TlsIdentity> tls)
        : m_runtime(std::move(runtime)),
          m_loop(std::move(loop)),
          m_key(key),
          m_options(std::move(options)),
          m_tls(std::move(tls)),
          m_filter(make_filter(std::move(m_options.accept_peer))) {
        init_retry_secret();
    }
    ~EndpointCore();

    EventLoop const& loop() const { return m_loop; }
    TlsIdentity const& tls() const { return *m_tls; }
    EndpointOptions const& options() const { return m_options; }
    PublicKey id() const { return m_key.public_key(); }
    EndpointAddr const& addr() const { return m_addr; }

    Result<void> open_sockets();
    void start();  // on the worker
    void set_protocols(std::map<std::string, std::shared_ptr<ProtocolHandler>> handlers);
    void connect(EndpointAddr const& addr, std::string const& alpn, Promise<Connection> promise);
    void close_all();

    void send(int fd, sockaddr const* to, socklen_t len, std::span<std::uint8_t const> data);
    void register_cid(std::string cid, std::shared_ptr<QuicConnection> const& conn);
    void unregister_cid(std::string const& cid);
    void remove(std::shared_ptr<QuicConnection> const& conn);
    void dispatch(std::shared_ptr<QuicConnection> const& conn);

    using PeerFilter = std::function<bool(PublicKey const&)>;
    void set_peer_filter(PeerFilter filter);  // any thread
    bool peer_allowed(PublicKey const& key);  // on the worker; counts refusals
    // Closes accepted connections whose peer the current filter refuses.
    void close_refused();

    // Bytes received and not yet taken by the application, summed over connections.
    void add_held(std::size_t add, std::size_t remove);
    void handshake_started() { ++m_pending_handshakes; }
    void handshake_ended() { --m_pending_handshakes; }
    EndpointStats stats() const;

  private:
    static std::shared_ptr<PeerFilter const> make_filter(PeerFilter filter);
    void init_retry_secret();
    void send_retry(UdpSocket const& socket, SockAddr const& remote, ngtcp2_pkt_hd const& hd);
    std::optional<ngtcp2_cid> check_retry_token(SockAddr const& remote, ngtcp2_pkt_hd const& hd);
    void enforce_buffer_limit();
    void on_readable(UdpSocket const& socket);
    void accept_initial(UdpSocket const& socket, SockAddr const& remote,
                        std::span<std::uint8_t const> packet,
                        std::set<std::shared_ptr<QuicConnection>>& touched);
    Connection make_connection(std::shared_ptr<QuicConnection> const& conn);

    std::shared_ptr<Runtime> m_runtime;
    EventLoop m_loop;
    SecretKey m_key;
    EndpointOptions m_options;
    std::unique_ptr<TlsIdentity> m_tls;
    EndpointAddr m_addr{PublicKey(PublicKey::Bytes{}), {}};
    std::vector<UdpSocket> m_sockets;
    bool m_closed = false;

    std::unordered_map<std::string, std::shared_ptr<QuicConnection>> m_by_cid;
    std::set<std::shared_ptr<QuicConnection>> m_connections;
    std::map<std::string, std::shared_ptr<ProtocolHandler>> m_protocols;

    mutable std::mutex m_filter_mutex;
    std::shared_ptr<PeerFilter const> m_filter;  // null: everyone
    std::uint64_t m_peers_refused = 0;           // worker only

    std::size_t m_held_total = 0;
    bool m_enforce_posted = false;
    std::size_t m_pending_handshakes = 0;
    std::uint64_t m_retries_sent = 0;
    std::array<std::uint8_t, 32> m_retry_secret{};
};

struct EndpointToken {
    explicit EndpointToken(std::shared_ptr<EndpointCore> core) : core(std::move(core)) {}
    EndpointToken(EndpointToken const&) = delete;
    EndpointToken& operator=(EndpointToken const&) = delete;
    std::shared_ptr<EndpointCore> core;
    ~EndpointToken() {
        if (core) core->loop().post([core = core] { core->close_all(); });
    }
};

}  // namespace p2p
