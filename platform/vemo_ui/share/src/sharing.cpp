#include "vemo_ui/share/sharing.hpp"

#include <glib.h>

#include <automerge/sync.hpp>
#include <chrono>
#include <map>
#include <set>

#include "devices.hpp"
#include "repo_client.hpp"
#include "share_files.hpp"
#include "share_log.hpp"
#include "sync_link.hpp"
#include "vemo_ui/persist.hpp"
#include "vemo_ui/share/invite.hpp"

namespace vemo_ui::share {

namespace {

using Clock = std::chrono::steady_clock;
using detail::LinkEvent;
using detail::share_log;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t invite_lifetime = 24 * 3600;
constexpr std::int64_t last_seen_step = 3600;
// Events taken per poll: a flood waits for later frames instead of stalling this one.
constexpr int events_per_poll = 64;
constexpr std::size_t event_queue_capacity = 4096;
constexpr std::chrono::milliseconds first_retry{500};
constexpr std::chrono::milliseconds max_retry{8000};
constexpr std::chrono::milliseconds dial_check_spacing{200};

std::int64_t unix_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::string short_key(std::string const& hex) {
    return hex.substr(0, 8);
}

}  // namespace

std::size_t Status::connected_devices() const {
    std::size_t n = 0;
    for (auto const& d : devices) n += d.connected;
    return n;
}

std::string Status::summary() const {
    std::string out;
    auto n = connected_devices();
    if (joining)
        out = "Joining…";
    else if (n > 0)
        out = "Synced with " + std::to_string(n) + (n == 1 ? " device" : " devices");
    else if (!devices.empty())
        out = "Connecting…";
    else
        out = "Offline";
    if (server_url) {
        if (server_state == "connected")
            out += " · server connected";
        else if (server_state == "connecting")
            out += " · server connecting";
        else
            out += " · server offline";
    }
    return out;
}

struct Sharing::Impl {
    struct Link {
        p2p::PublicKey peer;
        bool outgoing = false;
        p2p::Sender<Bytes> out;
        automerge::SyncState state;
        bool wants_message = true;
        Clock::time_point opened_at;
    };
    struct Peer {
        Clock::time_point next_dial{};
        std::chrono::milliseconds backoff = first_retry;
        std::optional<std::int64_t> last_sync;
        std::uint64_t bytes_sent = 0;
        std::uint64_t bytes_received = 0;
        std::vector<automerge::ChangeHash> saved_heads;
        bool warned = false;
    };

    persist::DocumentStore& store;
    Options options;
    detail::ShareFiles files;
    DocumentUrl url;
    std::string url_text;
    p2p::SecretKey key;
    std::string key_hex;
    std::shared_ptr<p2p::Runtime> runtime;
    std::optional<p2p::Endpoint> endpoint;
    std::optional<p2p::Router> router;
    std::shared_ptr<detail::Admission> admission = std::make_shared<detail::Admission>();
    std::shared_ptr<detail::LinkHub> hub;
    std::optional<p2p::Receiver<LinkEvent>> events;
    std::string ticket;

    std::map<std::uint64_t, Link> links;
    std::map<std::uint64_t, p2p::PublicKey> dialing;
    std::map<p2p::PublicKey, Peer> peers;
    std::set<p2p::PublicKey> refused_logged;
    // Newcomers let in by an invite whose own record has not arrived yet.
    std::set<p2p::PublicKey> invited;
    std::vector<detail::InviteRecord> invites;
    std::vector<automerge::ChangeHash> last_heads;
    std::map<std::string, detail::DeviceRecord> devices;
    std::map<std::string, Bytes> states_written;
    Clock::time_point next_dial_check{};
    bool heads_known = false;
    bool own_record_written = false;

    std::unique_ptr<detail::RepoClient> server;
    automerge::SyncState server_state;
    std::vector<automerge::ChangeHash> server_saved_heads;
    bool server_wants = false;
    bool server_warned = false;

    JoinState join = JoinState::None;
    std::optional<Invite> join_invite;
    std::string join_problem;

