#pragma once

#include <automerge/automerge.hpp>
#include <string_view>

namespace vemo_ui::doc {

// Turns the text object `text` into `new_text` with the smallest single splice: the common
// prefix and suffix (in Unicode scalar values) stay untouched, so their characters keep
// their identity for concurrent edits and cursors. Equal texts write nothing. Fails on a
// non-text object or `new_text` that is not valid UTF-8, without writing.
automerge::Result<void> splice_text_diffed(automerge::AutoCommit& doc, automerge::ObjId const& text,
                                           std::string_view new_text);

}  // namespace vemo_ui::doc
