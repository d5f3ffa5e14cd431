#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "p2p/endpoint_addr.hpp"
#include "p2p/error.hpp"
#include "p2p/future.hpp"
#include "p2p/key.hpp"
#include "p2p/runtime.hpp"

namespace p2p {

class EndpointCore;
class QuicConnection;
struct ConnectionHandle;
struct StreamHandle;

struct EndpointOptions {
    // A fresh random key when empty.
    std::optional<SecretKey> secret_key;
    // Bind 127.0.0.1 and ::1 only and never dial other addresses (tests, local tools).
    bool loopback_only = false;
    // 0 picks an ephemeral port; the IPv6 socket then takes its own ephemeral port.
    std::uint16_t port = 0;
    std::chrono::milliseconds handshake_timeout{5000};
    std::chrono::milliseconds idle_timeout{30000};
    // Who may connect: asked with the key a peer has just proven in the handshake, on the
    // endpoint's worker. A refused peer's handshake fails, so it never gets a stream
    // through. Empty accepts everyone. Connections this endpoint dials are not asked about.
    std::function<bool(PublicKey const&)> accept_peer;
    // A connection this endpoint accepted is closed when the peer completes nothing the
    // application reads within `first_read_timeout` of the handshake, or sends nothing for
    // `incomplete_read_timeout` while a read it has started filling waits for the rest.
    // Zero turns a check off.
    std::chrono::milliseconds first_read_timeout{5000};
    std::chrono::milliseconds incomplete_read_timeout{10000};
    // Received bytes the application has not taken yet (stream data nobody read and partly
    // filled reads). A connection over its own limit is closed; while the endpoint is over
    // its limit, the connections holding the oldest unfinished reads (or, without any, the
    // most bytes) are closed until it is back under. A single read larger than the
    // connection limit fails at once: protocols with larger messages raise the limits.
    std::size_t max_connection_buffer = std::size_t{80} << 20;
    std::size_t max_endpoint_buffer = std::size_t{160} << 20;
};

// A snapshot of an endpoint's load, for diagnostics and tests.
struct EndpointStats {
    std::size_t connections = 0;         // dialed and accepted, handshaking or established
    std::size_t pending_handshakes = 0;  // accepted connections still in their handshake
    std::size_t buffered_bytes = 0;      // received, not yet taken by the application
    std::uint64_t retries_sent = 0;      // address validations asked of new peers
    std::uint64_t peers_refused = 0;     // handshakes or connections closed by the filter
};

// The sending half of a unidirectional stream. Data is buffered up to a fixed amount;
// `write_all` completes once all of it was taken into that buffer, so a slow peer holds
// the writer back instead of growing memory.
class SendStream {
  public:
    Future<void> write_all(std::vector<std::uint8_t> data);
    Future<void> finish();
    std::int64_t id() const;

  private:
    friend class Connection;
    explicit SendStream(std::shared_ptr<StreamHandle> handle) : m_handle(std::move(handle)) {}
    std::shared_ptr<StreamHandle> m_handle;
};

// The receiving half. The peer may send only as much as the flow-control window allows;
// the window moves as the application reads.
class RecvStream {
  public:
    // Exactly `count` bytes, or an `EndOfStream` error if the stream ends first.
    Future<std::vector<std::uint8_t>> read_exact(std::size_t count);
    std::int64_t id() const;

  private:
    friend class Connection;
    explicit RecvStream(std::shared_ptr<StreamHandle> handle) : m_handle(std::move(handle)) {}
    std::shared_ptr<StreamHandle> m_handle;
};

// An established, mutually authenticated QUIC connection. Copies share it; once the last
// copy and its streams are gone it closes after its sent data was acknowledged.
class Connection {
  public:
    EndpointId remote_id() const;
    std::string const& alpn() const;
    Future<SendStream> open_uni();
    Future<RecvStream> accept_uni();
    void close(std::uint64_t code, std::string reason);
    // Completes when the connection ended, for whatever reason.
    Future<void> closed();

  private:
    friend class EndpointCore;
    explicit Connection(std::shared_ptr<ConnectionHandle> handle) : m_handle(std::move(handle)) {}
    std::shared_ptr<ConnectionHandle> m_handle;
};

// Receives the accepted connections of one application protocol. Runs on a worker
// thread and must not block it.
class ProtocolHandler {
  public:
    virtual ~ProtocolHandler() = default;
    virtual void accept(Connection connection) = 0;
    virtual std::string debug() const = 0;
};

struct EndpointToken;

// A QUIC endpoint named by its key. Copies are handles to the same endpoint; it closes
// when `close` is called or the last copy goes away.
class Endpoint {
  public:
    static Result<Endpoint> bind(std::shared_ptr<Runtime> runtime, EndpointOptions options = {});
    // Same, on a runtime of its own that lives as long as the endpoint.
    static Result<Endpoint> bind(EndpointOptions options = {});

    EndpointId id() const;
    EndpointAddr addr() const;
    // Dials every usable address at once; the first completed handshake wins. The peer
    // must prove the key in `addr.id` and speak `alpn`.
    Future<Connection> connect(EndpointAddr const& addr, std::string alpn);
    Future<void> close();
    // Replaces the `accept_peer` filter; callable from any thread at any time. Connections
    // already accepted from peers it refuses are closed. Empty accepts everyone.
    void set_accept_peer(std::function<bool(PublicKey const&)> filter);
    Future<EndpointStats> stats() const;
    // Posts work to the worker this endpoint runs on.
    Executor executor() const;

  private:
    friend class Router;
    explicit Endpoint(std::shared_ptr<EndpointToken> token) : m_token(std::move(token)) {}
    std::shared_ptr<EndpointToken> m_token;
};

// Hands accepted connections to the handler registered for their protocol name. Clients
// asking for any other name are refused during the handshake.
class Router {
  public:
    class Builder {
      public:
        explicit Builder(Endpoint endpoint) : m_endpoint(std::move(endpoint)) {}
        Builder& accept(std::string alpn, std::shared_ptr<ProtocolHandler> handler);
        Router spawn();

      private:
        Endpoint m_endpoint;
        std::map<std::string, std::shared_ptr<ProtocolHandler>> m_handlers;
    };

    static Builder builder(Endpoint endpoint) { return Builder(std::move(endpoint)); }

    Router(Router&&) noexcept = default;
    Router& operator=(Router&&) noexcept = default;
    ~Router();

    Endpoint const& endpoint() const { return *m_endpoint; }
    void shutdown();

  private:
    explicit Router(Endpoint endpoint) : m_endpoint(std::move(endpoint)) {}
    std::optional<Endpoint> m_endpoint;
};

}  // namespace p2p
