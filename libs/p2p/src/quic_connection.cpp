#include "quic_connection.hpp"

#include <gnutls/crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "endpoint_core.hpp"

namespace p2p {

namespace {

// Per stream, how much the application may hand over before it is held back, and how
// much a peer may send before we read it. Both bound memory per connection.
constexpr std::uint64_t send_buffer_limit = 1 << 20;
constexpr std::uint64_t stream_window = 1 << 20;
constexpr std::uint64_t max_stream_window = 4 << 20;
constexpr std::uint64_t connection_window = 4 << 20;
constexpr std::uint64_t max_connection_window = 8 << 20;
constexpr std::uint64_t max_incoming_uni_streams = 16;
constexpr std::size_t max_packet = 1500;
constexpr ngtcp2_duration keep_alive_interval = 10 * NGTCP2_SECONDS;
constexpr std::size_t max_iov = 16;

// Each received chunk costs its allocation besides its bytes; counted so that a peer
// sending tiny packets cannot hide memory from the buffer limits.
constexpr std::size_t chunk_overhead = 64;

QuicConnection* self_of(void* user_data) {
    return static_cast<QuicConnection*>(user_data);
}

bool is_local_stream(std::int64_t id, bool is_client) {
    return ((id & 1) == 0) == is_client;
}

int cb_recv_stream_data(ngtcp2_conn*, std::uint32_t flags, std::int64_t stream, std::uint64_t,
                        std::uint8_t const* data, std::size_t len, void* user_data, void*) {
    self_of(user_data)->on_stream_data(stream, {data, len}, flags & NGTCP2_STREAM_DATA_FLAG_FIN);
    return 0;
}

int cb_acked(ngtcp2_conn*, std::int64_t stream, std::uint64_t offset, std::uint64_t len,
             void* user_data, void*) {
    self_of(user_data)->on_acked(stream, offset + len);
    return 0;
}

int cb_stream_open(ngtcp2_conn*, std::int64_t stream, void* user_data) {
    self_of(user_data)->on_stream_open(stream);
    return 0;
}

int cb_stream_close(ngtcp2_conn*, std::uint32_t flags, std::int64_t stream, std::uint64_t code,
                    void* user_data, void*) {
    bool reset = (flags & NGTCP2_STREAM_CLOSE_FLAG_APP_ERROR_CODE_SET) && code != 0;
    self_of(user_data)->on_stream_close(stream, reset);
    return 0;
}

int cb_stream_reset(ngtcp2_conn*, std::int64_t stream, std::uint64_t, std::uint64_t,
                    void* user_data, void*) {
    self_of(user_data)->on_stream_close(stream, true);
    return 0;
}

int cb_streams_uni(ngtcp2_conn*, std::uint64_t, void* user_data) {
    self_of(user_data)->on_streams_available();
    return 0;
}

void cb_rand(std::uint8_t* dest, std::size_t len, ngtcp2_rand_ctx const*) {
    gnutls_rnd(GNUTLS_RND_RANDOM, dest, len);
}

int cb_new_cid(ngtcp2_conn*, ngtcp2_cid* cid, std::uint8_t* token, std::size_t len,
               void* user_data) {
    return self_of(user_data)->new_connection_id(cid, token, len);
}

int cb_remove_cid(ngtcp2_conn*, ngtcp2_cid const* cid, void* user_data) {
    self_of(user_data)->remove_connection_id(cid);
    return 0;
}

int cb_handshake_completed(ngtcp2_conn*, void* user_data) {
    return self_of(user_data)->on_handshake_completed();
}

int cb_handshake_confirmed(ngtcp2_conn*, void* user_data) {
    self_of(user_data)->on_handshake_confirmed();
    return 0;
}

ngtcp2_callbacks make_callbacks(bool client) {
    ngtcp2_callbacks cb{};
    if (client) {
        cb.client_initial = ngtcp2_crypto_client_initial_cb;
        cb.recv_retry = ngtcp2_crypto_recv_retry_cb;
    } else {
        cb.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    }
    cb.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    cb.encrypt = ngtcp2_crypto_encrypt_cb;
    cb.decrypt = ngtcp2_crypto_decrypt_cb;
    cb.hp_mask = ngtcp2_crypto_hp_mask_cb;
    cb.update_key = ngtcp2_crypto_update_key_cb;
    cb.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    cb.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    cb.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    cb.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    cb.handshake_completed = cb_handshake_completed;
    cb.handshake_confirmed = cb_handshake_confirmed;
    cb.recv_stream_data = cb_recv_stream_data;
    cb.acked_stream_data_offset = cb_acked;
    cb.stream_open = cb_stream_open;
    cb.stream_close = cb_stream_close;
    cb.stream_reset = cb_stream_reset;
    cb.extend_max_local_streams_uni = cb_streams_uni;
    cb.rand = cb_rand;
    cb.get_new_connection_id = cb_new_cid;
    cb.remove_connection_id = cb_remove_cid;
    return cb;
}

std::string cid_key(std::uint8_t const* data, std::size_t len) {
    return std::string(reinterpret_cast<char const*>(data), len);
}

ngtcp2_settings make_settings(EndpointOptions const& options) {
    ngtcp2_settings settings;
    ngtcp2_settings_default(&settings);
    settings.initial_ts = monotonic_ns();
    settings.cc_algo = NGTCP2_CC_ALGO_CUBIC;
    settings.max_window = max_connection_window;
    settings.max_stream_window = max_stream_window;
    settings.handshake_timeout =
        static_cast<ngtcp2_duration>(options.handshake_timeout.count()) * NGTCP2_MILLISECONDS;
    return settings;
}

ngtcp2_transport_params make_params(EndpointOptions const& options) {
    ngtcp2_transport_params params;
    ngtcp2_transport_params_default(&params);
    params.initial_max_streams_uni = max_incoming_uni_streams;
    params.initial_max_streams_bidi = 0;
    params.initial_max_stream_data_uni = stream_window;
    params.initial_max_data = connection_window;
    params.max_idle_timeout =
        static_cast<ngtcp2_duration>(options.idle_timeout.count()) * NGTCP2_MILLISECONDS;
    return params;
}

ngtcp2_path make_path(UdpSocket const& socket, SockAddr const& remote) {
    ngtcp2_path path{};
    path.local.addr = const_cast<sockaddr*>(socket.local.get());
    path.local.addrlen = socket.local.len;
    path.remote.addr = const_cast<sockaddr*>(remote.get());
    path.remote.addrlen = remote.len;
    return path;
}

ngtcp2_conn* get_conn(ngtcp2_crypto_conn_ref* ref) {
    return static_cast<QuicConnection*>(static_cast<PeerKeyCheck*>(ref->user_data))->native();
}

}  // namespace

ngtcp2_cid random_cid(std::size_t length) {
    ngtcp2_cid cid{};
    cid.datalen = length;
    gnutls_rnd(GNUTLS_RND_RANDOM, cid.data, length);
    return cid;
}

QuicConnection::QuicConnection(std::shared_ptr<EndpointCore> core, UdpSocket const& socket,
                               SockAddr const& remote)
    : m_core(std::move(core)), m_loop(m_core->loop()), m_socket(socket), m_remote(remote) {
    static std::atomic<std::uint64_t> next_serial{0};
    m_serial = ++next_serial;
    m_ref.get_conn = get_conn;
    m_ref.user_data = static_cast<PeerKeyCheck*>(this);
}

QuicConnection::~QuicConnection() {
    if (m_conn) ngtcp2_conn_del(m_conn);
    if (m_tls) gnutls_deinit(m_tls);
}

Result<void> QuicConnection::init_tls(Result<gnutls_session_t> session) {
    // A call can be quiet for long stretches (everyone muted); pings keep the path and
    // the peer's idle timer alive meanwhile.
    ngtcp2_conn_set_keep_alive_timeout(m_conn, keep_alive_interval);
    if (!session) return std::unexpected(session.error());
    m_tls = *session;
    ngtcp2_conn_set_tls_native_handle(m_conn, m_tls);
    return {};
}

Result<std::shared_ptr<QuicConnection>> QuicConnection::client(std::shared_ptr<EndpointCore> core,
                                                               UdpSocket const& socket,
                                                               SockAddr const& remote,
                                                               PublicKey expected_peer,
                                                               std::string const& alpn) {
    std::shared_ptr<QuicConnection> self(new QuicConnection(core, socket, remote));
    self->m_is_client = true;
    self->m_expected_peer = expected_peer;
    self->m_alpn = alpn;
    auto dcid = random_cid(18);
    auto scid = random_cid(cid_length);
    auto path = make_path(socket, remote);
    auto callbacks = make_callbacks(true);
    auto settings = make_settings(core->options());
    auto params = make_params(core->options());
    if (ngtcp2_conn_client_new(&self->m_conn, &dcid, &scid, &path, NGTCP2_PROTO_VER_V1, &callbacks,
                               &settings, &params, nullptr, self.get()) != 0)
        return fail(ErrorKind::Other, "cannot create a QUIC client connection");
    if (auto tls = self->init_tls(core->tls().client_session(&self->m_ref, alpn)); !tls)
        return std::unexpected(tls.error());
    self->m_cids.push_back(cid_key(scid.data, scid.datalen));
    return self;
}

Result<std::shared_ptr<QuicConnection>> QuicConnection::server(
    std::shared_ptr<EndpointCore> core, UdpSocket const& socket, SockAddr const& remote,
    ngtcp2_pkt_hd const& initial, std::vector<std::string> const& alpns,
    std::optional<ngtcp2_cid> original_dcid) {
    std::shared_ptr<QuicConnection> self(new QuicConnection(core, socket, remote));
    auto scid = random_cid(cid_length);
    auto path = make_path(socket, remote);
    auto callbacks = make_callbacks(false);
    auto settings = make_settings(core->options());
    auto params = make_params(core->options());
    params.original_dcid = initial.dcid;
    if (original_dcid) {
        // The peer came back with our Retry token: its address is proven, and both ids
        // must be echoed so that it can tell the Retry was ours.
        params.original_dcid = *original_dcid;
        params.retry_scid = initial.dcid;
        params.retry_scid_present = 1;
        settings.token = initial.token;
    }
    params.stateless_reset_token_present = 1;
    gnutls_rnd(GNUTLS_RND_RANDOM, params.stateless_reset_token,
               sizeof params.stateless_reset_token);
    if (ngtcp2_conn_server_new(&self->m_conn, &initial.scid, &scid, &path, initial.version,
                               &callbacks, &settings, &params, nullptr, self.get()) != 0)
        return fail(ErrorKind::Other, "cannot create a QUIC server connection");
    if (auto tls = self->init_tls(core->tls().server_session(&self->m_ref, alpns)); !tls)
        return std::unexpected(tls.error());
    self->m_cids.push_back(cid_key(scid.data, scid.datalen));
    // The client keeps addressing its first packets to the id it chose itself.
    self->m_cids.push_back(cid_key(initial.dcid.data, initial.dcid.datalen));
    self->m_pending_handshake = true;
    core->handshake_started();
    return self;
}

void QuicConnection::post(EventLoop::Task task) {
    m_loop.post(std::move(task));
}

bool QuicConnection::accept_peer_key(PublicKey const& key) {
    if (m_expected_peer && key != *m_expected_peer) return false;
    if (!m_is_client && !m_core->peer_allowed(key)) return false;
    m_remote_id = key;
    return true;
}

int QuicConnection::on_handshake_completed() {
    if (!m_remote_id) return NGTCP2_ERR_CALLBACK_FAILURE;
    auto alpn = selected_alpn(m_tls);
    if (!alpn || (m_is_client && *alpn != m_alpn)) return NGTCP2_ERR_CALLBACK_FAILURE;
    m_alpn = *alpn;
    m_established = true;
    if (m_pending_handshake) {
        m_pending_handshake = false;
        m_core->handshake_ended();
    }
    if (!m_is_client) watch_first_read();
    // A dialer waits for confirmation: until then the server may still refuse our key.
    if (m_is_client) return 0;
    auto self = shared_from_this();
    post([self] {
        if (!self->m_closed) self->m_core->dispatch(self);
    });
    return 0;
}

void QuicConnection::on_handshake_confirmed() {
    if (!m_is_client || !m_established) return;
    if (auto done = std::move(m_on_established)) post([done] { done({}); });
    m_on_established = nullptr;
}

int QuicConnection::new_connection_id(ngtcp2_cid* cid, std::uint8_t* token, std::size_t length) {
    *cid = random_cid(length);
    gnutls_rnd(GNUTLS_RND_RANDOM, token, NGTCP2_STATELESS_RESET_TOKENLEN);
    auto key = cid_key(cid->data, cid->datalen);
    m_cids.push_back(key);
    m_core->register_cid(key, shared_from_this());
    return 0;
}

void QuicConnection::remove_connection_id(ngtcp2_cid const* cid) {
    auto key = cid_key(cid->data, cid->datalen);
    std::erase(m_cids, key);
    m_core->unregister_cid(key);
}

void QuicConnection::on_packet(SockAddr const& remote, std::span<std::uint8_t const> packet) {
    if (m_closed) return;
    auto path = make_path(m_socket, remote);
    ngtcp2_pkt_info info{};
    int rv =
        ngtcp2_conn_read_pkt(m_conn, &path, &info, packet.data(), packet.size(), monotonic_ns());
    if (rv != 0) {
        handle_error(rv);
        return;
    }
    if (m_over_limit) abort(buffer_code, "receive buffer limit of the connection");
}

void QuicConnection::handle_error(int code) {
    auto self = shared_from_this();
    // A dial counts as up only once the server confirmed it, after checking our key.
    bool up = m_established && !m_on_established;
    ErrorKind kind = up ? ErrorKind::ConnectionClosed : ErrorKind::HandshakeFailed;
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_default(&error);
    switch (code) {
        case NGTCP2_ERR_DRAINING:
            finalize({kind, up ? "connection closed by peer" : "handshake refused by peer"});
            return;
        case NGTCP2_ERR_DROP_CONN:
        case NGTCP2_ERR_RETRY:
            finalize({kind, "connection dropped"});
            return;
        case NGTCP2_ERR_IDLE_CLOSE:
            finalize({ErrorKind::TimedOut, "connection idle"});
            return;
        case NGTCP2_ERR_HANDSHAKE_TIMEOUT:
            finalize({ErrorKind::TimedOut, "handshake timed out"});
            return;
        case NGTCP2_ERR_CRYPTO:
            ngtcp2_connection_close_error_set_transport_error_tls_alert(
                &error, ngtcp2_conn_get_tls_alert(m_conn), nullptr, 0);
            send_close(error);
            finalize({ErrorKind::HandshakeFailed, "TLS handshake failed (peer key or protocol)"});
            return;
        default:
            ngtcp2_connection_close_error_set_transport_error_liberr(&error, code, nullptr, 0);
            send_close(error);
            finalize({kind, std::string("QUIC error: ") + ngtcp2_strerror(code)});
            return;
    }
}

void QuicConnection::send_close(ngtcp2_connection_close_error const& error) {
    if (ngtcp2_conn_is_in_closing_period(m_conn) || ngtcp2_conn_is_in_draining_period(m_conn))
        return;
    std::uint8_t buf[max_packet];
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info info{};
    auto n = ngtcp2_conn_write_connection_close(m_conn, &ps.path, &info, buf, sizeof buf, &error,
                                                monotonic_ns());
    if (n > 0)
        m_core->send(m_socket.fd, m_remote.get(), m_remote.len, {buf, static_cast<std::size_t>(n)});
}

void QuicConnection::close(std::uint64_t code, std::string const& reason) {
    if (m_closed) return;
    auto self = shared_from_this();
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_set_application_error(
        &error, code, reinterpret_cast<std::uint8_t const*>(reason.data()), reason.size());
    // A dial that never sent its first packet has nobody to tell.
    if (m_started) send_close(error);
    finalize({ErrorKind::ConnectionClosed, "connection closed locally"});
}

void QuicConnection::abort(std::uint64_t code, std::string const& reason) {
    if (m_closed) return;
    auto self = shared_from_this();
    for (auto& [id, state] : m_recv) {
        state.chunks.clear();
        state.head = 0;
        state.buffered = 0;
    }
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_set_application_error(
        &error, code, reinterpret_cast<std::uint8_t const*>(reason.data()), reason.size());
    if (m_started) send_close(error);
    finalize({ErrorKind::ConnectionClosed, reason});
}

void QuicConnection::finalize(Error error) {
    if (m_closed) return;
    m_closed = true;
    m_close_error = error;
    auto self = shared_from_this();
    if (m_pending_handshake) {
        m_pending_handshake = false;
        m_core->handshake_ended();
    }
    if (m_timer) {
        m_loop.cancel(*m_timer);
        m_timer.reset();
    }
    auto fail_all = [&](auto& waiters) {
        for (auto& done : waiters)
            post([done = std::move(done), error] { done(std::unexpected(error)); });
        waiters.clear();
    };
    if (m_on_established) {
        post([done = std::move(m_on_established), error] { done(std::unexpected(error)); });
        m_on_established = nullptr;
    }
    fail_all(m_open_waiters);
    fail_all(m_accept_waiters);
    for (auto& [id, state] : m_send) {
        for (auto& write : state.pending)
            post([done = std::move(write.done), error] { done(std::unexpected(error)); });
        state.pending.clear();
        if (state.finish_done)
            post([done = std::move(state.finish_done), error] { done(std::unexpected(error)); });
        state.finish_done = nullptr;
        state.chunks.clear();
    }
    for (auto& [id, state] : m_recv) service_read(id, state);
    for (auto& done : m_closed_waiters) post([done = std::move(done)] { done({}); });
    m_closed_waiters.clear();
    // What is still buffered stays readable, but no longer counts against the endpoint.
    m_core->add_held(0, m_held);
    m_held = 0;
    m_incomplete_since.reset();
    m_core->remove(self);
}

void QuicConnection::on_closed(Done done) {
    if (m_closed) {
        post([done = std::move(done)] { done({}); });
        return;
    }
    m_closed_waiters.push_back(std::move(done));
}

void QuicConnection::release() {
    m_released = true;
    maybe_close_released();
}

void QuicConnection::maybe_close_released() {
    if (!m_released || m_closed) return;
    for (auto const& [id, state] : m_send)
        if (!state.pending.empty() || state.base != state.end || state.fin_requested) return;
    close(0, "done");
}

void QuicConnection::open_uni(StreamDone done) {
    if (m_closed) {
        post([done = std::move(done), error = *m_close_error] { done(std::unexpected(error)); });
        return;
    }
    std::int64_t id = -1;
    int rv = ngtcp2_conn_open_uni_stream(m_conn, &id, nullptr);
    if (rv == NGTCP2_ERR_STREAM_ID_BLOCKED) {
        m_open_waiters.push_back(std::move(done));
        return;
    }
    if (rv != 0) {
        post([done = std::move(done)] { done(fail(ErrorKind::Other, "cannot open a stream")); });
        return;
    }
    m_send.emplace(id, SendState{});
    post([done = std::move(done), id] { done(id); });
}

void QuicConnection::on_streams_available() {
    auto waiters = std::move(m_open_waiters);
    m_open_waiters.clear();
    auto self = shared_from_this();
    for (auto& done : waiters)
        post([self, done = std::move(done)]() mutable {
            self->open_uni(std::move(done));
            self->flush();
        });
}

void QuicConnection::accept_uni(StreamDone done) {
    if (!m_incoming.empty()) {
        auto id = m_incoming.front();
        m_incoming.pop_front();
        post([done = std::move(done), id] { done(id); });
        return;
    }
    if (m_closed) {
        post([done = std::move(done), error = *m_close_error] { done(std::unexpected(error)); });
        return;
    }
    m_accept_waiters.push_back(std::move(done));
}

void QuicConnection::on_stream_open(std::int64_t id) {
    if (is_local_stream(id, m_is_client)) return;
    m_recv.emplace(id, RecvState{});
    if (!m_accept_waiters.empty()) {
        auto done = std::move(m_accept_waiters.front());
        m_accept_waiters.pop_front();
        post([done = std::move(done), id] { done(id); });
        return;
    }
    m_incoming.push_back(id);
}

void QuicConnection::write(std::int64_t stream, std::vector<std::uint8_t> data, Done done) {
    auto it = m_send.find(stream);
    if (m_closed || it == m_send.end() || it->second.fin_requested) {
        post([done = std::move(done)] {
            done(fail(ErrorKind::ConnectionClosed, "stream is closed for writing"));
        });
        return;
    }
    it->second.pending.push_back({std::move(data), 0, std::move(done)});
    pump(it->second);
    flush();
}

void QuicConnection::pump(SendState& state) {
    while (!state.pending.empty()) {
        auto& write = state.pending.front();
        std::uint64_t buffered = state.end - state.base;
        std::size_t remaining = write.data.size() - write.taken;
        if (remaining > 0 && buffered >= send_buffer_limit) return;
        std::size_t space = static_cast<std::size_t>(send_buffer_limit - buffered);
        if (write.taken == 0 && remaining <= space) {
            if (remaining > 0) state.chunks.push_back(std::move(write.data));
            state.end += remaining;
        } else if (remaining > 0) {
            std::size_t n = std::min(remaining, space);
            auto first = write.data.begin() + static_cast<std::ptrdiff_t>(write.taken);
            state.chunks.emplace_back(first, first + static_cast<std::ptrdiff_t>(n));
            state.end += n;
            write.taken += n;
            if (write.taken < write.data.size()) return;
        }
        post([done = std::move(write.done)] { done({}); });
        state.pending.pop_front();
    }
}

void QuicConnection::finish(std::int64_t stream, Done done) {
    auto it = m_send.find(stream);
    if (m_closed || it == m_send.end() || it->second.fin_requested) {
        post([done = std::move(done)] {
            done(fail(ErrorKind::ConnectionClosed, "stream is closed for writing"));
        });
        return;
    }
    it->second.fin_requested = true;
    it->second.finish_done = std::move(done);
    flush();
}

void QuicConnection::on_acked(std::int64_t stream, std::uint64_t end) {
    auto it = m_send.find(stream);
    if (it == m_send.end()) return;
    auto& state = it->second;
    while (!state.chunks.empty() && state.base + state.chunks.front().size() <= end) {
        state.base += state.chunks.front().size();
        state.chunks.pop_front();
    }
    pump(state);
    if (m_released) {
        auto self = shared_from_this();
        post([self] { self->maybe_close_released(); });
    }
}

void QuicConnection::on_stream_close(std::int64_t stream, bool reset) {
    if (is_local_stream(stream, m_is_client)) {
        auto it = m_send.find(stream);
        if (it == m_send.end()) return;
        auto& state = it->second;
        Error error{ErrorKind::ConnectionClosed, "stream stopped by peer"};
        for (auto& write : state.pending)
            post([done = std::move(write.done), error] { done(std::unexpected(error)); });
        if (state.finish_done) {
            if (reset)
                post(
                    [done = std::move(state.finish_done), error] { done(std::unexpected(error)); });
            else
                post([done = std::move(state.finish_done)] { done({}); });
        }
        m_send.erase(it);
        auto self = shared_from_this();
        post([self] { self->maybe_close_released(); });
        return;
    }
    ngtcp2_conn_extend_max_streams_uni(m_conn, 1);
    auto it = m_recv.find(stream);
    if (it == m_recv.end()) return;
    if (reset) it->second.reset = true;
    it->second.fin = true;
    service_read(stream, it->second);
}

void QuicConnection::on_stream_data(std::int64_t stream, std::span<std::uint8_t const> data,
                                    bool fin) {
    auto it = m_recv.find(stream);
    if (it == m_recv.end()) {
        // The application let go of this stream; keep the connection's window moving.
        ngtcp2_conn_extend_max_offset(m_conn, data.size());
        return;
    }
    auto& state = it->second;
    // Past the limit nothing more is kept; the connection closes once the packet is done.
    if (!data.empty() && !m_over_limit) {
        state.chunks.emplace_back(data.begin(), data.end());
        state.buffered += data.size();
    }
    if (fin) state.fin = true;
    service_read(stream, state);
    update_held();
}

void QuicConnection::read_exact(std::int64_t stream, std::size_t count, ReadDone done) {
    auto it = m_recv.find(stream);
    if (it == m_recv.end() || it->second.want) {
        post([done = std::move(done)] {
            done(fail(ErrorKind::InvalidInput, "stream is not readable now"));
        });
        return;
    }
    if (count > m_core->options().max_connection_buffer) {
        post([done = std::move(done)] {
            done(fail(ErrorKind::InvalidInput, "read larger than the connection's buffer limit"));
        });
        return;
    }
    auto& state = it->second;
    state.want = count;
    state.out.clear();
    state.done = std::move(done);
    service_read(stream, state);
    update_held();
    flush();
}

void QuicConnection::service_read(std::int64_t id, RecvState& state) {
    if (!state.want) return;
    std::size_t consumed = 0;
    // Room grows with what has arrived, never ahead of it to the size a peer announced.
    std::size_t wanted = std::min(*state.want - state.out.size(), state.buffered);
    if (state.out.size() + wanted > state.out.capacity())
        state.out.reserve(
            std::min(*state.want, std::max(state.out.size() + wanted, 2 * state.out.capacity())));
    while (state.out.size() < *state.want && !state.chunks.empty()) {
        auto& front = state.chunks.front();
        std::size_t n = std::min(front.size() - state.head, *state.want - state.out.size());
        auto first = front.begin() + static_cast<std::ptrdiff_t>(state.head);
        state.out.insert(state.out.end(), first, first + static_cast<std::ptrdiff_t>(n));
        state.head += n;
        consumed += n;
        if (state.head == front.size()) {
            state.chunks.pop_front();
            state.head = 0;
        }
    }
    state.buffered -= consumed;
    if (consumed > 0 && !m_closed) {
        ngtcp2_conn_extend_max_stream_offset(m_conn, id, consumed);
        ngtcp2_conn_extend_max_offset(m_conn, consumed);
    }
    if (state.out.size() == *state.want) {
        on_read_completed(*state.want);
        state.want.reset();
        post([done = std::move(state.done), out = std::move(state.out)]() mutable {
            done(std::move(out));
        });
        state.done = nullptr;
        state.out = {};
        return;
    }
    if (state.fin || m_closed) {
        Error error = state.reset ? Error{ErrorKind::ConnectionClosed, "stream reset by peer"}
                      : state.fin ? Error{ErrorKind::EndOfStream, "end of stream"}
                                  : *m_close_error;
        state.want.reset();
        post([done = std::move(state.done), error] { done(std::unexpected(error)); });
        state.done = nullptr;
        state.out = {};
    }
}

void QuicConnection::update_held() {
    if (m_closed) return;
    std::size_t held = 0;
    std::size_t partial = 0;  // bytes in reads started but not finished
    bool reading = false;
    for (auto const& [id, state] : m_recv) {
        held += state.buffered + state.chunks.size() * chunk_overhead + state.out.capacity();
        if (state.want && !state.out.empty()) {
            reading = true;
            partial += state.out.size();
        }
    }
    m_core->add_held(held, m_held);
    m_held = held;
    if (held > m_core->options().max_connection_buffer) m_over_limit = true;
    if (!reading) {
        m_incomplete_since.reset();
        return;
    }
    if (partial != m_partial_bytes) m_last_progress = Clock::now();
    m_partial_bytes = partial;
    if (!m_incomplete_since) {
        m_incomplete_since = m_last_progress;
        watch_incomplete();
    }
}

void QuicConnection::on_read_completed(std::size_t count) {
    if (count > 0) m_progressed = true;
}

// Both checks only close connections others opened to us: a dialer chose its peer.
void QuicConnection::watch_first_read() {
    auto timeout = m_core->options().first_read_timeout;
    if (timeout.count() <= 0) return;
    std::weak_ptr<QuicConnection> weak = weak_from_this();
    m_loop.schedule(Clock::now() + timeout, [weak] {
        auto self = weak.lock();
        if (!self || self->m_closed || self->m_progressed) return;
        self->abort(stalled_code, "peer sent nothing in time");
        self->flush();
    });
}

// A slow sender is fine as long as its bytes keep coming; one that stops in the middle
// of what the application is reading is not.
void QuicConnection::watch_incomplete() {
    auto timeout = m_core->options().incomplete_read_timeout;
    if (m_is_client || timeout.count() <= 0) return;
    std::weak_ptr<QuicConnection> weak = weak_from_this();
    m_loop.schedule(m_last_progress + timeout, [weak, timeout] {
        auto self = weak.lock();
        if (!self || self->m_closed || !self->m_incomplete_since) return;
        if (Clock::now() - self->m_last_progress < timeout) {
            self->watch_incomplete();
            return;
        }
        self->abort(stalled_code, "peer stopped in the middle of a read");
        self->flush();
    });
}

void QuicConnection::release_recv(std::int64_t stream) {
    auto it = m_recv.find(stream);
    if (it == m_recv.end()) return;
    std::size_t unread = it->second.buffered;
    m_recv.erase(it);
    std::erase(m_incoming, stream);
    update_held();
    if (m_closed) return;
    ngtcp2_conn_extend_max_offset(m_conn, unread);
    ngtcp2_conn_shutdown_stream_read(m_conn, stream, 0);
    flush();
}

void QuicConnection::flush() {
    if (m_closed) return;
    m_started = true;
    auto self = shared_from_this();
    std::uint8_t buf[max_packet];
    send_stream_packets(buf, sizeof buf);
    if (!m_closed) arm_timer();
}

void QuicConnection::send_stream_packets(std::uint8_t* buf, std::size_t size) {
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info info{};
    std::vector<std::int64_t> blocked;
    ngtcp2_vec iov[max_iov];
    for (;;) {
        SendState* state = nullptr;
        std::int64_t stream = -1;
        for (auto& [id, candidate] : m_send) {
            bool has_work =
                candidate.sent < candidate.end ||
                (candidate.fin_requested && candidate.pending.empty() && !candidate.fin_sent);
            if (has_work && std::find(blocked.begin(), blocked.end(), id) == blocked.end()) {
                state = &candidate;
                stream = id;
                break;
            }
        }
        std::size_t iov_count = 0;
        std::uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
        if (state) {
            std::uint64_t offset = state->base;
            bool truncated = false;
            for (auto& chunk : state->chunks) {
                std::uint64_t chunk_end = offset + chunk.size();
                if (chunk_end > state->sent) {
                    if (iov_count == max_iov) {
                        truncated = true;
                        break;
                    }
                    std::size_t skip = state->sent > offset ? state->sent - offset : 0;
                    iov[iov_count++] = {chunk.data() + skip, chunk.size() - skip};
                }
                offset = chunk_end;
            }
            if (state->fin_requested && state->pending.empty() && !truncated)
                flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
        }
        ngtcp2_ssize accepted = -1;
        auto n = ngtcp2_conn_writev_stream(m_conn, &ps.path, &info, buf, size, &accepted, flags,
                                           stream, iov, iov_count, monotonic_ns());
        if (state && accepted >= 0) {
            state->sent += static_cast<std::uint64_t>(accepted);
            if ((flags & NGTCP2_WRITE_STREAM_FLAG_FIN) && state->sent == state->end)
                state->fin_sent = true;
        }
        if (n < 0) {
            if (n == NGTCP2_ERR_WRITE_MORE) continue;
            if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED || n == NGTCP2_ERR_STREAM_SHUT_WR ||
                n == NGTCP2_ERR_STREAM_NOT_FOUND) {
                blocked.push_back(stream);
                continue;
            }
            handle_error(static_cast<int>(n));
            return;
        }
        if (n == 0) return;
        m_core->send(m_socket.fd, ps.path.remote.addr, ps.path.remote.addrlen,
                     {buf, static_cast<std::size_t>(n)});
    }
}

void QuicConnection::arm_timer() {
    auto expiry = ngtcp2_conn_get_expiry(m_conn);
    if (m_timer) {
        m_loop.cancel(*m_timer);
        m_timer.reset();
    }
    if (expiry == UINT64_MAX) return;
    Clock::time_point when{std::chrono::nanoseconds(expiry)};
    std::weak_ptr<QuicConnection> weak = weak_from_this();
    m_timer = m_loop.schedule(when, [weak] {
        if (auto self = weak.lock()) self->on_timer();
    });
}

void QuicConnection::on_timer() {
    m_timer.reset();
    if (m_closed) return;
    int rv = ngtcp2_conn_handle_expiry(m_conn, monotonic_ns());
    if (rv != 0) {
        handle_error(rv);
        return;
    }
    flush();
}

}  // namespace p2p
