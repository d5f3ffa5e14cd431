#pragma once

#include <functional>
#include <string>
#include <vector>

#include "media/media_frame.hpp"
#include "p2p/channel.hpp"
#include "p2p/endpoint.hpp"

namespace chat::media {

// Receives media from peers: one unidirectional stream per connection, carrying
// length-prefixed frames that go to the incoming frame queue. Full queue: the frame is
// dropped; closed queue: the loop ends.
class MediaProtocol final : public p2p::ProtocolHandler {
  public:
    // `on_error` hears why a receive loop ended with an error (for logs and tests).
    explicit MediaProtocol(p2p::Sender<MediaFrame> incoming,
                           std::function<void(std::string)> on_error = {})
        : m_incoming(std::move(incoming)), m_on_error(std::move(on_error)) {}

    void accept(p2p::Connection connection) override;
    std::string debug() const override { return "MediaProtocol"; }

  private:
    p2p::Sender<MediaFrame> m_incoming;
    std::function<void(std::string)> m_on_error;
};

// Dials `addr` and streams whatever arrives on `queue` until the queue closes or the
// connection fails; either way its end closes the queue for the sender.
void spawn_outgoing_connection(p2p::Endpoint endpoint, p2p::EndpointAddr addr,
                               p2p::Receiver<std::vector<std::uint8_t>> queue);

}  // namespace chat::media