    Impl(persist::DocumentStore& s, Options o, p2p::SecretKey k)
        : store(s),
          options(std::move(o)),
          files(s.path()),
          key(k),
          key_hex(k.public_key().to_text()) {}

    automerge::AutoCommit& doc() { return store.document(); }

    // --- start -------------------------------------------------------------------------------

    std::expected<void, std::string> bind() {
        auto rt = p2p::Runtime::create();
        if (!rt) return std::unexpected("no network runtime: " + rt.error().message);
        runtime = *rt;
        auto [tx, rx] = p2p::bounded_channel<LinkEvent>(event_queue_capacity);
        events.emplace(std::move(rx));
        hub = std::make_shared<detail::LinkHub>(admission, std::move(tx));
        p2p::EndpointOptions eo;
        eo.secret_key = key;
        eo.loopback_only = options.loopback_only;
        eo.port = files.read_port().value_or(0);
        if (options.direct)
            eo.accept_peer = [admission = admission](p2p::PublicKey const& peer) {
                return admission->may_connect(peer);
            };
        else
            eo.accept_peer = [](p2p::PublicKey const&) { return false; };
        auto bound = p2p::Endpoint::bind(runtime, eo);
        if (!bound && eo.port != 0) {
            eo.port = 0;
            bound = p2p::Endpoint::bind(runtime, eo);
        }
        if (!bound)
            return std::unexpected("cannot open the sync endpoint: " + bound.error().message);
        endpoint.emplace(std::move(*bound));
        hub->set_endpoint(*endpoint);
        router.emplace(p2p::Router::builder(*endpoint).accept(detail::sync_alpn, hub).spawn());
        ticket = endpoint->addr().to_json();
        auto addr = endpoint->addr();
        if (!addr.addrs.empty()) files.write_port(addr.addrs.front().port);
        return {};
    }

    void load_url() {
        if (auto text = files.read_url()) {
            if (auto parsed = DocumentUrl::parse(*text)) {
                set_url(*parsed);
                return;
            }
            share_log().warn("{} holds no document URL; giving the document a new one",
                             files.url_path().string());
        }
        set_url(DocumentUrl::generate());
        if (auto written = files.write_url(url_text); !written)
            share_log().warn("{}", written.error());
    }

    void set_url(DocumentUrl u) {
        url = u;
        url_text = u.to_string();
        admission->set_document(url.document_id());
    }

    void load_invites() {
        invites = files.read_invites();
        publish_invites();
    }

    void publish_invites() {
        std::map<std::string, std::int64_t> open;
        auto now = unix_now();
        std::erase_if(invites, [&](auto const& i) { return i.expires < now - invite_lifetime; });
        for (auto const& i : invites)
            if (!i.used && i.expires >= now) open[i.digest] = i.expires;
        admission->set_invites(std::move(open));
    }

    // --- poll --------------------------------------------------------------------------------

    bool poll() {
        auto before = doc().get_heads();
        for (int i = 0; i < events_per_poll; ++i) {
            auto event = events->try_recv();
            if (!event) break;
            handle(std::move(*event));
        }
        auto heads = doc().get_heads();
        bool changed = heads != before;
        if (!heads_known || heads != last_heads) {
            heads_known = true;
            last_heads = heads;
            document_moved();
        }
        // Sync states move with nearly every message; one save per link and poll is plenty.
        for (auto& [id, link] : links) save_state(link);
        changed |= poll_server();
        check_join();
        keep_own_record();
        for (auto& [id, link] : links)
            if (link.wants_message) send_next(link);
        if (server_wants) send_to_server();
        if (options.direct) dial_members();
        return changed;
    }

    void document_moved() {
        devices = detail::read_devices(doc());
        std::set<p2p::PublicKey> members = invited;
        for (auto const& [hex, record] : devices)
            if (auto k = p2p::PublicKey::from_text(hex)) members.insert(*k);
        admission->set_members(std::move(members));
        for (auto& [id, link] : links) link.wants_message = true;
        server_wants = true;
    }

