#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "child_process.hpp"

namespace {

using chat::testing::spawn_child;

TEST(TwoProcesses, ExchangeMediaFramesThroughTickets) {
    char const* path = std::getenv("MEDIA_PEER");
    ASSERT_NE(path, nullptr) << "MEDIA_PEER names the helper executable";
    auto a = spawn_child({path, "50"});
    auto b = spawn_child({path, "50"});
    auto ticket_a = a.read_line(5000);
    auto ticket_b = b.read_line(5000);
    ASSERT_FALSE(ticket_a.empty());
    ASSERT_FALSE(ticket_b.empty());
    EXPECT_NE(ticket_a, ticket_b);
    a.write_line(ticket_b);
    b.write_line(ticket_a);
    EXPECT_EQ(a.read_line(15000), "done");
    EXPECT_EQ(b.read_line(15000), "done");
    EXPECT_EQ(a.finish(), 0);
    EXPECT_EQ(b.finish(), 0);
}

}  // namespace
