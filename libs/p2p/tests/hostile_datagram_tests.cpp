// Datagrams nobody should send: none of them may take the endpoint down or stop it from
// serving a real peer right afterwards.
#include <gtest/gtest.h>

#include "support.hpp"

namespace {

using namespace p2p::test_support;
using Bytes = std::vector<std::uint8_t>;

constexpr char alpn[] = "test-hostile/0";

class HostileDatagramTest : public ::testing::TestWithParam<Datagram> {};

TEST_P(HostileDatagramTest, EndpointSurvivesAndStillServesAPeer) {
    auto runtime = *p2p::Runtime::create();
    auto server = *p2p::Endpoint::bind(runtime, loopback());
    auto client = *p2p::Endpoint::bind(runtime, loopback());
    auto handler = std::make_shared<Collect>();
    auto router = p2p::Router::builder(server).accept(alpn, handler).spawn();

    RawUdp raw;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(raw.send_to(v4_port(server), GetParam().bytes));

    auto conn = wait(client.connect(server.addr(), alpn));
    ASSERT_TRUE(conn) << conn.error().message;
    auto accepted = wait(handler->next());
    ASSERT_TRUE(accepted) << accepted.error().message;
    auto out = wait(conn->open_uni());
    ASSERT_TRUE(out);
    EXPECT_TRUE(wait(out->write_all({4, 5, 6})));
    auto in = wait(accepted->accept_uni());
    ASSERT_TRUE(in);
    auto got = wait(in->read_exact(3));
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(*got, (Bytes{4, 5, 6}));
}

INSTANTIATE_TEST_SUITE_P(Datagrams, HostileDatagramTest, ::testing::ValuesIn(hostile_datagrams()),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