    // --- sync server ---------------------------------------------------------------------------

    void start_server(std::string const& url) {
        auto peer_id =
            "vemo-" + key_hex.substr(0, 12) + "-" + secret_to_hex(random_secret()).substr(0, 8);
        server = std::make_unique<detail::RepoClient>(url, url_document_id(), peer_id, key_hex);
    }

    std::string url_document_id() const { return url.document_id(); }

    std::string server_state_name() const {
        std::string name = "server";
        for (unsigned char c : options.sync_server.value_or("")) name += "0123456789abcdef"[c % 16];
        return name.substr(0, 120);
    }

    bool poll_server() {
        if (!server) return false;
        // Headless runs have no main loop: let the WebSocket's sources run here. Inside a
        // main loop (the window) they run by themselves.
        if (g_main_depth() == 0)
            for (int i = 0; i < 64 && g_main_context_iteration(nullptr, FALSE); ++i) {
            }
        server->tick();
        if (server->take_connected()) {
            server_state = {};
            if (auto bytes = read_state(server_state_name()))
                if (auto state = automerge::SyncState::decode(*bytes))
                    server_state = std::move(*state);
            server_saved_heads = server_state.shared_heads;
            server_wants = true;
        }
        auto before = doc().get_heads();
        while (auto in = server->take()) {
            if (in->type == "sync" || in->type == "request") {
                auto applied = automerge::receive_sync_message(doc(), server_state, in->data);
                if (!applied) {
                    if (!server_warned)
                        share_log().warn("the sync server sent a message we cannot use: {}",
                                         applied.error().message);
                    server_warned = true;
                    server_state = {};
                }
                server_wants = true;
            } else if (in->type == "doc-unavailable") {
                if (join == JoinState::Waiting)
                    join_problem = "the sync server does not have the workspace";
            }
        }
        if (server_state.shared_heads != server_saved_heads) {
            server_saved_heads = server_state.shared_heads;
            write_state(server_state_name(), server_state.encode());
        }
        return doc().get_heads() != before;
    }

    void send_to_server() {
        server_wants = false;
        if (!server || server->state() != detail::RepoClient::State::Connected) return;
        bool empty = doc().get_heads().empty();
        if (auto message = automerge::generate_sync_message(doc(), server_state))
            server->send_sync(*message, empty);
    }

    void handle(LinkEvent event) {
        switch (event.kind) {
            case LinkEvent::Kind::Opened:
                return opened(std::move(event));
            case LinkEvent::Kind::Message:
                return received(std::move(event));
            case LinkEvent::Kind::Closed:
                return closed(std::move(event));
            case LinkEvent::Kind::Refused:
                if (event.peer && refused_logged.insert(*event.peer).second)
                    share_log().warn("refused device {}: {}", short_key(event.peer->to_text()),
                                     event.reason);
                return;
        }
    }

    static p2p::PublicKey dialer(Link const& link, p2p::PublicKey const& me) {
        return link.outgoing ? me : link.peer;
    }

    void opened(LinkEvent event) {
        dialing.erase(event.link);
        auto peer = *event.peer;
        if (event.used_invite) {
            spend_invite(*event.used_invite);
            invited.insert(peer);
        }
        Link link{peer, event.outgoing, std::move(*event.out), load_state(peer),
                  true, Clock::now()};
        // Two devices that dial each other at once end up with two links; both keep the one
        // dialed by the smaller key, so they agree without talking about it.
        for (auto it = links.begin(); it != links.end(); ++it) {
            if (it->second.peer != peer) continue;
            auto me = key.public_key();
            if (dialer(it->second, me) < dialer(link, me)) return;  // drop the new one
            links.erase(it);
            break;
        }
        auto& p = peers[peer];
        p.backoff = first_retry;
        share_log().info("connected to device {} ({})", short_key(peer.to_text()),
                         event.outgoing ? "dialed" : "accepted");
        links.emplace(event.link, std::move(link));
    }

