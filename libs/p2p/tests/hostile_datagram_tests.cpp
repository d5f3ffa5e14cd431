// Datagrams nobody should send: none of them may take the endpoint down or stop it from
// serving a real peer right afterwards.
#include <gtest/gtest.h>

#include <random>

#include "support.hpp"

namespace {

using namespace p2p::test_support;
using Bytes = std::vector<std::uint8_t>;

constexpr char alpn[] = "test-hostile/0";

Bytes long_header(std::uint32_t version, std::uint8_t first, std::size_t dcid_len,
                  std::size_t total) {
    Bytes out{first,
              static_cast<std::uint8_t>(version >> 24),
              static_cast<std::uint8_t>(version >> 16),
              static_cast<std::uint8_t>(version >> 8),
              static_cast<std::uint8_t>(version),
              static_cast<std::uint8_t>(dcid_len)};
    std::mt19937 rng(static_cast<unsigned>(dcid_len * 131 + total));
    while (out.size() < total) out.push_back(static_cast<std::uint8_t>(rng()));
    if (out.size() > 6 + dcid_len) out[6 + dcid_len] = 8;  // source id length
    out.resize(total);
    return out;
}

Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

struct Datagram {
    char const* name;
    Bytes bytes;
};

std::vector<Datagram> hostile_datagrams() {
    return {
        {"Empty", {}},
        {"OneZeroByte", {0x00}},
        {"OneShortHeaderByte", {0x40}},
        {"OneLongHeaderByte", {0xc0}},
        {"LongHeaderCutInTheVersion", {0xc0, 0x00, 0x00}},
        {"LongHeaderCutAfterTheIdLength", long_header(1, 0xc0, 20, 6)},
        {"ShortHeaderBelowTheSmallestPacket", random_bytes(20, 1)},
        {"IdLengthBeyondTheDatagram", long_header(1, 0xc0, 255, 60)},
        {"IdLongerThanQuicAllows", long_header(1, 0xc0, 21, 1200)},
        {"InitialWithGarbageProtection", long_header(1, 0xc0, 8, 1200)},
        {"InitialWithShortId", long_header(1, 0xc0, 4, 1200)},
        {"InitialBelowTheMinimumSize", long_header(1, 0xc0, 8, 600)},
        {"ZeroRttBeforeAnyInitial", long_header(1, 0xd0, 8, 1200)},
        {"HandshakeForNoConnection", long_header(1, 0xe0, 8, 1200)},
        {"RetryForNoConnection", long_header(1, 0xf0, 8, 100)},
        {"ReservedVersion", long_header(0x1a2a3a4a, 0xc0, 8, 1200)},
        {"UnknownVersion", long_header(0xff00001d, 0xc0, 8, 1200)},
        {"VersionNegotiation", long_header(0, 0x80, 8, 40)},
        {"RandomFullSize", random_bytes(1200, 2)},
        {"RandomLargest", random_bytes(65000, 3)},
    };
}

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
