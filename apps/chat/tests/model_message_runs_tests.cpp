#include <gtest/gtest.h>

#include <algorithm>
#include <ranges>

#include "model/message_runs.hpp"

namespace chat::model {
namespace {

static_assert(std::random_access_iterator<MessageRuns::iterator>);
static_assert(std::random_access_iterator<MessageRuns::const_iterator>);
static_assert(std::ranges::random_access_range<MessageRuns const>);

using Lists = std::vector<std::vector<Message>>;

Message msg(std::string channel, std::string id) {
    Message m;
    m.id = std::move(id);
    m.channel = std::move(channel);
    return m;
}

std::vector<std::string> ids(auto const& range) {
    std::vector<std::string> out;
    for (auto const& m : range) out.push_back(m.id);
    return out;
}

// A layout with empty runs at the start, in the middle and at the end, as the live view
// keeps for channels without messages.
MessageRuns with_empty_runs() {
    return MessageRuns(Lists{{},
                             {msg("a", "a1"), msg("a", "a2")},
                             {},
                             {},
                             {msg("c", "c1")},
                             {msg("d", "d1"), msg("d", "d2"), msg("d", "d3")},
                             {}});
}

TEST(MessageRuns, ReadsEmptyRunsAsNothingInEveryDirection) {
    auto runs = with_empty_runs();
    std::vector<std::string> const expected{"a1", "a2", "c1", "d1", "d2", "d3"};
    ASSERT_EQ(runs.size(), expected.size());
    EXPECT_EQ(ids(runs), expected);
    EXPECT_EQ(ids(std::ranges::subrange(runs.rbegin(), runs.rend())),
              std::vector<std::string>(expected.rbegin(), expected.rend()));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(runs[i].id, expected[i]);
        EXPECT_EQ((runs.begin() + ptrdiff_t(i))->id, expected[i]);
        EXPECT_EQ(runs.end() - (runs.begin() + ptrdiff_t(i)), ptrdiff_t(expected.size() - i));
        EXPECT_EQ((runs.end() - ptrdiff_t(expected.size() - i))->id, expected[i]);
    }
    EXPECT_EQ(runs.begin() + ptrdiff_t(expected.size()), runs.end());
    EXPECT_EQ(runs.front().id, "a1");
    EXPECT_EQ(runs.back().id, "d3");
    EXPECT_EQ(ids(runs.channel("d")), (std::vector<std::string>{"d1", "d2", "d3"}));
    EXPECT_TRUE(runs.channel("b").empty());
    MessageRuns none(Lists{{}, {}});
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.begin(), none.end());
}

TEST(MessageRuns, EqualsByMessagesWhateverTheRunsAre) {
    MessageRuns pushed;
    for (auto const& m : with_empty_runs()) pushed.push_back(m);
    EXPECT_EQ(pushed, with_empty_runs());
    EXPECT_EQ(pushed.run_count(), 3u);  // pushing groups consecutive messages of one channel
    MessageRuns shorter = {msg("a", "a1"), msg("a", "a2")};
    EXPECT_NE(shorter, with_empty_runs());
    EXPECT_NE(shorter, (MessageRuns{msg("a", "a1"), msg("a", "a3")}));
}

TEST(MessageRuns, InsertsIntoTheRunOfTheMessagesChannel) {
    struct Case {
        char const* name;
        size_t at;  // position in the sequence a1 a2 c1 d1 d2 d3
        Message m;
        std::vector<std::string> expected;
        size_t run;  // the run the message lands in
    };
    std::vector<Case> const cases = {
        {"start", 0, msg("a", "a0"), {"a0", "a1", "a2", "c1", "d1", "d2", "d3"}, 1},
        {"middle of a run", 4, msg("d", "dx"), {"a1", "a2", "c1", "d1", "dx", "d2", "d3"}, 5},
        // At c1, the start of c's run: an "a" message ends a's run across the empty runs.
        {"end of the run before", 2, msg("a", "a3"), {"a1", "a2", "a3", "c1", "d1", "d2", "d3"}, 1},
        {"start of its own run", 2, msg("c", "c0"), {"a1", "a2", "c0", "c1", "d1", "d2", "d3"}, 4},
        {"past the end", 6, msg("d", "d4"), {"a1", "a2", "c1", "d1", "d2", "d3", "d4"}, 5},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        auto runs = with_empty_runs();
        auto it = runs.insert(runs.begin() + ptrdiff_t(c.at), c.m);
        EXPECT_EQ(it->id, c.m.id);
        EXPECT_EQ(ids(runs), c.expected);
        EXPECT_EQ(runs.size(), c.expected.size());
        EXPECT_EQ(runs.back().id, c.expected.back());
        EXPECT_EQ(std::ranges::count(ids(runs.run(c.run)), c.m.id), 1);
    }
}

TEST(MessageRuns, RecountsAfterRunsChangeInPlace) {
    auto runs = with_empty_runs();
    runs.run_for_update(2).push_back(msg("b", "b1"));
    runs.run_for_update(5).pop_back();
    runs.recount();
    EXPECT_EQ(ids(runs), (std::vector<std::string>{"a1", "a2", "b1", "c1", "d1", "d2"}));
    EXPECT_EQ(runs[2].id, "b1");
    EXPECT_EQ(runs.back().id, "d2");
    runs.clear();
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(runs.begin(), runs.end());
}

}  // namespace
}  // namespace chat::model
