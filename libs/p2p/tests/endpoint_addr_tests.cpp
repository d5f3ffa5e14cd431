#include <gtest/gtest.h>

#include "p2p/endpoint_addr.hpp"

namespace {

using p2p::EndpointAddr;
using p2p::SocketAddr;

constexpr char id_hex[] = "3b6a27bcceb6a42d62a3a8d02a6f0d73653215771de243a63ac048a18b59da29";

TEST(EndpointAddr, JsonRoundTripKeepsIdAndAddresses) {
    auto id = p2p::PublicKey::from_text(id_hex);
    ASSERT_TRUE(id);
    EndpointAddr addr{*id,
                      {*SocketAddr::parse("127.0.0.1:41000"), *SocketAddr::parse("[::1]:41001")}};
    auto json = addr.to_json();
    EXPECT_EQ(json, std::string(R"({"id":")") + id_hex +
                        R"(","addrs":[{"Ip":"127.0.0.1:41000"},{"Ip":"[::1]:41001"}]})");
    auto back = EndpointAddr::from_json(json);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(*back, addr);
}

TEST(EndpointAddr, UnknownAddressKindsAreSkipped) {
    auto parsed = EndpointAddr::from_json(
        std::string(R"({"id":")") + id_hex +
        R"(","addrs":[{"Relay":"https://relay.example/"},{"Ip":"127.0.0.1:5"}]})");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->addrs.size(), 1u);
    EXPECT_EQ(parsed->addrs[0].to_string(), "127.0.0.1:5");
}

class MalformedTicket : public testing::TestWithParam<std::string> {};

TEST_P(MalformedTicket, IsRejectedWithAnError) {
    auto parsed = EndpointAddr::from_json(GetParam());
    ASSERT_FALSE(parsed);
    EXPECT_FALSE(parsed.error().message.empty());
}

std::string with_id(std::string const& id, std::string const& addrs) {
    return R"({"id":")" + id + R"(","addrs":)" + addrs + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Tickets, MalformedTicket,
    testing::Values(
        "", "sim://local", "{", "[]", "null", R"({"id":5,"addrs":[]})", R"({"addrs":[]})",
        with_id(id_hex, "{}"), with_id(std::string(id_hex).substr(2), "[]"),
        with_id(std::string(id_hex) + "00", "[]"),
        with_id("zz" + std::string(id_hex).substr(2), "[]"),
        with_id(id_hex, R"([{"Ip":"127.0.0.1"}])"), with_id(id_hex, R"([{"Ip":"127.0.0.1:0"}])"),
        with_id(id_hex, R"([{"Ip":"127.0.0.1:65536"}])"),
        with_id(id_hex, R"([{"Ip":"300.0.0.1:80"}])"), with_id(id_hex, R"([{"Ip":"[::1:80"}])"),
        with_id(id_hex, R"([{"Ip":"::1:80"}])"), with_id(id_hex, R"([{"Ip":7}])"),
        with_id(id_hex, R"([5])"), with_id(id_hex, R"([{"Ip":"127.0.0.1:1","x":1}])"),
        std::string(20000, '['), with_id(id_hex, "[" + std::string(100, '[') + "]")));

}  // namespace
