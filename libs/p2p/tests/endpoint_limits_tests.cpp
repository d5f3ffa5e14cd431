// What an endpoint does about peers it did not choose: refusing keys, closing connections
// that hold a slot or memory without delivering anything, and validating addresses when
// handshakes pile up.
#include <gtest/gtest.h>

#include <thread>

#include "support.hpp"

namespace {

using namespace p2p::test_support;
using p2p::Endpoint;
using p2p::ErrorKind;
using Bytes = std::vector<std::uint8_t>;

constexpr char alpn[] = "test-limits/0";

class LimitsTest : public ::testing::Test {
  protected:
    void SetUp() override { runtime = *p2p::Runtime::create(); }

    Endpoint serve(p2p::EndpointOptions options) {
        auto endpoint = *Endpoint::bind(runtime, std::move(options));
        router.emplace(p2p::Router::builder(endpoint).accept(alpn, handler).spawn());
        return endpoint;
    }
    Endpoint dialer() { return *Endpoint::bind(runtime, loopback()); }
    p2p::EndpointStats stats(Endpoint const& endpoint) { return *wait(endpoint.stats()); }

    std::shared_ptr<p2p::Runtime> runtime;
    std::shared_ptr<Collect> handler = std::make_shared<Collect>();
    std::optional<p2p::Router> router;
};

TEST_F(LimitsTest, TheFilterDecidesWhichKeysCompleteAHandshake) {
    auto friendly = dialer();
    auto stranger = dialer();
    auto options = loopback();
    auto allowed = friendly.id();
    options.accept_peer = [allowed](p2p::PublicKey const& key) { return key == allowed; };
    auto server = serve(options);

    auto refused = wait(stranger.connect(server.addr(), alpn));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::HandshakeFailed) << refused.error().message;
    auto conn = wait(friendly.connect(server.addr(), alpn));
    ASSERT_TRUE(conn) << conn.error().message;
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->remote_id(), friendly.id());
    EXPECT_EQ(handler->accepted(), 1u);
    EXPECT_GE(stats(server).peers_refused, 1u);
}

