#pragma once

// A connection to an automerge-repo sync server: a WebSocket (libsoup, on the GLib main
// context of the UI thread) carrying the repo protocol's CBOR messages. It only moves
// messages; the document and its sync state stay with the caller.

#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vemo_ui::share::detail {

// Larger server messages are refused; a first sync of a big workspace fits with room to spare.
inline constexpr std::size_t max_server_message = 16u << 20;
// Messages waiting for the UI thread; a server that floods past this is disconnected.
inline constexpr std::size_t max_server_backlog = 64;

// One message from the server, as far as we read it.
struct ServerMessage {
    std::string type;                // "peer", "error", "sync", "request", "doc-unavailable", ...
    std::string sender;              // "peer": the server's peer id
    std::string error;               // "error": its message
    std::string document;            // the document id a document message is about; empty if none
    std::vector<std::uint8_t> data;  // the sync message it carries
};

// Decodes one WebSocket message of the repo protocol; hostile bytes give an error.
std::expected<ServerMessage, std::string> read_server_message(std::span<std::uint8_t const> bytes);

class RepoClient {
  public:
    enum class State : std::uint8_t { Offline, Connecting, Connected };
    struct Incoming {
        std::string type;  // "sync", "request", "doc-unavailable", ...
        std::vector<std::uint8_t> data;
    };

    RepoClient(std::string url, std::string document_id, std::string peer_id,
               std::string storage_id);
    ~RepoClient();
    RepoClient(RepoClient const&) = delete;
    RepoClient& operator=(RepoClient const&) = delete;

    // Connects when offline and the retry time has come.
    void tick();
    State state() const { return m_state; }
    std::string const& url() const { return m_url; }
    std::string const& last_error() const { return m_error; }
    // True once after each handshake: the caller starts a fresh sync.
    bool take_connected();
    std::optional<Incoming> take();
    // A sync message for the document; "request" instead of "sync" while we have nothing.
    void send_sync(std::vector<std::uint8_t> const& message, bool request);
    void set_document(std::string document_id) { m_document = std::move(document_id); }
    std::uint64_t bytes_sent() const { return m_sent; }
    std::uint64_t bytes_received() const { return m_received; }

  private:
    struct Glib;
    void connect();
    void on_connected(void* connection);
    void on_message(std::vector<std::uint8_t> bytes);
    void fail(std::string reason);

    std::string m_url;
    std::string m_document;
    std::string m_peer_id;
    std::string m_storage_id;
    std::string m_server_peer;
    std::string m_error;
    State m_state = State::Offline;
    bool m_fresh = false;
    bool m_warned = false;
    std::deque<Incoming> m_incoming;
    std::chrono::steady_clock::time_point m_next_attempt{};
    std::chrono::milliseconds m_backoff{500};
    std::uint64_t m_sent = 0;
    std::uint64_t m_received = 0;
    Glib* m_glib = nullptr;
};

}  // namespace vemo_ui::share::detail
