#include "repo_client.hpp"

#include <libsoup/soup.h>

#include "cbor.hpp"
#include "share_log.hpp"

namespace vemo_ui::share::detail {

namespace {

constexpr std::chrono::milliseconds max_backoff{8000};

}  // namespace

std::expected<ServerMessage, std::string> read_server_message(std::span<std::uint8_t const> bytes) {
    auto message = cbor::decode(bytes);
    if (!message) return std::unexpected("not CBOR: " + message.error());
    auto text_at = [&](char const* key) -> std::string const* {
        auto const* v = message->find(key);
        return v ? v->text() : nullptr;
    };
    auto const* type = text_at("type");
    if (!type) return std::unexpected(std::string("not a repo message: no type"));
    ServerMessage out;
    out.type = *type;
    if (out.type == "peer") {
        auto const* sender = text_at("senderId");
        if (!sender) return std::unexpected(std::string("the server's greeting names no peer"));
        out.sender = *sender;
        return out;
    }
    if (out.type == "error") {
        auto const* text = text_at("message");
        out.error = text ? *text : std::string("no reason");
        return out;
    }
    if (auto const* doc = text_at("documentId")) out.document = *doc;
    if (auto const* data = message->find("data"); data && data->bytes()) out.data = *data->bytes();
    return out;
}

// The GLib objects; callbacks find the client through `owner`, which is cleared when the
// client goes so that a late callback does nothing.
struct RepoClient::Glib {
    RepoClient* owner = nullptr;
    SoupSession* session = nullptr;
    GCancellable* cancel = nullptr;
    SoupWebsocketConnection* ws = nullptr;

