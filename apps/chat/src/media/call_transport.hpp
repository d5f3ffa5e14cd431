#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/media_frame.hpp"
#include "p2p/endpoint.hpp"

namespace chat::media {

inline constexpr char media_alpn[] = "vemo-chat-media/0";
inline constexpr std::size_t frame_queue_capacity = 128;
inline constexpr std::size_t drain_limit = 64;
inline constexpr char simulated_ticket[] = "sim://local";

struct ExpectedPeer {
    std::string user;
    bool flag = false;
    bool operator==(ExpectedPeer const&) const = default;
};

// What a transport is told about the call. Neither sending nor receiving consults it.
class CallBookkeeping {
  public:
    void enable_kind(MediaKind kind) {
        if (std::find(m_kinds.begin(), m_kinds.end(), kind) == m_kinds.end())
            m_kinds.push_back(kind);
    }
    void disable_kind(MediaKind kind) { std::erase(m_kinds, kind); }
    void expect_peer(std::string user, bool flag) {
        ExpectedPeer peer{std::move(user), flag};
        if (std::find(m_peers.begin(), m_peers.end(), peer) == m_peers.end())
            m_peers.push_back(std::move(peer));
    }
    std::vector<MediaKind> const& enabled_kinds() const { return m_kinds; }
    std::vector<ExpectedPeer> const& expected_peers() const { return m_peers; }

  private:
    std::vector<MediaKind> m_kinds;
    std::vector<ExpectedPeer> m_peers;
};

// How the app sends and receives call media. Every call runs on the UI thread and none
// of them waits.
class CallTransport {
  public:
    virtual ~CallTransport() = default;

    virtual bool is_networked() const = 0;
    virtual std::string local_ticket() const = 0;
    virtual bool connect(std::string const& ticket) = 0;
    virtual void enable_kind(MediaKind kind) = 0;
    virtual void disable_kind(MediaKind kind) = 0;
    virtual void expect_peer(std::string user, bool flag) = 0;
    virtual bool send_frame(MediaFrame frame) = 0;
    virtual std::vector<MediaFrame> drain_frames() = 0;
    // How many outgoing connections `connect` has started so far. A dial that fails loses
    // what was queued for it (a peer that does not know us yet refuses us), and the next one
    // starts from an empty queue: a rise here means a peer needs a key frame.
    virtual std::uint64_t dials() const { return 0; }
    // Called, from any thread, whenever frames arrived for `drain_frames`; it must not wait.
    // Transports whose frames only appear when sent from the UI thread ignore it.
    virtual void on_arrival(std::function<void()> notify) { (void)notify; }

    virtual CallBookkeeping const& bookkeeping() const = 0;
};

// The network transport when a graphical session is present and the endpoint starts,
// the simulated one otherwise.
std::unique_ptr<CallTransport> create_transport();
// The same with explicit endpoint settings (tests and tools keep to loopback this way).
std::unique_ptr<CallTransport> create_transport(p2p::EndpointOptions options);

// The endpoint key (hex) a ticket names, for matching received frames against the
// participant whose ticket it is. Nothing for tickets that do not parse.
std::optional<std::string> ticket_endpoint_id(std::string_view ticket);

}  // namespace chat::media
