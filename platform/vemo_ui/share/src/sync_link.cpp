#include "sync_link.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

#include "vemo_ui/share/invite.hpp"

namespace vemo_ui::share::detail {

namespace {

std::int64_t unix_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::uint32_t read_u32(std::span<std::uint8_t const> b) {
    return std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 | b[3];
}

// Connection close codes, for the peer's logs.
constexpr std::uint64_t close_done = 0;
constexpr std::uint64_t close_refused = 1;
constexpr std::uint64_t close_protocol = 2;

}  // namespace

std::vector<std::uint8_t> length_prefixed(std::span<std::uint8_t const> body) {
    auto n = std::uint32_t(body.size());
    std::vector<std::uint8_t> out(4 + body.size());
    out[0] = std::uint8_t(n >> 24);
    out[1] = std::uint8_t(n >> 16);
    out[2] = std::uint8_t(n >> 8);
    out[3] = std::uint8_t(n);
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

std::vector<std::uint8_t> encode_greeting(Greeting const& greeting) {
    nlohmann::json j = {{"doc", greeting.document}};
    if (greeting.secret) j["secret"] = *greeting.secret;
    auto text = j.dump();
    return {text.begin(), text.end()};
}

std::optional<Greeting> decode_greeting(std::span<std::uint8_t const> bytes) {
    auto j = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    auto doc = j.find("doc");
    if (doc == j.end() || !doc->is_string()) return std::nullopt;
    Greeting g{doc->get<std::string>(), std::nullopt};
    if (auto s = j.find("secret"); s != j.end()) {
        if (!s->is_string()) return std::nullopt;
        g.secret = s->get<std::string>();
    }
    return g;
}

void Admission::set_document(std::string id) {
    std::lock_guard lock(m_mutex);
    m_document = std::move(id);
}

void Admission::set_members(std::set<p2p::PublicKey> members) {
    std::lock_guard lock(m_mutex);
    m_members = std::move(members);
}

void Admission::set_invites(std::map<std::string, std::int64_t> invites) {
    std::lock_guard lock(m_mutex);
    m_invites = std::move(invites);
}

bool Admission::is_member(p2p::PublicKey const& key) const {
    std::lock_guard lock(m_mutex);
    return m_members.contains(key);
}

bool Admission::may_connect(p2p::PublicKey const& key) const {
    std::lock_guard lock(m_mutex);
    return m_members.contains(key) || !m_invites.empty();
}

Admission::Decision Admission::admit(p2p::PublicKey const& key, Greeting const& greeting,
                                     std::int64_t now) {
    std::lock_guard lock(m_mutex);
    if (m_document.empty() || greeting.document != m_document)
        return {false, std::nullopt, "asked for another document"};
    if (m_members.contains(key)) return {true, std::nullopt, {}};
    if (!greeting.secret) return {false, std::nullopt, "unknown device without an invite"};
    auto secret = secret_from_hex(*greeting.secret);
    if (!secret) return {false, std::nullopt, "malformed invite secret"};
    auto digest = secret_digest(*secret);
    auto it = m_invites.find(digest);
    if (it == m_invites.end()) return {false, std::nullopt, "invite unknown or already used"};
    if (it->second < now) return {false, std::nullopt, "invite expired"};
    m_invites.erase(it);
    m_members.insert(key);
    return {true, digest, std::string()};
}

class LinkTask : public std::enable_shared_from_this<LinkTask> {
  public:
    LinkTask(std::weak_ptr<LinkHub> hub, std::uint64_t id, p2p::Connection connection,
             bool outgoing, p2p::Executor executor)
        : m_hub(std::move(hub)),
          m_id(id),
          m_connection(std::move(connection)),
          m_outgoing(outgoing),
          m_executor(std::move(executor)) {}

    void run_dialer(Greeting greeting) {
        watch_close();
        m_connection.open_uni().then([self = shared_from_this(), greeting](auto stream) {
            if (!stream) return self->fail("could not open a stream: " + stream.error().message);
            self->m_send.emplace(std::move(*stream));
            self->m_send->write_all(length_prefixed(encode_greeting(greeting)));
            self->m_connection.accept_uni().then([self](auto recv) {
                if (!recv) return self->fail("the device did not answer: " + recv.error().message);
                self->m_recv.emplace(std::move(*recv));
                self->read_frame(
                    max_greeting_bytes, [self](p2p::Result<std::vector<std::uint8_t>> body) {
                        if (!body)
                            return self->fail("the device refused us: " + body.error().message);
                        auto answer = decode_greeting(*body);
                        if (!answer)
                            return self->fail("malformed answer to our greeting", close_protocol);
                        self->opened(std::nullopt);
                    });
            });
        });
    }

    void run_acceptor() {
        watch_close();
        m_connection.accept_uni().then([self = shared_from_this()](auto recv) {
            if (!recv) return self->fail("no stream: " + recv.error().message);
            self->m_recv.emplace(std::move(*recv));
            self->read_frame(max_greeting_bytes, [self](
                                                     p2p::Result<std::vector<std::uint8_t>> body) {
                if (!body) return self->fail("no greeting: " + body.error().message);
                auto greeting = decode_greeting(*body);
                if (!greeting) return self->refuse("malformed greeting");
                auto hub = self->m_hub.lock();
                if (!hub) return self->fail("shutting down");
                auto decision =
                    hub->m_admission->admit(self->m_connection.remote_id(), *greeting, unix_now());
                if (!decision.admitted) return self->refuse(decision.reason);
                self->m_connection.open_uni().then([self, decision,
                                                    doc = greeting->document](auto stream) {
                    if (!stream)
                        return self->fail("could not open a stream: " + stream.error().message);
                    self->m_send.emplace(std::move(*stream));
                    self->m_send->write_all(length_prefixed(encode_greeting({doc, std::nullopt})));
                    self->opened(decision.used_invite);
                });
            });
        });
    }

    void message_taken() {
        std::lock_guard lock(m_mutex);
        if (m_pending > 0) --m_pending;
        if (m_paused && m_pending < max_pending_per_link) {
            m_paused = false;
            m_executor([self = shared_from_this()] { self->read_loop(); });
        }
    }

  private:
    void watch_close() {
        std::weak_ptr<LinkTask> weak = shared_from_this();
        m_connection.closed().then([weak](auto) {
            if (auto self = weak.lock()) self->fail("connection closed");
        });
    }

    void read_frame(std::uint32_t cap,
                    std::function<void(p2p::Result<std::vector<std::uint8_t>>)> done) {
        m_recv->read_exact(4).then([self = shared_from_this(), cap, done](auto prefix) {
            if (!prefix) return done(std::unexpected(prefix.error()));
            auto length = read_u32(*prefix);
            if (length == 0 || length > cap)
                return done(p2p::fail(p2p::ErrorKind::InvalidInput,
                                      "a message of " + std::to_string(length) +
                                          " bytes (at most " + std::to_string(cap) +
                                          " are allowed)"));
            self->m_recv->read_exact(length).then(done);
        });
    }

    void opened(std::optional<std::string> used_invite) {
        auto [tx, rx] = p2p::bounded_channel<std::vector<std::uint8_t>>(outgoing_capacity);
        m_out.emplace(std::move(rx));
        LinkEvent event{LinkEvent::Kind::Opened,
                        m_id,
                        m_connection.remote_id(),
                        m_outgoing,
                        std::move(used_invite),
                        std::move(tx),
                        {},
                        {}};
        if (!post(std::move(event))) return fail("too many events queued");
        write_loop();
        read_loop();
    }

    void read_loop() {
        if (m_ended) return;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending >= max_pending_per_link) {
                m_paused = true;
                return;
            }
        }
        read_frame(max_message_bytes,
                   [self = shared_from_this()](p2p::Result<std::vector<std::uint8_t>> body) {
                       if (!body) {
                           bool hostile = body.error().kind == p2p::ErrorKind::InvalidInput;
                           return self->fail(
                               hostile ? body.error().message : "closed: " + body.error().message,
                               hostile ? close_protocol : close_done);
                       }
                       {
                           std::lock_guard lock(self->m_mutex);
                           ++self->m_pending;
                       }
                       LinkEvent event{LinkEvent::Kind::Message,
                                       self->m_id,
                                       std::nullopt,
                                       self->m_outgoing,
                                       std::nullopt,
                                       std::nullopt,
                                       std::move(*body),
                                       {}};
                       if (!self->post(std::move(event)))
                           return self->fail("too many events queued");
                       self->read_loop();
                   });
    }