    void drop_socket() {
        if (!ws) return;
        g_signal_handlers_disconnect_matched(ws, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
        if (soup_websocket_connection_get_state(ws) == SOUP_WEBSOCKET_STATE_OPEN)
            soup_websocket_connection_close(ws, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
        g_object_unref(ws);
        ws = nullptr;
    }
};

RepoClient::RepoClient(std::string url, std::string document_id, std::string peer_id,
                       std::string storage_id)
    : m_url(std::move(url)),
      m_document(std::move(document_id)),
      m_peer_id(std::move(peer_id)),
      m_storage_id(std::move(storage_id)),
      m_glib(new Glib) {
    m_glib->owner = this;
    m_glib->session = soup_session_new();
}

RepoClient::~RepoClient() {
    m_glib->owner = nullptr;
    if (m_glib->cancel) g_cancellable_cancel(m_glib->cancel);
    m_glib->drop_socket();
    g_object_unref(m_glib->session);
    // A cancelled connect still calls back once; the callback frees what is left.
    if (!m_glib->cancel) delete m_glib;
}

void RepoClient::tick() {
    if (m_state != State::Offline) return;
    if (std::chrono::steady_clock::now() < m_next_attempt) return;
    connect();
}

void RepoClient::connect() {
    m_state = State::Connecting;
    SoupMessage* msg = soup_message_new("GET", m_url.c_str());
    if (!msg) return fail("not a usable server address: " + m_url);
    m_glib->cancel = g_cancellable_new();
    soup_session_websocket_connect_async(
        m_glib->session, msg, nullptr, nullptr, G_PRIORITY_DEFAULT, m_glib->cancel,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* glib = static_cast<Glib*>(data);
            GError* error = nullptr;
            auto* ws = soup_session_websocket_connect_finish(SOUP_SESSION(source), result, &error);
            g_clear_object(&glib->cancel);
            if (!glib->owner) {
                if (ws) g_object_unref(ws);
                if (error) g_error_free(error);
                delete glib;
                return;
            }
            if (!ws) {
                std::string reason = error ? error->message : "cannot connect";
                if (error) g_error_free(error);
                glib->owner->fail(reason);
                return;
            }
            glib->owner->on_connected(ws);
        },
        m_glib);
    g_object_unref(msg);
}

void RepoClient::on_connected(void* connection) {
    auto* ws = static_cast<SoupWebsocketConnection*>(connection);
    m_glib->ws = ws;
    soup_websocket_connection_set_max_incoming_payload_size(ws, max_server_message);
    soup_websocket_connection_set_keepalive_interval(ws, 15);
    g_signal_connect(
        ws, "message",
        G_CALLBACK(+[](SoupWebsocketConnection*, gint type, GBytes* message, gpointer data) {
            auto* glib = static_cast<Glib*>(data);
            if (!glib->owner || type != SOUP_WEBSOCKET_DATA_BINARY) return;
            gsize size = 0;
            auto const* p = static_cast<std::uint8_t const*>(g_bytes_get_data(message, &size));
            glib->owner->on_message(std::vector<std::uint8_t>(p, p + size));
        }),
        m_glib);
    g_signal_connect(
        ws, "closed", G_CALLBACK(+[](SoupWebsocketConnection* ws, gpointer data) {
            auto* glib = static_cast<Glib*>(data);
            if (!glib->owner) return;
            auto code = soup_websocket_connection_get_close_code(ws);
            glib->owner->fail("the server closed the connection (" + std::to_string(code) + ")");
        }),
        m_glib);
    cbor::Value join(cbor::Map{
        {"type", "join"},
        {"senderId", m_peer_id},
        {"peerMetadata", cbor::Map{{"storageId", m_storage_id}, {"isEphemeral", false}}},
        {"supportedProtocolVersions", cbor::Array{cbor::Value("1")}},
    });
    auto bytes = cbor::encode(join);
    m_sent += bytes.size();
    soup_websocket_connection_send_binary(ws, bytes.data(), bytes.size());
}

void RepoClient::on_message(std::vector<std::uint8_t> bytes) {
    m_received += bytes.size();
    auto message = read_server_message(bytes);
    if (!message) return fail("the server sent something we cannot read: " + message.error());
    if (message->type == "peer") {
        m_server_peer = message->sender;
        m_state = State::Connected;
        m_fresh = true;
        m_backoff = std::chrono::milliseconds(500);
        m_error.clear();
        share_log().info("connected to sync server {} as {}", m_url, m_peer_id);
        return;
    }
    if (message->type == "error") return fail("the server refused us: " + message->error);
    if (m_state != State::Connected || message->document.empty() || message->document != m_document)
        return;
    Incoming in{std::move(message->type), std::move(message->data)};
    if (m_incoming.size() >= max_server_backlog)
        return fail("the server sends faster than we can apply");
    m_incoming.push_back(std::move(in));
}

bool RepoClient::take_connected() {
    return std::exchange(m_fresh, false);
}

std::optional<RepoClient::Incoming> RepoClient::take() {
    if (m_incoming.empty()) return std::nullopt;
    auto in = std::move(m_incoming.front());
    m_incoming.pop_front();
    return in;
}

void RepoClient::send_sync(std::vector<std::uint8_t> const& message, bool request) {
    if (m_state != State::Connected || !m_glib->ws) return;
    cbor::Value out(cbor::Map{
        {"type", request ? "request" : "sync"},
        {"senderId", m_peer_id},
        {"targetId", m_server_peer},
        {"documentId", m_document},
        {"data", cbor::Bytes(message)},
    });
    auto bytes = cbor::encode(out);
    m_sent += bytes.size();
    soup_websocket_connection_send_binary(m_glib->ws, bytes.data(), bytes.size());
}

void RepoClient::fail(std::string reason) {
    if (!m_warned || reason != m_error) share_log().warn("sync server {}: {}", m_url, reason);
    m_warned = true;
    m_error = std::move(reason);
    m_state = State::Offline;
    m_incoming.clear();
    m_glib->drop_socket();
    m_next_attempt = std::chrono::steady_clock::now() + m_backoff;
    m_backoff = std::min(m_backoff * 2, max_backoff);
}

}  // namespace vemo_ui::share::detail