    void received(LinkEvent event) {
        hub->message_taken(event.link);
        auto it = links.find(event.link);
        if (it == links.end()) return;
        auto& link = it->second;
        auto& p = peers[link.peer];
        p.bytes_received += event.message.size();
        p.last_sync = unix_now();
        auto applied = automerge::receive_sync_message(doc(), link.state, event.message);
        if (!applied) {
            if (!p.warned)
                share_log().warn("device {} sent a message we cannot use ({}); disconnecting",
                                 short_key(link.peer.to_text()), applied.error().message);
            p.warned = true;
            links.erase(it);
            return;
        }
        link.wants_message = true;
    }

    void closed(LinkEvent event) {
        std::optional<p2p::PublicKey> peer = event.peer;
        if (auto d = dialing.find(event.link); d != dialing.end()) {
            peer = d->second;
            dialing.erase(d);
        }
        if (auto it = links.find(event.link); it != links.end()) {
            save_state(it->second);
            share_log().info("device {} disconnected: {}", short_key(it->second.peer.to_text()),
                             event.reason);
            links.erase(it);
        }
        if (!peer) return;
        auto& p = peers[*peer];
        p.next_dial = Clock::now() + p.backoff;
        p.backoff = std::min(p.backoff * 2, max_retry);
        if (join == JoinState::Waiting && join_invite && join_invite->inviter.id == *peer)
            join_problem = event.reason;
    }

    void send_next(Link& link) {
        link.wants_message = false;
        auto message = automerge::generate_sync_message(doc(), link.state);
        if (!message) return;
        peers[link.peer].bytes_sent += message->size();
        // A full queue means the peer stopped reading; the sync state notices nothing, so
        // start over on that link rather than lose a message silently.
        if (link.out.try_send(std::move(*message))) {
            share_log().info("device {} is not keeping up; reconnecting",
                             short_key(link.peer.to_text()));
            link.state = load_state(link.peer);
        }
    }

    automerge::SyncState load_state(p2p::PublicKey const& peer) {
        auto bytes = read_state(peer.to_text());
        if (bytes) {
            if (auto state = automerge::SyncState::decode(*bytes)) {
                peers[peer].saved_heads = state->shared_heads;
                return std::move(*state);
            }
        }
        return {};
    }

    void save_state(Link const& link) {
        auto& p = peers[link.peer];
        if (p.saved_heads == link.state.shared_heads) return;
        p.saved_heads = link.state.shared_heads;
        write_state(link.peer.to_text(), link.state.encode());
    }

    // The latest state handed to the store, which writes it once the document content it
    // describes is durable; until then the file may be older, so reads prefer this copy.
    std::optional<Bytes> read_state(std::string const& peer) {
        if (auto it = states_written.find(url_text + "/" + peer); it != states_written.end())
            return it->second;
        return files.read_sync_state(url.document_id(), peer);
    }

    void write_state(std::string const& peer, Bytes bytes) {
        auto path = files.sync_state_path(url.document_id(), peer);
        if (!path) return;
        states_written[url_text + "/" + peer] = bytes;
        store.write_beside(std::move(*path), std::move(bytes));
    }

    // --- membership ---------------------------------------------------------------------------

    void dial_members() {
        auto now = Clock::now();
        if (now < next_dial_check) return;
        next_dial_check = now + dial_check_spacing;
        std::set<p2p::PublicKey> busy;
        for (auto const& [id, link] : links) busy.insert(link.peer);
        for (auto const& [id, peer] : dialing) busy.insert(peer);
        auto try_dial = [&](p2p::EndpointAddr const& addr, std::optional<std::string> secret) {
            if (addr.id == key.public_key() || busy.contains(addr.id)) return;
            auto& p = peers[addr.id];
            if (now < p.next_dial) return;
            p.next_dial = now + max_retry;  // until the dial reports back
            auto id = hub->dial(addr, detail::Greeting{url.document_id(), std::move(secret)});
            dialing.emplace(id, addr.id);
            busy.insert(addr.id);
        };
        if (join == JoinState::Waiting || join == JoinState::Failed) {
            if (join_invite && options.direct)
                try_dial(join_invite->inviter, secret_to_hex(join_invite->secret));
            return;
        }
        for (auto const& [hex, record] : devices) {
            if (hex == key_hex || record.ticket.empty()) continue;
            auto addr = p2p::EndpointAddr::from_json(record.ticket);
            if (!addr || addr->id.to_text() != hex) continue;
            try_dial(*addr, std::nullopt);
        }
    }

