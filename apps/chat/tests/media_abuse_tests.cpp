// A call participant's media endpoint (in its own process) against hostile peers on
// loopback: garbage datagrams, strangers' keys, too many connections, half-open handshake
// floods and large frames that never finish. Through all of it the honest participant
// keeps being served, and the endpoint's memory stays under a stated bound.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "child_process.hpp"
#include "media/call_transport.hpp"
#include "media/network_transport.hpp"
#include "support.hpp"

namespace {

using namespace chat::media;
using namespace p2p::test_support;
using chat::testing::ChildProcess;
using chat::testing::spawn_child;

struct Report {
    std::uint64_t frames = 0, connections = 0, pending = 0, buffered = 0, retries = 0, refused = 0;
    long rss_kb = 0, peak_kb = 0, heap_kb = 0, heap_peak_kb = 0;
};

// Frames that stop one byte short of the largest frame a peer may announce.
constexpr std::size_t partial_frame_peers = 100;
// The endpoint's default receive buffer limit is 64 MiB. Its C++ heap may grow by that and
// the connections' own state; its resident size also by what the allocator keeps back
// (not checked under sanitizers, whose allocators hold freed memory on purpose).
constexpr long heap_growth_bound_kb = 80 * 1024;
constexpr long rss_growth_bound_kb = 112 * 1024;

std::unique_ptr<NetworkTransport> start_participant() {
    auto transport = NetworkTransport::start(loopback());
    EXPECT_TRUE(transport) << transport.error().message;
    return std::move(*transport);
}

class MediaAbuse : public ::testing::Test {
  protected:
    void SetUp() override {
        char const* path = std::getenv("MEDIA_ABUSE_VICTIM");
        ASSERT_NE(path, nullptr) << "MEDIA_ABUSE_VICTIM names the helper executable";
        victim.emplace(spawn_child({path}));
        ticket = victim->read_line(5000);
        auto addr = p2p::EndpointAddr::from_json(ticket);
        ASSERT_TRUE(addr) << ticket;
        victim_addr.emplace(*addr);
        for (auto const& a : addr->addrs)
            if (a.family == p2p::SocketAddr::Family::V4) port = a.port;
        honest = start_participant();
        admit(honest->local_ticket());
        baseline = report();
        ASSERT_TRUE(served(*honest));
    }

    void TearDown() override {
        if (victim) {
            EXPECT_EQ(victim->finish(), 0) << "the victim process died";
        }
    }

    void admit(std::string const& participant) { victim->write_line("allow " + participant); }

    Report report() {
        victim->write_line("report");
        std::istringstream in(victim->read_line(10000));
        std::string word;
        Report r;
        in >> word >> r.frames >> r.connections >> r.pending >> r.buffered >> r.retries >>
            r.refused >> r.rss_kb >> r.peak_kb >> r.heap_kb >> r.heap_peak_kb;
        EXPECT_EQ(word, "report");
        return r;
    }

    // Waits until the handshakes still in flight at the victim are few again: strangers
    // that answered a Retry are real handshakes until refused or timed out, and a slow
    // (sanitized) victim may still hold some after their dialers gave up.
    Report settled() {
        auto r = report();
        for (int i = 0; i < 300 && r.pending > 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            r = report();
        }
        return r;
    }

