#pragma once

// The ops of the changes a reader has not seen yet, decoded again from the stored changes.
// One walk serves both ways of asking what changed: the objects touched and the paths written.

#include <automerge/types.hpp>
#include <functional>
#include <span>

#include "op_set/document.hpp"
#include "storage/ops.hpp"

namespace automerge {

// Calls f(obj, row, id) for each op of the changes not reachable from `since` (unknown hashes
// in `since` are ignored), change by change in the order they were applied, where `obj` is the
// index of the object the op is in (the root is 0) and `id` the op's id. Ops in objects the op
// set does not hold are skipped.
void for_each_op_since(
    op_set::Document& doc, std::span<ChangeHash const> since,
    std::function<void(uint32_t obj, storage::OpRow const& row, storage::OpRef id)> const& f);

}  // namespace automerge
