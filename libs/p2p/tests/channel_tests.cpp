#include <gtest/gtest.h>

#include <vector>

#include "p2p/channel.hpp"

namespace {

p2p::Executor inline_executor() {
    return [](std::move_only_function<void()> task) { task(); };
}

TEST(Channel, RefusesWhenFullAndKeepsOrder) {
    auto [tx, rx] = p2p::bounded_channel<int>(3);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(tx.try_send(i));
    EXPECT_EQ(tx.try_send(3), p2p::TrySendError::Full);
    EXPECT_EQ(rx.try_recv(), 0);
    EXPECT_FALSE(tx.try_send(4));
    EXPECT_EQ(rx.try_recv(), 1);
    EXPECT_EQ(rx.try_recv(), 2);
    EXPECT_EQ(rx.try_recv(), 4);
    EXPECT_EQ(rx.try_recv(), std::nullopt);
}

TEST(Channel, DroppingTheReceiverClosesItForSenders) {
    auto pair = p2p::bounded_channel<int>(3);
    auto tx = pair.first;
    { auto rx = std::move(pair.second); }
    EXPECT_EQ(tx.try_send(1), p2p::TrySendError::Closed);
    EXPECT_TRUE(tx.is_closed());
}

TEST(Channel, AsyncReceiveSeesItemsThenTheEndOnceAllSendersAreGone) {
    std::vector<std::optional<int>> seen;
    auto [tx, rx] = p2p::bounded_channel<int>(2);
    auto receive = [&] {
        rx.recv_async(inline_executor(), [&](std::optional<int> item) { seen.push_back(item); });
    };
    receive();
    EXPECT_TRUE(seen.empty());
    EXPECT_FALSE(tx.try_send(7));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], 7);
    {
        auto copy = tx;
        auto gone = std::move(tx);
    }
    receive();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], std::nullopt);
    EXPECT_TRUE(rx.is_finished());
}

}  // namespace
