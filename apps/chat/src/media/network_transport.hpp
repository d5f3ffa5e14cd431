#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "media/call_transport.hpp"
#include "media/media_protocol.hpp"
#include "p2p/channel.hpp"
#include "p2p/endpoint.hpp"

namespace chat::media {

// Media over QUIC: one outgoing connection per peer ticket, fed through a bounded peer
// queue, and one receive loop per accepted connection feeding the incoming frame queue.
// The UI thread only ever touches the queues, without waiting. Only peers whose ticket
// was passed to `connect` (the call's participants) may connect to the endpoint.
class NetworkTransport final : public CallTransport {
  public:
    static p2p::Result<std::unique_ptr<NetworkTransport>> start(p2p::EndpointOptions options = {});
    ~NetworkTransport() override;

    bool is_networked() const override { return true; }
    std::string local_ticket() const override { return m_ticket; }
    bool connect(std::string const& ticket) override;
    void enable_kind(MediaKind kind) override { m_book.enable_kind(kind); }
    void disable_kind(MediaKind kind) override { m_book.disable_kind(kind); }
    void expect_peer(std::string user, bool flag) override {
        m_book.expect_peer(std::move(user), flag);
    }
    bool send_frame(MediaFrame frame) override;
    std::vector<MediaFrame> drain_frames() override;
    std::uint64_t dials() const override { return m_dials; }
    void on_arrival(std::function<void()> notify) override { m_arrival->set(std::move(notify)); }
    CallBookkeeping const& bookkeeping() const override { return m_book; }

    std::size_t connection_count() const { return m_connections.size(); }
    p2p::EndpointId endpoint_id() const { return m_endpoint->id(); }
    p2p::Future<p2p::EndpointStats> endpoint_stats() const { return m_endpoint->stats(); }

    // The keys of the participants' tickets; read by the endpoint's handshake check.
    struct Participants {
        std::mutex mutex;
        std::set<p2p::PublicKey> keys;
        bool contains(p2p::PublicKey const& key);
        void add(p2p::PublicKey const& key);
    };

  private:
    NetworkTransport(std::shared_ptr<p2p::Runtime> runtime, p2p::Endpoint endpoint,
                     p2p::Router router, p2p::Receiver<MediaFrame> incoming, std::string ticket,
                     std::shared_ptr<Participants> participants,
                     std::shared_ptr<ArrivalNotice> arrival);

    // Declared first so that it goes last: everything below runs on it.
    std::shared_ptr<p2p::Runtime> m_runtime;
    std::string m_ticket;
    std::shared_ptr<Participants> m_participants;
    std::uint64_t m_dials = 0;
    std::shared_ptr<ArrivalNotice> m_arrival;
    CallBookkeeping m_book;
    std::optional<p2p::Endpoint> m_endpoint;
    std::optional<p2p::Router> m_router;
    p2p::Receiver<MediaFrame> m_incoming;
    std::unordered_map<std::string, p2p::Sender<std::vector<std::uint8_t>>> m_connections;
};

}  // namespace chat::media