TEST_F(LimitsTest, ReplacingTheFilterClosesConnectionsItNowRefuses) {
    auto server = serve(loopback());
    auto client = dialer();
    auto conn = wait(client.connect(server.addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto pending = read_next_stream(*accepted, 3);

    auto id = client.id();
    server.set_accept_peer([id](p2p::PublicKey const& key) { return key != id; });
    EXPECT_TRUE(wait(accepted->closed()));
    auto read = wait(std::move(pending));
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, ErrorKind::ConnectionClosed);
    EXPECT_FALSE(wait(client.connect(server.addr(), alpn)));

    server.set_accept_peer({});
    EXPECT_TRUE(wait(client.connect(server.addr(), alpn)));
}

TEST_F(LimitsTest, AFilterThatThrowsRefuses) {
    auto options = loopback();
    options.accept_peer = [](p2p::PublicKey const&) -> bool { throw std::runtime_error("no"); };
    auto server = serve(options);
    auto client = dialer();
    EXPECT_FALSE(wait(client.connect(server.addr(), alpn)));
    EXPECT_EQ(handler->accepted(), 0u);
}

struct StallCase {
    char const* name;
    std::size_t sent;    // bytes the peer writes, then it goes quiet
    std::size_t wanted;  // bytes the application asks for
};

class StallTest : public LimitsTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StallTest, APeerThatStopsShortIsClosedAndItsReadFails) {
    auto options = loopback();
    options.first_read_timeout = 300ms;
    options.incomplete_read_timeout = 300ms;
    auto server = serve(options);
    auto client = dialer();
    auto conn = wait(client.connect(server.addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    std::optional<p2p::SendStream> out;
    if (GetParam().sent > 0) {
        out.emplace(*wait(conn->open_uni()));
        ASSERT_TRUE(wait(out->write_all(pattern(GetParam().sent))));
    }
    auto read = wait(read_next_stream(*accepted, GetParam().wanted));
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, ErrorKind::ConnectionClosed) << read.error().message;
    EXPECT_TRUE(wait(conn->closed()));
    EXPECT_EQ(stats(server).buffered_bytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Stalls, StallTest,
                         ::testing::Values(StallCase{"NoStreamAtAll", 0, 4},
                                           StallCase{"StreamWithoutData", 0, 4},
                                           StallCase{"PartOfTheFirstRead", 3, 4},
                                           StallCase{"PartOfALargeRead", 300'000, 400'000}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(LimitsTest, APeerThatKeepsCompletingReadsStaysConnected) {
    auto options = loopback();
    options.first_read_timeout = 200ms;
    options.incomplete_read_timeout = 200ms;
    auto server = serve(options);
    auto client = dialer();
    auto conn = wait(client.connect(server.addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto out = *wait(conn->open_uni());
    auto in_future = accepted->accept_uni();
    ASSERT_TRUE(wait(out.write_all({1, 2})));
    auto in = *wait(std::move(in_future));
    ASSERT_TRUE(wait(in.read_exact(2)));
    // Quiet between complete reads is fine: a muted participant sends nothing for a while.
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(wait(out.write_all({3})));
    auto more = wait(in.read_exact(1));
    ASSERT_TRUE(more) << more.error().message;
    EXPECT_EQ(*more, Bytes{3});

    // A read that takes longer than the timeout is fine while its bytes keep coming.
    auto slow = in.read_exact(800);
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(wait(out.write_all(pattern(100))));
        std::this_thread::sleep_for(100ms);
    }
    auto got = wait(std::move(slow));
    ASSERT_TRUE(got) << got.error().message;
}

TEST_F(LimitsTest, AConnectionBufferingPastItsLimitIsClosed) {
    auto options = loopback();
    options.max_connection_buffer = 256 << 10;
    auto server = serve(options);
    auto client = dialer();
    auto conn = wait(client.connect(server.addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto out = *wait(conn->open_uni());
    ASSERT_TRUE(wait(out.write_all({1})));
    // A read the limit could never hold fails at once.
    auto too_large = wait(read_next_stream(*accepted, (256 << 10) + 1));
    ASSERT_FALSE(too_large);
    EXPECT_EQ(too_large.error().kind, ErrorKind::InvalidInput);
    // Nobody on the accepting side takes the next stream, so all of it stays buffered there.
    auto bulk = *wait(conn->open_uni());
    bulk.write_all(pattern(1 << 20));
    EXPECT_TRUE(wait(accepted->closed()));
    EXPECT_EQ(stats(server).buffered_bytes, 0u);
}

TEST_F(LimitsTest, OverTheEndpointLimitTheOldestUnfinishedReadsGoFirst) {
    constexpr std::size_t frame = 600'000;
    auto options = loopback();
    options.max_endpoint_buffer = 2 << 20;
    options.incomplete_read_timeout = 0ms;
    auto server = serve(options);

    // Five peers each start a frame and stop 100 kB short of it: together they hold more
    // than the endpoint allows.
    std::vector<Endpoint> hostile;
    std::vector<p2p::Connection> hostile_conns;
    std::vector<p2p::SendStream> hostile_streams;
    std::vector<p2p::Future<Bytes>> hostile_reads;
    for (int i = 0; i < 5; ++i) {
        hostile.push_back(dialer());
        auto conn = wait(hostile.back().connect(server.addr(), alpn));
        ASSERT_TRUE(conn);
        auto accepted = wait(handler->next());
        ASSERT_TRUE(accepted);
        hostile_reads.push_back(read_next_stream(*accepted, frame));
        hostile_streams.push_back(*wait(conn->open_uni()));
        ASSERT_TRUE(wait(hostile_streams.back().write_all(pattern(frame - 100'000))));
        hostile_conns.push_back(std::move(*conn));
    }
    auto first = wait(std::move(hostile_reads.front()));
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().kind, ErrorKind::ConnectionClosed) << first.error().message;

    // A peer that finishes its frames is still served, frame after frame.
    auto honest = dialer();
    auto conn = wait(honest.connect(server.addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto out = *wait(conn->open_uni());
    auto in_future = accepted->accept_uni();
    ASSERT_TRUE(wait(out.write_all(pattern(frame))));
    auto in = *wait(std::move(in_future));
    for (int i = 0; i < 5; ++i) {
        if (i > 0) {
            ASSERT_TRUE(wait(out.write_all(pattern(frame))));
        }
        auto got = wait(in.read_exact(frame));
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_TRUE(*got == pattern(frame));
    }
    EXPECT_LE(stats(server).buffered_bytes, options.max_endpoint_buffer);
}

TEST_F(LimitsTest, OneKeyHoldsAtMostEightConnectionsAndNewerOnesWin) {
    auto server = serve(loopback());
    auto client = dialer();
    std::vector<p2p::Connection> dialed, accepted;
    for (int i = 0; i < 10; ++i) {
        auto conn = wait(client.connect(server.addr(), alpn));
        ASSERT_TRUE(conn) << conn.error().message;
        dialed.push_back(std::move(*conn));
        auto in = wait(handler->next());
        ASSERT_TRUE(in);
        accepted.push_back(std::move(*in));
    }
    EXPECT_TRUE(wait(accepted[0].closed()));
    EXPECT_TRUE(wait(accepted[1].closed()));
    auto newest = *wait(dialed.back().open_uni());
    ASSERT_TRUE(wait(newest.write_all({1})));
    EXPECT_TRUE(wait(read_next_stream(accepted.back(), 1)));
    // The server keeps no more than eight of them.
    EXPECT_LE(stats(server).connections, 8u);
}

TEST_F(LimitsTest, AHalfOpenInitialFloodIsAnsweredStatelesslyAndAPeerStillGetsIn) {
    auto server = serve(loopback());
    auto attacker = *Endpoint::bind(runtime, loopback(300ms));
    auto initials = capture_initials(attacker, server.id(), alpn, 120);
    ASSERT_EQ(initials.size(), 120u);

    RawUdp raw;  // never reads the answers
    for (auto const& datagram : initials) ASSERT_TRUE(raw.send_to(v4_port(server), datagram));
    // Every Initial is either a handshake in flight or was answered with a Retry.
    p2p::EndpointStats during;
    for (int i = 0; i < 100; ++i) {
        during = stats(server);
        if (during.retries_sent + during.pending_handshakes >= initials.size()) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LE(during.pending_handshakes, 16u);
    EXPECT_GE(during.retries_sent, initials.size() - 16);

    auto client = dialer();
    auto conn = wait(client.connect(server.addr(), alpn));
    ASSERT_TRUE(conn) << conn.error().message;
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto out = *wait(conn->open_uni());
    ASSERT_TRUE(wait(out.write_all({7, 7, 7})));
    auto got = wait(read_next_stream(*accepted, 3));
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(*got, (Bytes{7, 7, 7}));
}

}  // namespace
