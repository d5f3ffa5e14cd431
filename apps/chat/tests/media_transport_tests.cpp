#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "heap_counter.hpp"
#include "media/call_transport.hpp"
#include "media/media_protocol.hpp"
#include "media/network_transport.hpp"
#include "media/simulated_transport.hpp"

namespace {

using namespace chat::media;
using namespace std::chrono_literals;

MediaFrame frame_from(std::string sender, std::uint64_t sequence, std::size_t payload = 100) {
    MediaFrame frame;
    frame.sender = std::move(sender);
    frame.sequence = sequence;
    frame.timestamp = MediaTimestamp::from_millis(sequence * 20);
    frame.payload.assign(payload, static_cast<std::uint8_t>(sequence));
    return frame;
}

p2p::EndpointOptions loopback(std::chrono::milliseconds handshake = 2000ms) {
    p2p::EndpointOptions options;
    options.loopback_only = true;
    options.handshake_timeout = handshake;
    return options;
}

std::unique_ptr<NetworkTransport> start(p2p::EndpointOptions options = loopback()) {
    auto transport = NetworkTransport::start(std::move(options));
    EXPECT_TRUE(transport) << transport.error().message;
    return std::move(*transport);
}

// Polls `step` every few milliseconds until it returns true or the deadline passes.
template <typename Step>
bool eventually(Step step, std::chrono::milliseconds deadline = 5s) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (step()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// Keeps sending numbered frames until `to` has seen `count` of them. Both sides keep
// connecting to each other's ticket, as a call does every frame: a peer accepts only
// participants it knows, and a dial that came too early is made again.
std::vector<MediaFrame> exchange(NetworkTransport& from, NetworkTransport& to, std::string sender,
                                 std::size_t count) {
    std::vector<MediaFrame> seen;
    std::uint64_t sequence = 0;
    eventually([&] {
        to.connect(from.local_ticket());
        from.connect(to.local_ticket());
        if (sequence < count) from.send_frame(frame_from(sender, sequence++));
        for (auto& f : to.drain_frames()) seen.push_back(std::move(f));
        return seen.size() >= count;
    });
    return seen;
}

TEST(SimulatedTransport, LoopsBackUpTo128AndDrainsAtMost64) {
    SimulatedTransport sim;
    EXPECT_FALSE(sim.is_networked());
    EXPECT_EQ(sim.local_ticket(), "sim://local");
    EXPECT_TRUE(sim.connect("anything"));
    for (std::uint64_t i = 0; i < 128; ++i) ASSERT_TRUE(sim.send_frame(frame_from("me", i)));
    EXPECT_FALSE(sim.send_frame(frame_from("me", 128)));
    EXPECT_FALSE(sim.send_frame(frame_from("", 0))) << "invalid frames are refused";
    auto first = sim.drain_frames();
    ASSERT_EQ(first.size(), 64u);
    EXPECT_EQ(first.front().sequence, 0u);
    EXPECT_EQ(first.back().sequence, 63u);
    EXPECT_TRUE(sim.send_frame(frame_from("me", 200)));
    EXPECT_EQ(sim.drain_frames().size(), 64u);
    auto last = sim.drain_frames();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].sequence, 200u);
    EXPECT_TRUE(sim.drain_frames().empty());
}

TEST(CallBookkeeping, KeepsKindsAndPeersWithoutDuplicates) {
    SimulatedTransport sim;
    sim.enable_kind(MediaKind::Camera);
    sim.enable_kind(MediaKind::Microphone);
    sim.enable_kind(MediaKind::Camera);
    sim.disable_kind(MediaKind::ScreenShare);
    EXPECT_EQ(sim.bookkeeping().enabled_kinds(),
              (std::vector<MediaKind>{MediaKind::Camera, MediaKind::Microphone}));
    sim.disable_kind(MediaKind::Camera);
    EXPECT_EQ(sim.bookkeeping().enabled_kinds(), (std::vector<MediaKind>{MediaKind::Microphone}));
    sim.expect_peer("ann", false);
    sim.expect_peer("ann", false);
    sim.expect_peer("ann", true);
    EXPECT_EQ(sim.bookkeeping().expected_peers().size(), 2u);
}