    void write_loop() {
        m_out->recv_async(m_executor, [self = shared_from_this()](
                                          std::optional<std::vector<std::uint8_t>> bytes) {
            if (!bytes) {
                // The UI thread let the link go.
                self->m_send->finish();
                return self->fail("closed here");
            }
            self->m_send->write_all(length_prefixed(*bytes)).then([self](auto written) {
                if (!written) return self->fail("sending failed: " + written.error().message);
                self->write_loop();
            });
        });
    }

    void refuse(std::string reason) {
        if (m_ended.exchange(true)) return;
        post(LinkEvent{LinkEvent::Kind::Refused,
                       m_id,
                       m_connection.remote_id(),
                       m_outgoing,
                       std::nullopt,
                       std::nullopt,
                       {},
                       reason});
        m_connection.close(close_refused, "refused");
        end();
    }

    void fail(std::string reason, std::uint64_t code = close_done) {
        if (m_ended.exchange(true)) return;
        post(LinkEvent{LinkEvent::Kind::Closed,
                       m_id,
                       m_connection.remote_id(),
                       m_outgoing,
                       std::nullopt,
                       std::nullopt,
                       {},
                       reason});
        m_connection.close(code, reason.substr(0, 100));
        end();
    }

    void end() {
        if (m_out) m_out->close();
        if (auto hub = m_hub.lock()) hub->forget(m_id);
    }

