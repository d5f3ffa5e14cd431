#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/media_frame.hpp"
#include "p2p/channel.hpp"
#include "p2p/endpoint.hpp"

namespace chat::media {

// Whom a receive loop tells that a frame went into the incoming queue; set from the UI
// thread, called from the network threads.
class ArrivalNotice {
  public:
    void set(std::function<void()> notify) {
        std::lock_guard lock(m_mutex);
        m_notify = std::move(notify);
    }
    void operator()() {
        std::lock_guard lock(m_mutex);
        if (m_notify) m_notify();
    }

  private:
    std::mutex m_mutex;
    std::function<void()> m_notify;
};

// Receives media from peers: one unidirectional stream per connection, carrying
// length-prefixed frames that go to the incoming frame queue. Full queue: the frame is
// dropped; closed queue: the loop ends.
class MediaProtocol final : public p2p::ProtocolHandler {
  public:
    // `on_error` hears why a receive loop ended with an error (for logs and tests).
    explicit MediaProtocol(p2p::Sender<MediaFrame> incoming,
                           std::function<void(std::string)> on_error = {},
                           std::shared_ptr<ArrivalNotice> arrival = {})
        : m_incoming(std::move(incoming)),
          m_on_error(std::move(on_error)),
          m_arrival(std::move(arrival)) {}

    void accept(p2p::Connection connection) override;
    std::string debug() const override { return "MediaProtocol"; }

  private:
    p2p::Sender<MediaFrame> m_incoming;
    std::function<void(std::string)> m_on_error;
    std::shared_ptr<ArrivalNotice> m_arrival;
};

// Dials `addr` and streams whatever arrives on `queue` until the queue closes or the
// connection fails; either way its end closes the queue for the sender.
void spawn_outgoing_connection(p2p::Endpoint endpoint, p2p::EndpointAddr addr,
                               p2p::Receiver<std::vector<std::uint8_t>> queue);

}  // namespace chat::media
