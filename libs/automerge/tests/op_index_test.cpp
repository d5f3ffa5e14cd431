#include "op_set/op_index.hpp"

#include <gtest/gtest.h>

namespace automerge::op_set {
namespace {

using storage::OpRef;

// Ids placed in insertion order; some land in an actor's counter table, some (far counters,
// huge actors) in the hash table, and a duplicate must be refused wherever the first copy is.
struct IndexCase {
    char const* name;
    std::vector<OpRef> ids;
    uint32_t reserve_actor = UINT32_MAX;
    uint64_t reserve_max = 0;
};

class OpIndexIds : public testing::TestWithParam<IndexCase> {};

TEST_P(OpIndexIds, FindsEveryIdAndRefusesDuplicates) {
    OpIndex index;
    auto const& c = GetParam();
    if (c.reserve_actor != UINT32_MAX) index.reserve_actor(c.reserve_actor, c.reserve_max, 16);
    for (uint32_t i = 0; i < c.ids.size(); ++i) ASSERT_TRUE(index.insert(c.ids[i], i)) << i;
    EXPECT_EQ(index.size(), c.ids.size());
    for (uint32_t i = 0; i < c.ids.size(); ++i) {
        EXPECT_EQ(index.find(c.ids[i]), i);
        EXPECT_FALSE(index.insert(c.ids[i], 999)) << i;
    }
    EXPECT_EQ(index.size(), c.ids.size());
    for (auto const& id : c.ids) {
        EXPECT_FALSE(index.contains(OpRef{id.counter + (uint64_t{1} << 40), id.actor}));
        EXPECT_FALSE(index.contains(OpRef{id.counter, id.actor + 7}));
    }
}

std::vector<OpRef> dense_then_far() {
    std::vector<OpRef> ids;
    // Far counters first (hashed), then enough near ones that the table grows over them.
    for (uint64_t c = 20000; c < 20010; ++c) ids.push_back({c, 1});
    for (uint64_t c = 1; c < 12000; ++c) ids.push_back({c, 1});
    return ids;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, OpIndexIds,
    testing::Values(IndexCase{"root", {OpRef{}}},
                    IndexCase{"two_actors", {{1, 0}, {1, 1}, {2, 0}, {3, 1}, {2, 1}}},
                    IndexCase{"far_counters", {{UINT64_MAX, 0}, {1ull << 62, 0}, {5, 0}}},
                    IndexCase{"huge_actor", {{1, UINT32_MAX - 1}, {1, 70000}, {1, 0}}},
                    IndexCase{"grows_over_hashed", dense_then_far()},
                    IndexCase{"reserved", {{9, 2}, {1, 2}, {50000, 2}}, 2, 10}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace automerge::op_set
