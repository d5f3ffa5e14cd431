#pragma once

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "event_loop.hpp"
#include "p2p/error.hpp"
#include "p2p/key.hpp"
#include "tls.hpp"

namespace p2p {

class EndpointCore;

ngtcp2_cid random_cid(std::size_t length);

struct SockAddr {
    sockaddr_storage storage{};
    socklen_t len = 0;

    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    sockaddr const* get() const { return reinterpret_cast<sockaddr const*>(&storage); }
};

struct UdpSocket {
    int fd = -1;
    int family = 0;
    SockAddr local;
};

// One QUIC connection on top of ngtcp2 and a GnuTLS session. Lives on its endpoint's
// worker; every method must be called there. Results go to callbacks that are posted to
// the worker, never run from inside the QUIC stack.
class QuicConnection : public std::enable_shared_from_this<QuicConnection>, public PeerKeyCheck {
  public:
    using Done = std::function<void(Result<void>)>;
    using StreamDone = std::function<void(Result<std::int64_t>)>;
    using ReadDone = std::function<void(Result<std::vector<std::uint8_t>>)>;

    static constexpr std::size_t cid_length = 16;
    // Application close codes of connections the endpoint ends on its own.
    static constexpr std::uint64_t refused_code = 0x101;
    static constexpr std::uint64_t stalled_code = 0x102;
    static constexpr std::uint64_t buffer_code = 0x103;
    static constexpr std::uint64_t replaced_code = 0x104;

    static Result<std::shared_ptr<QuicConnection>> client(std::shared_ptr<EndpointCore> core,
                                                          UdpSocket const& socket,
                                                          SockAddr const& remote,
                                                          PublicKey expected_peer,
                                                          std::string const& alpn);
    static Result<std::shared_ptr<QuicConnection>> server(std::shared_ptr<EndpointCore> core,
                                                          UdpSocket const& socket,
                                                          SockAddr const& remote,
                                                          ngtcp2_pkt_hd const& initial,
                                                          std::vector<std::string> const& alpns,
                                                          std::optional<ngtcp2_cid> original_dcid);
    ~QuicConnection() override;

    // Feeds one datagram; call `flush` after a batch.
    void on_packet(SockAddr const& remote, std::span<std::uint8_t const> packet);
    void flush();

    void set_on_established(Done done) { m_on_established = std::move(done); }
    void open_uni(StreamDone done);
    void accept_uni(StreamDone done);
    void write(std::int64_t stream, std::vector<std::uint8_t> data, Done done);
    void finish(std::int64_t stream, Done done);
    void read_exact(std::int64_t stream, std::size_t count, ReadDone done);
    void release_recv(std::int64_t stream);
    void on_closed(Done done);
    // The application let go of the connection: close once sent data is acknowledged.
    void release();
    void close(std::uint64_t code, std::string const& reason);
    // Closes on our own initiative and discards what was received but not yet read.
    void abort(std::uint64_t code, std::string const& reason);

    bool is_closed() const { return m_closed; }
    bool is_client() const { return m_is_client; }
    // Creation order within the process.
    std::uint64_t serial() const { return m_serial; }
    // Received bytes the application has not taken, and since when a started read has
    // been waiting for the rest of its bytes.
    std::size_t held() const { return m_held; }
    std::optional<Clock::time_point> incomplete_since() const { return m_incomplete_since; }
    bool is_started() const { return m_started; }
    ngtcp2_conn* native() const { return m_conn; }
    std::optional<PublicKey> const& remote_id() const { return m_remote_id; }
    std::string const& alpn() const { return m_alpn; }
    std::vector<std::string> const& cids() const { return m_cids; }
    void add_cid(std::string cid) { m_cids.push_back(std::move(cid)); }

    bool accept_peer_key(PublicKey const& key) override;

    // ngtcp2 callback entry points.
    void on_stream_data(std::int64_t stream, std::span<std::uint8_t const> data, bool fin);
    void on_acked(std::int64_t stream, std::uint64_t end);
    void on_stream_open(std::int64_t stream);
    void on_stream_close(std::int64_t stream, bool reset);
    void on_streams_available();
    int on_handshake_completed();
    void on_handshake_confirmed();
    int new_connection_id(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length);
    void remove_connection_id(ngtcp2_cid const* cid);

  private:
    struct SendState {
        std::deque<std::vector<std::uint8_t>> chunks;  // unacknowledged data, from `base`
        std::uint64_t base = 0;
        std::uint64_t sent = 0;
        std::uint64_t end = 0;
        struct PendingWrite {
            std::vector<std::uint8_t> data;
            std::size_t taken = 0;
            Done done;
        };
        std::deque<PendingWrite> pending;
        bool fin_requested = false;
        bool fin_sent = false;
        Done finish_done;
    };
    struct RecvState {
        std::deque<std::vector<std::uint8_t>> chunks;
        std::size_t head = 0;  // bytes of chunks.front() already consumed
        std::size_t buffered = 0;
        bool fin = false;
        bool reset = false;
        std::optional<std::size_t> want;
        std::vector<std::uint8_t> out;
        ReadDone done;
    };

    QuicConnection(std::shared_ptr<EndpointCore> core, UdpSocket const& socket,
                   SockAddr const& remote);
    Result<void> init_tls(Result<gnutls_session_t> session);
    void pump(SendState& state);
    void service_read(std::int64_t id, RecvState& state);
    void send_stream_packets(std::uint8_t* buf, std::size_t size);
    void handle_error(int code);
    void send_close(ngtcp2_connection_close_error const& error);
    void finalize(Error error);
    void update_held();
    void on_read_completed(std::size_t count);
    void watch_first_read();
    void watch_incomplete();
    void arm_timer();
    void on_timer();
    void maybe_close_released();
    void post(EventLoop::Task task);

    std::shared_ptr<EndpointCore> m_core;
    EventLoop m_loop;
    UdpSocket m_socket;
    SockAddr m_remote;
    ngtcp2_conn* m_conn = nullptr;
    gnutls_session_t m_tls = nullptr;
    ngtcp2_crypto_conn_ref m_ref{};
    bool m_is_client = false;
    std::optional<PublicKey> m_expected_peer;
    std::optional<PublicKey> m_remote_id;
    std::string m_alpn;
    std::vector<std::string> m_cids;

    bool m_started = false;
    bool m_established = false;
    bool m_closed = false;
    bool m_released = false;
    std::uint64_t m_serial = 0;
    bool m_pending_handshake = false;  // counted in the endpoint's handshakes in flight
    bool m_progressed = false;         // a read of the peer's data has completed
    bool m_over_limit = false;
    std::size_t m_held = 0;
    std::optional<Clock::time_point> m_incomplete_since;
    Clock::time_point m_last_progress;
    std::size_t m_partial_bytes = 0;
    std::optional<Error> m_close_error;
    std::optional<EventLoop::TimerId> m_timer;

    Done m_on_established;
    std::vector<Done> m_closed_waiters;
    std::deque<StreamDone> m_open_waiters;
    std::deque<StreamDone> m_accept_waiters;
    std::deque<std::int64_t> m_incoming;
    std::map<std::int64_t, SendState> m_send;
    std::map<std::int64_t, RecvState> m_recv;
};

}  // namespace p2p
