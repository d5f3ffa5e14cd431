#include <gtest/gtest.h>

#include "op_set/op_set.hpp"

namespace automerge::op_set {
namespace {

using storage::OpRef;
using storage::OpRow;

OpRow make(OpRef obj, std::string key, OpRef id, uint64_t action) {
    OpRow row;
    row.obj = obj;
    row.key_str = std::move(key);
    row.id = id;
    row.action = action;
    return row;
}

OpRow character(OpRef text, OpRef after, OpRef id, std::string c) {
    OpRow row;
    row.obj = text;
    row.elem = after;
    row.id = id;
    row.insert = true;
    row.action = storage::set;
    row.value = std::move(c);
    return row;
}

// A saved document keeps each object's rows together, but one that does not is still read: a
// text whose characters come in two groups with another object's rows between them reads
// whole, not as the first group gathered when it seemed complete.
TEST(OpSetLoad, TextWhoseRowsComeInTwoGroupsReadsWhole) {
    OpSet ops;
    ops.set_actor_ranks({0});
    OpSet::Loading state;
    OpRef const text{1, 0}, list{2, 0};
    ASSERT_TRUE(ops.load_row(make({}, "body", text, storage::make_text), state));
    ASSERT_TRUE(ops.load_row(make({}, "items", list, storage::make_list), state));
    ASSERT_TRUE(ops.load_row(character(text, {}, {3, 0}, "a"), state));
    ASSERT_TRUE(ops.load_row(character(text, {3, 0}, {4, 0}, "b"), state));
    OpRow item = character(list, {}, {5, 0}, "x");
    ASSERT_TRUE(ops.load_row(std::move(item), state));
    ASSERT_TRUE(ops.load_row(character(text, {4, 0}, {6, 0}, "c"), state));
    ops.finish_load(state);
    auto const body = ops.object(text);
    ASSERT_TRUE(body);
    EXPECT_EQ(ops.text(*body), "abc");
    EXPECT_EQ(ops.length(*body), 3u);
    EXPECT_EQ(ops.length(*ops.object(list)), 1u);
}

}  // namespace
}  // namespace automerge::op_set