    void spend_invite(std::string const& digest) {
        for (auto& i : invites)
            if (i.digest == digest) i.used = true;
        files.write_invites(invites);
        publish_invites();
    }

    void keep_own_record() {
        if (join == JoinState::Waiting || join == JoinState::Failed) return;
        detail::DeviceRecord record{ticket, options.person_id, options.device_name, unix_now()};
        if (detail::write_own_device(doc(), key_hex, record,
                                     own_record_written ? last_seen_step : 1)) {
            own_record_written = true;
        }
        own_record_written = true;
    }

    // --- joining -----------------------------------------------------------------------------

    bool arrived(automerge::SyncState const& state) {
        auto const& theirs = state.their_heads;
        if (!theirs || theirs->empty()) return false;
        for (auto const& h : *theirs)
            if (!doc().has_change(h)) return false;
        return true;
    }

    void check_join() {
        if (join != JoinState::Waiting && join != JoinState::Failed) return;
        if (server && server->state() == detail::RepoClient::State::Connected &&
            arrived(server_state)) {
            join = JoinState::Done;
            join_problem.clear();
            share_log().info("joined {} through the sync server", url_text);
            return;
        }
        for (auto const& [id, link] : links) {
            if (!join_invite || link.peer != join_invite->inviter.id) continue;
            auto const& theirs = link.state.their_heads;
            if (!theirs || theirs->empty()) continue;
            bool all = true;
            for (auto const& h : *theirs) all = all && doc().has_change(h);
            if (!all) continue;
            join = JoinState::Done;
            join_problem.clear();
            share_log().info("joined {}", url_text);
            return;
        }
    }

    std::expected<void, std::string> begin_join(std::string_view text) {
        auto invite = Invite::parse(text);
        if (!invite) return std::unexpected(invite.error());
        if (invite->expires < unix_now())
            return std::unexpected(std::string("the invite has expired"));
        if (invite->inviter.id == key.public_key())
            return std::unexpected(std::string("the invite comes from this device"));
        if (invite->document == url && join != JoinState::Waiting)
            return std::unexpected(std::string("this device already shares that workspace"));
        links.clear();
        dialing.clear();
        auto aside = store.set_aside_and_start_empty("before-join");
        if (!aside)
            return std::unexpected("cannot set the current document aside: " + aside.error());
        std::error_code ec;
        std::filesystem::rename(files.url_path(), aside->string() + ".url", ec);
        set_url(invite->document);
        if (auto written = files.write_url(url_text); !written)
            share_log().warn("{}", written.error());
        invites.clear();
        files.write_invites(invites);
        publish_invites();
        if (invite->sync_server && !options.sync_server) {
            options.sync_server = invite->sync_server;
            files.write_sync_server(*invite->sync_server);
            start_server(*options.sync_server);
        }
        if (server) {
            server->set_document(url.document_id());
            server_state = {};
            server_saved_heads.clear();
            server_wants = true;
        }
        heads_known = false;
        own_record_written = false;
        peers[invite->inviter.id].next_dial = {};
        join_invite = std::move(*invite);
        join = JoinState::Waiting;
        join_problem = "waiting for the inviting device";
        next_dial_check = {};
        return {};
    }

