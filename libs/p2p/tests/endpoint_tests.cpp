#include <gtest/gtest.h>

#include <numeric>

#include "support.hpp"

namespace {

using namespace std::chrono_literals;
using p2p::Connection;
using p2p::Endpoint;
using p2p::ErrorKind;
using p2p::test_support::Collect;
using p2p::test_support::loopback;
using p2p::test_support::pattern;
using p2p::test_support::wait;

constexpr char alpn[] = "test-echo/0";

class EndpointTest : public testing::Test {
  protected:
    void SetUp() override {
        runtime = *p2p::Runtime::create();
        server = *Endpoint::bind(runtime, loopback());
        client = *Endpoint::bind(runtime, loopback());
        router.emplace(p2p::Router::builder(*server).accept(alpn, handler).spawn());
    }

    std::shared_ptr<p2p::Runtime> runtime;
    std::optional<Endpoint> server, client;
    std::shared_ptr<Collect> handler = std::make_shared<Collect>();
    std::optional<p2p::Router> router;
};

TEST_F(EndpointTest, AddressListsOnlyLoopbackWhenAskedAndCarriesTheKey) {
    auto addr = server->addr();
    EXPECT_EQ(addr.id, server->id());
    ASSERT_FALSE(addr.addrs.empty());
    for (auto const& a : addr.addrs) EXPECT_TRUE(a.is_loopback()) << a.to_string();
}

TEST_F(EndpointTest, BothSidesLearnTheAuthenticatedKeyAndDataFlowsBothWays) {
    auto conn = wait(client->connect(server->addr(), alpn));
    ASSERT_TRUE(conn) << conn.error().message;
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted) << accepted.error().message;
    EXPECT_EQ(conn->remote_id(), server->id());
    EXPECT_EQ(accepted->remote_id(), client->id());
    EXPECT_EQ(accepted->alpn(), alpn);

    // Larger than every window, so the writer must be held back and resumed.
    auto big = pattern(6 << 20);
    auto out = wait(conn->open_uni());
    ASSERT_TRUE(out);
    auto wrote = out->write_all(big);
    auto finished = out->finish();
    auto in = wait(accepted->accept_uni());
    ASSERT_TRUE(in);
    auto got = wait(in->read_exact(big.size()), 10s);
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_TRUE(*got == big);
    EXPECT_TRUE(wait(std::move(wrote)));
    EXPECT_TRUE(wait(std::move(finished)));
    auto end = wait(in->read_exact(1));
    ASSERT_FALSE(end);
    EXPECT_EQ(end.error().kind, ErrorKind::EndOfStream);

    // The accepting side may open streams towards the dialer too.
    auto back = wait(accepted->open_uni());
    ASSERT_TRUE(back);
    EXPECT_TRUE(wait(back->write_all({1, 2, 3})));
    auto back_in = wait(conn->accept_uni());
    ASSERT_TRUE(back_in);
    auto three = wait(back_in->read_exact(3));
    ASSERT_TRUE(three);
    EXPECT_EQ(*three, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(EndpointTest, AWriterIsHeldBackWhileThePeerDoesNotRead) {
    auto conn = wait(client->connect(server->addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto out = wait(conn->open_uni());
    ASSERT_TRUE(out);
    // More than the peer's window plus our own send buffer: it cannot all be taken.
    auto big = pattern(12 << 20);
    auto wrote = out->write_all(big);
    EXPECT_FALSE(wrote.wait_for(500ms).has_value());
    auto in = wait(accepted->accept_uni());
    ASSERT_TRUE(in);
    auto got = wait(in->read_exact(big.size()), 10s);
    ASSERT_TRUE(got);
    EXPECT_TRUE(*got == big);
    EXPECT_TRUE(wait(std::move(wrote)));
}

TEST_F(EndpointTest, ReadingPastAShortStreamEndsWithEndOfStream) {
    auto conn = wait(client->connect(server->addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto out = wait(conn->open_uni());
    ASSERT_TRUE(out);
    out->write_all({9, 9});
    out->finish();
    auto in = wait(accepted->accept_uni());
    ASSERT_TRUE(in);
    auto got = wait(in->read_exact(3));
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, ErrorKind::EndOfStream);
}

TEST_F(EndpointTest, HandshakeFailsWhenThePeerKeyDiffersFromTheAddress) {
    auto addr = server->addr();
    addr.id = p2p::SecretKey::generate().public_key();
    auto conn = wait(client->connect(addr, alpn));
    ASSERT_FALSE(conn);
    EXPECT_EQ(conn.error().kind, ErrorKind::HandshakeFailed) << conn.error().message;
}

TEST_F(EndpointTest, UnknownProtocolIsRefusedInTheHandshake) {
    auto conn = wait(client->connect(server->addr(), "something-else/1"));
    ASSERT_FALSE(conn);
    EXPECT_EQ(conn.error().kind, ErrorKind::HandshakeFailed) << conn.error().message;
}

TEST_F(EndpointTest, ClosingThePeerEndsTheConnectionAndPendingReads) {
    auto conn = wait(client->connect(server->addr(), alpn));
    ASSERT_TRUE(conn);
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted);
    auto pending = accepted->accept_uni();
    ASSERT_TRUE(wait(client->close()));
    auto result = wait(std::move(pending));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::ConnectionClosed) << result.error().message;
    EXPECT_TRUE(wait(accepted->closed()));
}

TEST_F(EndpointTest, DialingAnAddressThatNeverAnswersTimesOut) {
    auto silent = *Endpoint::bind(runtime, loopback());  // bound, but no router
    auto dialer = *Endpoint::bind(runtime, loopback(200ms));
    auto conn = wait(dialer.connect(silent.addr(), alpn));
    ASSERT_FALSE(conn);
    EXPECT_EQ(conn.error().kind, ErrorKind::TimedOut) << conn.error().message;
}

}  // namespace