    // True once the victim has taken a few more frames from `from`, which keeps dialing
    // and sending as a call does every frame.
    bool served(NetworkTransport& from) {
        auto before = report().frames;
        MediaFrame frame;
        frame.sender = "honest";
        frame.payload.assign(200, 1);
        for (int i = 0; i < 2000; ++i) {
            from.connect(ticket);
            frame.sequence = static_cast<std::uint64_t>(i);
            from.send_frame(frame);
            if (i % 20 == 19 && report().frames >= before + 5) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::optional<ChildProcess> victim;
    std::string ticket;
    std::optional<p2p::EndpointAddr> victim_addr;
    std::uint16_t port = 0;
    std::unique_ptr<NetworkTransport> honest;
    Report baseline;
    std::shared_ptr<p2p::Runtime> runtime = *p2p::Runtime::create();
};

TEST_F(MediaAbuse, GarbageStrangersAndFloodsLeaveTheParticipantServed) {
    RawUdp raw;
    for (int round = 0; round < 5; ++round)
        for (auto const& datagram : hostile_datagrams()) raw.send_to(port, datagram.bytes);
    EXPECT_TRUE(served(*honest)) << "after garbage datagrams";

    // Strangers with fresh keys, and dials naming a key the victim does not have.
    std::vector<p2p::Endpoint> strangers;
    std::vector<p2p::Future<p2p::Connection>> dials;
    auto wrong_key = *victim_addr;
    wrong_key.id = p2p::SecretKey::generate().public_key();
    for (int i = 0; i < 120; ++i) {
        strangers.push_back(*p2p::Endpoint::bind(runtime, loopback()));
        dials.push_back(strangers.back().connect(*victim_addr, media_alpn));
        dials.push_back(strangers.back().connect(wrong_key, media_alpn));
    }
    for (auto& dial : dials) {
        auto result = wait(std::move(dial));
        EXPECT_FALSE(result);
        if (result) break;
    }
    EXPECT_TRUE(served(*honest)) << "after strangers";
    auto after_strangers = settled();
    EXPECT_GE(after_strangers.refused, 1u);
    EXPECT_LE(after_strangers.pending, 1u);

    // An admitted participant that opens connection after connection.
    auto greedy = *p2p::Endpoint::bind(runtime, loopback());
    admit(greedy.addr().to_json());
    std::vector<p2p::Connection> held;
    for (int i = 0; i < 400 && held.size() < 40; ++i) {
        if (auto conn = wait(greedy.connect(*victim_addr, media_alpn))) held.push_back(*conn);
    }
    ASSERT_EQ(held.size(), 40u);
    EXPECT_TRUE(served(*honest)) << "after one key took many slots";
    auto after_greedy = settled();
    // Eight for the greedy key, the honest participant's, and the victim's own dials.
    EXPECT_LE(after_greedy.connections, 16u);

    // Half-open handshakes: genuine first Initials whose sender never answers again.
    auto attacker = *p2p::Endpoint::bind(runtime, loopback(300ms));
    auto initials = capture_initials(attacker, victim_addr->id, media_alpn, 300);
    ASSERT_EQ(initials.size(), 300u);
    for (auto const& datagram : initials) raw.send_to(port, datagram);
    EXPECT_TRUE(served(*honest)) << "after a half-open flood";
    auto newcomer = start_participant();
    admit(newcomer->local_ticket());
    EXPECT_TRUE(served(*newcomer)) << "a participant joining during the flood";
    auto after_flood = report();
    EXPECT_LE(after_flood.pending, 16u);
    EXPECT_GE(after_flood.retries, 250u);

    RecordProperty("connections_after_greedy", std::to_string(after_greedy.connections));
    RecordProperty("retries_after_flood", std::to_string(after_flood.retries));
    std::cout << "strangers refused " << after_strangers.refused << ", connections after greedy "
              << after_greedy.connections << ", retries " << after_flood.retries << ", pending "
              << after_flood.pending << "\n";
}

TEST_F(MediaAbuse, UnfinishedLargeFramesStayWithinTheMemoryBound) {
    std::vector<p2p::Endpoint> peers;
    for (std::size_t i = 0; i < partial_frame_peers; ++i) {
        peers.push_back(*p2p::Endpoint::bind(runtime, loopback()));
        admit(peers.back().addr().to_json());
    }
    auto length = static_cast<std::uint32_t>(max_encoded_frame_bytes);
    auto prefix = length_prefix(length);
    std::vector<std::uint8_t> body(length - 1, 0x5a);
    std::vector<p2p::Connection> conns;
    std::vector<p2p::SendStream> streams;
    // In waves, so that this process does not hold every frame at once.
    for (std::size_t first = 0; first < peers.size(); first += 10) {
        std::vector<p2p::Future<void>> writes;
        for (std::size_t i = first; i < std::min(first + 10, peers.size()); ++i) {
            std::optional<p2p::Connection> conn;
            for (int attempt = 0; attempt < 50 && !conn; ++attempt)
                if (auto c = wait(peers[i].connect(*victim_addr, media_alpn))) conn.emplace(*c);
            ASSERT_TRUE(conn) << "participant " << i << " never got in";
            auto stream = wait(conn->open_uni());
            ASSERT_TRUE(stream);
            stream->write_all({prefix.begin(), prefix.end()});
            writes.push_back(stream->write_all(body));
            conns.push_back(std::move(*conn));
            streams.push_back(std::move(*stream));
        }
        for (auto& write : writes) wait(std::move(write), std::chrono::seconds(20));
    }
    EXPECT_TRUE(served(*honest)) << "while frames are left unfinished";
    auto after = report();
    auto heap_growth_kb = after.heap_peak_kb - baseline.heap_kb;
    auto rss_growth_kb = after.peak_kb - baseline.rss_kb;
    EXPECT_LE(after.buffered, std::size_t{64} << 20);
    EXPECT_LT(heap_growth_kb, heap_growth_bound_kb);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(rss_growth_kb, rss_growth_bound_kb);
#endif
    RecordProperty("rss_before_kb", std::to_string(baseline.rss_kb));
    RecordProperty("peak_rss_after_kb", std::to_string(after.peak_kb));
    RecordProperty("peak_heap_growth_kb", std::to_string(heap_growth_kb));
    RecordProperty("peak_rss_growth_kb", std::to_string(rss_growth_kb));
    std::cout << "victim rss before " << baseline.rss_kb << " kB, peak after " << after.peak_kb
              << " kB; heap before " << baseline.heap_kb << " kB, peak after " << after.heap_peak_kb
              << " kB; buffered " << after.buffered << " bytes; connections " << after.connections
              << "\n";
}

}  // namespace
