#pragma once

// The device-to-device side of sharing: QUIC connections of our own protocol, one
// unidirectional stream each way, carrying length-prefixed messages. The first message each
// way is a small JSON greeting; every later one is a document sync message. Everything here
// runs on the p2p runtime's workers and talks to the UI thread only through bounded queues.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <p2p/channel.hpp>
#include <p2p/endpoint.hpp>
#include <set>
#include <string>
#include <vector>

namespace vemo_ui::share::detail {

inline constexpr char const* sync_alpn = "vemo-doc-sync/0";
// A whole 10,000-message workspace syncs in a few megabytes; anything near this is hostile.
inline constexpr std::uint32_t max_message_bytes = 16u << 20;
inline constexpr std::uint32_t max_greeting_bytes = 4096;
// Messages of one connection waiting for the UI thread; reading pauses beyond this, so a
// flooding peer is held back by flow control instead of growing our memory.
inline constexpr std::size_t max_pending_per_link = 16;
inline constexpr std::size_t outgoing_capacity = 128;

struct Greeting {
    std::string document;               // the document id the dialer wants to sync
    std::optional<std::string> secret;  // hex invite secret of a newcomer
};

std::vector<std::uint8_t> encode_greeting(Greeting const& greeting);
std::optional<Greeting> decode_greeting(std::span<std::uint8_t const> bytes);
std::vector<std::uint8_t> length_prefixed(std::span<std::uint8_t const> body);

// Who may connect to us: the devices of the document, and newcomers with an unused invite.
// Read by the workers, updated by the UI thread.
class Admission {
  public:
    struct Decision {
        bool admitted = false;
        std::optional<std::string> used_invite;  // digest of the secret that was spent
        std::string reason;
    };

    void set_document(std::string id);
    void set_members(std::set<p2p::PublicKey> members);
    // Digest -> expiry (Unix seconds) of every invite that is still unused.
    void set_invites(std::map<std::string, std::int64_t> invites);
    bool is_member(p2p::PublicKey const& key) const;
    // The handshake's question: members, and anyone while an invite is open (the greeting
    // then has to carry it).
    bool may_connect(p2p::PublicKey const& key) const;
    // Spends the invite when it lets the peer in, so that it works once.
    Decision admit(p2p::PublicKey const& key, Greeting const& greeting, std::int64_t now);

  private:
    mutable std::mutex m_mutex;
    std::string m_document;
    std::set<p2p::PublicKey> m_members;
    std::map<std::string, std::int64_t> m_invites;
};

struct LinkEvent {
    enum class Kind : std::uint8_t { Opened, Message, Closed, Refused };
    Kind kind = Kind::Closed;
    std::uint64_t link = 0;
    std::optional<p2p::PublicKey> peer;
    bool outgoing = false;
    std::optional<std::string> used_invite;
    std::optional<p2p::Sender<std::vector<std::uint8_t>>> out;  // Opened: where to send
    std::vector<std::uint8_t> message;
    std::string reason;
};

class LinkTask;

// The links of one endpoint. The UI thread dials through it; the router hands it accepted
// connections. Events for the UI thread go to one bounded queue.
class LinkHub : public p2p::ProtocolHandler, public std::enable_shared_from_this<LinkHub> {
  public:
    LinkHub(std::shared_ptr<Admission> admission, p2p::Sender<LinkEvent> events);

    void set_endpoint(p2p::Endpoint endpoint);
    std::uint64_t dial(p2p::EndpointAddr const& addr, Greeting greeting);
    // The UI thread took one message of `link`; a paused reader may go on.
    void message_taken(std::uint64_t link);

    void accept(p2p::Connection connection) override;
    std::string debug() const override { return "document sync"; }

  private:
    friend class LinkTask;
    std::shared_ptr<LinkTask> make_task(p2p::Connection connection, bool outgoing);
    void forget(std::uint64_t link);
    bool post(LinkEvent event);

    std::shared_ptr<Admission> m_admission;
    std::optional<p2p::Endpoint> m_endpoint;
    std::mutex m_mutex;
    p2p::Sender<LinkEvent> m_events;
    std::map<std::uint64_t, std::weak_ptr<LinkTask>> m_tasks;
    std::atomic<std::uint64_t> m_next_link{1};
};

}  // namespace vemo_ui::share::detail