    std::expected<std::string, std::string> create_invite() {
        if (join == JoinState::Waiting)
            return std::unexpected(std::string("this device is still joining"));
        Invite invite{url, endpoint->addr(), random_secret(), unix_now() + invite_lifetime,
                      options.sync_server};
        invites.push_back({secret_digest(invite.secret), invite.expires, false});
        files.write_invites(invites);
        publish_invites();
        return invite.to_text();
    }

    Status status() {
        Status s;
        s.document_url = url_text;
        s.device_key = key_hex;
        std::set<p2p::PublicKey> connected;
        for (auto const& [id, link] : links) connected.insert(link.peer);
        auto add = [&](std::string const& hex, detail::DeviceRecord const& record) {
            DeviceStatus d;
            d.key = hex;
            d.person = record.person;
            d.name = record.name;
            d.last_seen = record.last_seen;
            if (auto k = p2p::PublicKey::from_text(hex)) {
                d.connected = connected.contains(*k);
                if (auto it = peers.find(*k); it != peers.end()) {
                    d.last_sync = it->second.last_sync;
                    d.bytes_sent = it->second.bytes_sent;
                    d.bytes_received = it->second.bytes_received;
                }
            }
            s.devices.push_back(std::move(d));
        };
        for (auto const& [hex, record] : devices)
            if (hex != key_hex) add(hex, record);
        // A newcomer that has not written its record yet still counts as connected.
        for (auto const& k : connected)
            if (!devices.contains(k.to_text())) add(k.to_text(), {});
        s.server_url = options.sync_server;
        s.server_state = "off";
        if (server) {
            using S = detail::RepoClient::State;
            auto st = server->state();
            s.server_state = st == S::Connected    ? "connected"
                             : st == S::Connecting ? "connecting"
                                                   : "offline: " + server->last_error();
        }
        s.joining = join == JoinState::Waiting;
        if (join == JoinState::Failed) s.join_error = join_problem;
        return s;
    }
};

Sharing::Sharing(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Sharing::~Sharing() {
    if (!m_impl) return;
    for (auto& [id, link] : m_impl->links) m_impl->save_state(link);
    m_impl->links.clear();
    if (m_impl->router) m_impl->router->shutdown();
    if (m_impl->endpoint) m_impl->endpoint->close().wait_for(std::chrono::seconds(1));
}

std::expected<std::unique_ptr<Sharing>, std::string> Sharing::start(persist::DocumentStore& store,
                                                                    Options options) {
    detail::ShareFiles files(store.path());
    auto key = files.device_key();
    if (!key) return std::unexpected("no device key: " + key.error());
    auto impl = std::make_unique<Impl>(store, std::move(options), *key);
    if (impl->options.sync_server)
        impl->files.write_sync_server(*impl->options.sync_server);
    else
        impl->options.sync_server = impl->files.read_sync_server();
    impl->load_url();
    impl->load_invites();
    if (impl->options.sync_server) impl->start_server(*impl->options.sync_server);
    if (auto bound = impl->bind(); !bound) return std::unexpected(bound.error());
    auto sharing = std::unique_ptr<Sharing>(new Sharing(std::move(impl)));
    if (sharing->m_impl->options.join) {
        auto joined = sharing->begin_join(*sharing->m_impl->options.join);
        if (!joined) return std::unexpected("cannot join: " + joined.error());
    }
    return sharing;
}

bool Sharing::poll() {
    return m_impl->poll();
}
std::expected<std::string, std::string> Sharing::create_invite() {
    return m_impl->create_invite();
}
std::expected<void, std::string> Sharing::begin_join(std::string_view invite) {
    return m_impl->begin_join(invite);
}
JoinState Sharing::join_state() const {
    return m_impl->join;
}
std::string Sharing::join_problem() const {
    return m_impl->join_problem;
}
void Sharing::abandon_join(std::string reason) {
    if (m_impl->join != JoinState::Waiting) return;
    m_impl->join = JoinState::Failed;
    m_impl->join_problem = std::move(reason);
}
Status Sharing::status() const {
    return m_impl->status();
}
std::string const& Sharing::document_url() const {
    return m_impl->url_text;
}

}  // namespace vemo_ui::share