class CreateTransport : public testing::Test {
  protected:
    void SetUp() override {
        for (auto name : {"DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY"}) {
            if (auto* v = std::getenv(name)) m_saved.emplace_back(name, v);
            unsetenv(name);
        }
    }
    void TearDown() override {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("WAYLAND_DISPLAY");
        for (auto& [name, value] : m_saved) setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::string>> m_saved;
};

TEST_F(CreateTransport, WithoutASessionIsSimulated) {
    EXPECT_FALSE(create_transport()->is_networked());
    EXPECT_FALSE(create_transport(loopback())->is_networked());
}

TEST_F(CreateTransport, EitherSessionVariableEvenEmptyStartsTheNetwork) {
    for (auto name : {"DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY"}) {
        setenv(name, "", 1);
        auto transport = create_transport(loopback());
        ASSERT_TRUE(transport->is_networked()) << name;
        EXPECT_TRUE(ticket_endpoint_id(transport->local_ticket())) << name;
        unsetenv(name);
    }
}

TEST(NetworkTransport, TwoTransportsExchangeFramesBothWaysTaggedWithTheSendersKey) {
    auto a = start();
    auto b = start();
    ASSERT_TRUE(a->connect(b->local_ticket()));
    ASSERT_TRUE(b->connect(a->local_ticket()));

    auto at_b = exchange(*a, *b, "alice", 20);
    ASSERT_EQ(at_b.size(), 20u);
    for (std::size_t i = 0; i < at_b.size(); ++i) {
        EXPECT_EQ(at_b[i].sequence, i) << "frames arrive in order";
        EXPECT_EQ(at_b[i].sender, "alice");
        EXPECT_EQ(at_b[i].payload, frame_from("alice", i).payload);
        EXPECT_EQ(at_b[i].remote_endpoint, ticket_endpoint_id(a->local_ticket()));
    }
    auto at_a = exchange(*b, *a, "bob", 5);
    ASSERT_EQ(at_a.size(), 5u);
    EXPECT_EQ(at_a[0].remote_endpoint, ticket_endpoint_id(b->local_ticket()));
}

TEST(NetworkTransport, ConnectRulesForOwnRepeatedAndMalformedTickets) {
    auto a = start();
    auto b = start();
    EXPECT_FALSE(a->connect(a->local_ticket()));
    EXPECT_TRUE(a->connect(b->local_ticket()));
    EXPECT_TRUE(a->connect(b->local_ticket()));
    EXPECT_EQ(a->connection_count(), 1u);
    for (std::string bad : std::vector<std::string>{
             "", "sim://local", "{}", R"({"id":"00","addrs":[]})", b->local_ticket().substr(1)})
        EXPECT_FALSE(a->connect(bad)) << bad;
    EXPECT_EQ(a->connection_count(), 1u);
}

TEST(NetworkTransport, ReconnectsAfterThePeerWentAway) {
    auto options = loopback();
    options.secret_key = p2p::SecretKey::generate();
    auto a = start();
    auto b = start(options);
    auto ticket = b->local_ticket();
    ASSERT_TRUE(a->connect(ticket));
    ASSERT_EQ(exchange(*a, *b, "alice", 1).size(), 1u);

    b.reset();
    // The dead connection is noticed by a send, which drops its entry...
    ASSERT_TRUE(eventually([&] {
        a->send_frame(frame_from("alice", 1));
        return a->connection_count() == 0;
    }));
    // ...so the same ticket dials again once the peer is back.
    options.port = p2p::EndpointAddr::from_json(ticket)->addrs.front().port;
    auto b2 = start(options);
    ASSERT_EQ(b2->local_ticket(), ticket);
    ASSERT_TRUE(a->connect(ticket));
    EXPECT_EQ(exchange(*a, *b2, "alice", 3).size(), 3u);
}

TEST(NetworkTransport, WrongKeyInTicketNeverDeliversAndDropsTheEntry) {
    auto a = start();
    auto b = start();
    auto addr = *p2p::EndpointAddr::from_json(b->local_ticket());
    addr.id = p2p::SecretKey::generate().public_key();
    ASSERT_TRUE(a->connect(addr.to_json()));
    EXPECT_TRUE(eventually([&] {
        a->send_frame(frame_from("mallory", 0));
        return a->connection_count() == 0;
    }));
    EXPECT_TRUE(b->drain_frames().empty());
}

TEST(NetworkTransport, OnlyKeysOfConnectedTicketsMayConnect) {
    auto b = start();
    auto runtime = *p2p::Runtime::create();
    auto stranger = *p2p::Endpoint::bind(runtime, loopback());
    auto b_addr = *p2p::EndpointAddr::from_json(b->local_ticket());
    auto refused = stranger.connect(b_addr, media_alpn).wait_for(5s);
    ASSERT_TRUE(refused);
    ASSERT_FALSE(*refused);
    EXPECT_EQ(refused->error().kind, p2p::ErrorKind::HandshakeFailed) << refused->error().message;

    // Once b has the stranger's ticket (it joined the call), the same key gets in.
    ASSERT_TRUE(b->connect(stranger.addr().to_json()));
    auto admitted = stranger.connect(b_addr, media_alpn).wait_for(5s);
    ASSERT_TRUE(admitted);
    EXPECT_TRUE(*admitted) << (*admitted).error().message;
}

TEST(NetworkTransport, PeerQueueHolds128FramesWhileThePeerDoesNotAnswer) {
    auto runtime = *p2p::Runtime::create();
    auto silent = *p2p::Endpoint::bind(runtime, loopback());  // no protocols: never answers
    auto a = start(loopback(300ms));
    ASSERT_TRUE(a->connect(silent.addr().to_json()));
    std::size_t accepted = 0;
    for (std::uint64_t i = 0; i < 1280; ++i) accepted += a->send_frame(frame_from("a", i));
    EXPECT_EQ(accepted, 128u);
    // Once the handshake gives up, the next send removes the entry.
    EXPECT_TRUE(eventually([&] {
        a->send_frame(frame_from("a", 0));
        return a->connection_count() == 0;
    }));
}

TEST(NetworkTransport, FloodKeepsMemoryFlatAndTheIncomingQueueAt128) {
    auto a = start();
    auto b = start();
    ASSERT_TRUE(a->connect(b->local_ticket()));
    ASSERT_EQ(exchange(*a, *b, "alice", 1).size(), 1u);

    constexpr std::size_t payload = 128 * 1024;
    auto baseline = heap::live.load();
    heap::peak.store(baseline);
    for (std::uint64_t i = 0; i < 10 * frame_queue_capacity; ++i)
        a->send_frame(frame_from("alice", i, payload));
    std::this_thread::sleep_for(1500ms);
    // Unbounded buffering would hold most of the 160 MiB flood at some point; the
    // queues and flow-control windows allow a few tens of MiB.
    auto growth = heap::peak.load() - baseline;
    EXPECT_LT(growth, 80 << 20);
    RecordProperty("peak_growth_bytes", std::to_string(growth));

    // The incoming queue filled up long ago; a drain takes at most 64 of its 128.
    EXPECT_EQ(b->drain_frames().size(), 64u);
    EXPECT_EQ(b->drain_frames().size(), 64u);
}

// Drives the receive loop with hand-made stream bytes. A stream ends with an oversized
// length, which stops the loop: once its error is reported, everything before it has been
// offered to the queue.
class MediaProtocolTest : public testing::Test {
  protected:
    void SetUp() override {
        auto [tx, queue] = p2p::bounded_channel<MediaFrame>(frame_queue_capacity);
        rx.emplace(std::move(queue));
        // The loop may still report while the fixture is torn down, so the sink is shared.
        auto protocol =
            std::make_shared<MediaProtocol>(std::move(tx), [sink = sink](std::string e) {
                std::lock_guard lock(sink->mutex);
                sink->errors.push_back(std::move(e));
            });
        EXPECT_EQ(protocol->debug(), "MediaProtocol");
        router.emplace(p2p::Router::builder(server).accept(media_alpn, protocol).spawn());
    }

