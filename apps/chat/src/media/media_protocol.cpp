#include "media/media_protocol.hpp"

#include <memory>
#include <optional>

#include "media/call_transport.hpp"

namespace chat::media {

namespace {

class ReceiveLoop : public std::enable_shared_from_this<ReceiveLoop> {
  public:
    ReceiveLoop(p2p::Connection connection, p2p::Sender<MediaFrame> incoming,
                std::function<void(std::string)> on_error, std::shared_ptr<ArrivalNotice> arrival)
        : m_connection(std::move(connection)),
          m_remote(m_connection.remote_id().to_text()),
          m_incoming(std::move(incoming)),
          m_on_error(std::move(on_error)),
          m_arrival(std::move(arrival)) {}

    void start() {
        m_connection.accept_uni().then([self = shared_from_this()](auto stream) {
            if (!stream) return self->end_with(stream.error().message);
            self->m_stream.emplace(std::move(*stream));
            self->read_next();
        });
    }

  private:
    void read_next() {
        m_stream->read_exact(m_reader.next_read()).then([self = shared_from_this()](auto bytes) {
            if (!bytes) return;  // end of stream or a read error: the loop just ends
            auto taken = self->m_reader.take(*bytes);
            if (!taken) return self->end_with(taken.error());
            if (auto& frame = *taken) {
                frame->remote_endpoint = self->m_remote;
                auto refused = self->m_incoming.try_send(std::move(*frame));
                if (refused == p2p::TrySendError::Closed) return;
                if (!refused && self->m_arrival) (*self->m_arrival)();
            }
            self->read_next();
        });
    }

    void end_with(std::string message) {
        if (m_on_error) m_on_error(std::move(message));
    }

    p2p::Connection m_connection;
    std::string m_remote;
    std::optional<p2p::RecvStream> m_stream;
    FrameReader m_reader;
    p2p::Sender<MediaFrame> m_incoming;
    std::function<void(std::string)> m_on_error;
    std::shared_ptr<ArrivalNotice> m_arrival;
};

class OutgoingConnection : public std::enable_shared_from_this<OutgoingConnection> {
  public:
    OutgoingConnection(p2p::Receiver<std::vector<std::uint8_t>> queue, p2p::Executor executor)
        : m_queue(std::move(queue)), m_executor(std::move(executor)) {}

    void start(p2p::Endpoint endpoint, p2p::EndpointAddr const& addr) {
        endpoint.connect(addr, media_alpn).then([self = shared_from_this()](auto connection) {
            if (!connection) return;
            self->m_connection.emplace(std::move(*connection));
            // A dead connection must close the queue at once, so that the next send
            // notices and a later connect dials again.
            std::weak_ptr<OutgoingConnection> weak = self;
            self->m_connection->closed().then([weak](auto) {
                if (auto task = weak.lock()) task->m_queue.close();
            });
            self->m_connection->open_uni().then([self](auto stream) {
                if (!stream) return;
                self->m_stream.emplace(std::move(*stream));
                self->next();
            });
        });
    }

  private:
    void next() {
        m_queue.recv_async(m_executor, [self = shared_from_this()](auto bytes) {
            if (!bytes) {
                self->m_stream->finish();
                return;
            }
            auto prefix = length_prefix(static_cast<std::uint32_t>(bytes->size()));
            self->m_stream->write_all({prefix.begin(), prefix.end()});
            self->m_stream->write_all(std::move(*bytes)).then([self](auto written) {
                if (written) self->next();
            });
        });
    }

    p2p::Receiver<std::vector<std::uint8_t>> m_queue;
    p2p::Executor m_executor;
    std::optional<p2p::Connection> m_connection;
    std::optional<p2p::SendStream> m_stream;
};

}  // namespace

void MediaProtocol::accept(p2p::Connection connection) {
    std::make_shared<ReceiveLoop>(std::move(connection), m_incoming, m_on_error, m_arrival)
        ->start();
}

void spawn_outgoing_connection(p2p::Endpoint endpoint, p2p::EndpointAddr addr,
                               p2p::Receiver<std::vector<std::uint8_t>> queue) {
    auto executor = endpoint.executor();
    auto task = std::make_shared<OutgoingConnection>(std::move(queue), std::move(executor));
    task->start(std::move(endpoint), addr);
}

}  // namespace chat::media
