#include "media/network_transport.hpp"

#include <algorithm>
#include <chrono>

#include "media/media_protocol.hpp"

namespace chat::media {

namespace {

// A frame plus the stream and connection flow-control windows of one peer.
constexpr std::size_t media_connection_buffer = std::size_t{16} << 20;
constexpr std::size_t media_endpoint_buffer = std::size_t{64} << 20;

}  // namespace

p2p::Result<std::unique_ptr<NetworkTransport>> NetworkTransport::start(
    p2p::EndpointOptions options) {
    auto runtime = p2p::Runtime::create();
    if (!runtime) return std::unexpected(runtime.error());
    auto [incoming_tx, incoming_rx] = p2p::bounded_channel<MediaFrame>(frame_queue_capacity);
    // Anyone who can reach the port could otherwise take connection slots and buffer
    // memory; the call's participants are known from their tickets.
    auto participants = std::make_shared<Participants>();
    // Frames are at most 2 MiB, so far less than the library's defaults (sized for
    // large sync messages) is needed per peer.
    options.max_connection_buffer =
        std::min(options.max_connection_buffer, media_connection_buffer);
    options.max_endpoint_buffer = std::min(options.max_endpoint_buffer, media_endpoint_buffer);
    auto also = std::move(options.accept_peer);
    options.accept_peer = [participants, also](p2p::PublicKey const& key) {
        return participants->contains(key) && (!also || also(key));
    };
    auto arrival = std::make_shared<ArrivalNotice>();
    auto endpoint = p2p::Endpoint::bind(*runtime, std::move(options));
    if (!endpoint) return std::unexpected(endpoint.error());
    auto router = p2p::Router::builder(*endpoint)
                      .accept(media_alpn, std::make_shared<MediaProtocol>(std::move(incoming_tx),
                                                                          nullptr, arrival))
                      .spawn();
    std::string ticket = endpoint->addr().to_json();
    return std::unique_ptr<NetworkTransport>(new NetworkTransport(
        std::move(*runtime), std::move(*endpoint), std::move(router), std::move(incoming_rx),
        std::move(ticket), std::move(participants), std::move(arrival)));
}

NetworkTransport::NetworkTransport(std::shared_ptr<p2p::Runtime> runtime, p2p::Endpoint endpoint,
                                   p2p::Router router, p2p::Receiver<MediaFrame> incoming,
                                   std::string ticket, std::shared_ptr<Participants> participants,
                                   std::shared_ptr<ArrivalNotice> arrival)
    : m_runtime(std::move(runtime)),
      m_ticket(std::move(ticket)),
      m_participants(std::move(participants)),
      m_arrival(std::move(arrival)),
      m_endpoint(std::move(endpoint)),
      m_router(std::move(router)),
      m_incoming(std::move(incoming)) {}

NetworkTransport::~NetworkTransport() {
    // Closing the peer queues lets each outgoing task finish its stream; closing the
    // endpoint then tells every peer we are gone instead of leaving them to time out.
    m_connections.clear();
    m_router.reset();
    m_incoming.close();
    if (m_endpoint) m_endpoint->close().wait_for(std::chrono::seconds(1));
}

bool NetworkTransport::connect(std::string const& ticket) {
    if (ticket == m_ticket) return false;
    if (m_connections.contains(ticket)) return true;
    auto addr = p2p::EndpointAddr::from_json(ticket);
    if (!addr) return false;
    m_participants->add(addr->id);
    auto [tx, rx] = p2p::bounded_channel<std::vector<std::uint8_t>>(frame_queue_capacity);
    spawn_outgoing_connection(*m_endpoint, std::move(*addr), std::move(rx));
    ++m_dials;
    m_connections.insert_or_assign(ticket, std::move(tx));
    return true;
}

bool NetworkTransport::Participants::contains(p2p::PublicKey const& key) {
    std::lock_guard lock(mutex);
    return keys.contains(key);
}

void NetworkTransport::Participants::add(p2p::PublicKey const& key) {
    std::lock_guard lock(mutex);
    keys.insert(key);
}

bool NetworkTransport::send_frame(MediaFrame frame) {
    auto bytes = encode_frame(frame);
    if (!bytes) return false;
    bool accepted = false;
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        auto error = it->second.try_send(*bytes);
        if (error == p2p::TrySendError::Closed) {
            it = m_connections.erase(it);
            continue;
        }
        accepted = accepted || !error;
        ++it;
    }
    return accepted;
}

std::vector<MediaFrame> NetworkTransport::drain_frames() {
    std::vector<MediaFrame> out;
    while (out.size() < drain_limit) {
        auto frame = m_incoming.try_recv();
        if (!frame) break;
        out.push_back(std::move(*frame));
    }
    return out;
}

}  // namespace chat::media