    bool post(LinkEvent event) {
        auto hub = m_hub.lock();
        return hub && hub->post(std::move(event));
    }

    std::weak_ptr<LinkHub> m_hub;
    std::uint64_t m_id;
    p2p::Connection m_connection;
    bool m_outgoing;
    p2p::Executor m_executor;
    std::optional<p2p::SendStream> m_send;
    std::optional<p2p::RecvStream> m_recv;
    std::optional<p2p::Receiver<std::vector<std::uint8_t>>> m_out;
    std::atomic<bool> m_ended{false};
    std::mutex m_mutex;
    std::size_t m_pending = 0;
    bool m_paused = false;
};

LinkHub::LinkHub(std::shared_ptr<Admission> admission, p2p::Sender<LinkEvent> events)
    : m_admission(std::move(admission)), m_events(std::move(events)) {}

void LinkHub::set_endpoint(p2p::Endpoint endpoint) {
    m_endpoint.emplace(std::move(endpoint));
}

std::shared_ptr<LinkTask> LinkHub::make_task(p2p::Connection connection, bool outgoing) {
    auto id = m_next_link++;
    auto task = std::make_shared<LinkTask>(weak_from_this(), id, std::move(connection), outgoing,
                                           m_endpoint->executor());
    std::lock_guard lock(m_mutex);
    m_tasks[id] = task;
    return task;
}

std::uint64_t LinkHub::dial(p2p::EndpointAddr const& addr, Greeting greeting) {
    // The link id is known before the connection exists, so that a failed dial can be
    // reported against it.
    auto id = m_next_link++;
    auto peer = addr.id;
    m_endpoint->connect(addr, sync_alpn)
        .then([weak = weak_from_this(), id, peer, greeting](auto connection) {
            auto hub = weak.lock();
            if (!hub) return;
            if (!connection) {
                hub->post(LinkEvent{LinkEvent::Kind::Closed,
                                    id,
                                    peer,
                                    true,
                                    std::nullopt,
                                    std::nullopt,
                                    {},
                                    connection.error().message});
                return;
            }
            auto task = std::make_shared<LinkTask>(weak, id, std::move(*connection), true,
                                                   hub->m_endpoint->executor());
            {
                std::lock_guard lock(hub->m_mutex);
                hub->m_tasks[id] = task;
            }
            task->run_dialer(greeting);
        });
    return id;
}

void LinkHub::accept(p2p::Connection connection) {
    // The endpoint refused unknown keys during the handshake unless an invite is open; the
    // greeting decides the rest.
    make_task(std::move(connection), false)->run_acceptor();
}

void LinkHub::message_taken(std::uint64_t link) {
    std::shared_ptr<LinkTask> task;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_tasks.find(link);
        if (it != m_tasks.end()) task = it->second.lock();
    }
    if (task) task->message_taken();
}

void LinkHub::forget(std::uint64_t link) {
    std::lock_guard lock(m_mutex);
    m_tasks.erase(link);
}

bool LinkHub::post(LinkEvent event) {
    std::lock_guard lock(m_mutex);
    return !m_events.try_send(std::move(event)).has_value();
}

}  // namespace vemo_ui::share::detail