    void put(std::vector<std::uint8_t> const& body, std::uint32_t length) {
        auto prefix = length_prefix(length);
        bytes.insert(bytes.end(), prefix.begin(), prefix.end());
        bytes.insert(bytes.end(), body.begin(), body.end());
    }
    void put_frame(MediaFrame const& frame) {
        auto encoded = *encode_frame(frame);
        put(encoded, static_cast<std::uint32_t>(encoded.size()));
    }

    // Sends `bytes` on one stream and waits until the loop stopped at the oversized length.
    void send_and_wait() {
        auto conn = client.connect(server.addr(), media_alpn).wait_for(5s);
        ASSERT_TRUE(conn && *conn);
        auto stream = (*conn)->open_uni().wait_for(5s);
        ASSERT_TRUE(stream && *stream);
        (*stream)->write_all(bytes);
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lock(sink->mutex);
            return std::count(sink->errors.begin(), sink->errors.end(),
                              "media frame too large: 2097432") == 1;
        }));
    }

    std::vector<std::uint64_t> received() {
        std::vector<std::uint64_t> sequences;
        while (auto frame = rx->try_recv()) {
            sequences.push_back(frame->sequence);
            EXPECT_EQ(frame->remote_endpoint, client.id().to_text());
        }
        return sequences;
    }

    std::shared_ptr<p2p::Runtime> runtime = *p2p::Runtime::create();
    p2p::Endpoint server = *p2p::Endpoint::bind(runtime, loopback());
    p2p::Endpoint client = *p2p::Endpoint::bind(runtime, loopback());
    std::optional<p2p::Receiver<MediaFrame>> rx;
    std::optional<p2p::Router> router;
    struct ErrorSink {
        std::mutex mutex;
        std::vector<std::string> errors;
    };
    std::shared_ptr<ErrorSink> sink = std::make_shared<ErrorSink>();
    std::vector<std::uint8_t> bytes;
};

TEST_F(MediaProtocolTest, SkipsEmptyAndUndecodableFramesAndStopsAtAnOversizedLength) {
    put({}, 0);
    put_frame(frame_from("alice", 1));
    put({1, 2, 3}, 3);
    put_frame(frame_from("alice", 2));
    put({}, 2'097'432);
    put_frame(frame_from("alice", 3));
    send_and_wait();
    EXPECT_EQ(received(), (std::vector<std::uint64_t>{1, 2}));
}

TEST_F(MediaProtocolTest, AFullIncomingQueueDropsNewFramesInsteadOfWaiting) {
    for (std::uint64_t i = 0; i < 3 * frame_queue_capacity; ++i) put_frame(frame_from("alice", i));
    put({}, 2'097'432);
    send_and_wait();
    auto sequences = received();
    ASSERT_EQ(sequences.size(), frame_queue_capacity);
    EXPECT_EQ(sequences.front(), 0u);
    EXPECT_EQ(sequences.back(), frame_queue_capacity - 1);
}

}  // namespace
