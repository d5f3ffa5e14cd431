#pragma once

#include <automerge/automerge.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The typed primitives through which the chat touches its document. Reads never fail: a
// missing object, a missing key or a value of another kind reads as "nothing" (or empty / 0),
// so a document written by an older or newer peer can always be shown. Writes return the
// engine's error; the operations built on them treat an error on an object they have just
// created or verified as an internal error (see internal_error).
namespace chat::doc {

using automerge::AutoCommit;
using automerge::ObjId;
using automerge::ObjType;
template <class T>
using Result = automerge::Result<T>;

// Writes. Each opens a transaction when none is open; committing is the store's business.
// Strings that are not valid UTF-8 are stored with U+FFFD in place of the broken bytes: the
// document format only holds UTF-8, and a name taken from the environment may not be.
Result<void> put_str(AutoCommit& doc, ObjId const& obj, std::string_view key,
                     std::string_view value);
Result<void> put_int(AutoCommit& doc, ObjId const& obj, std::string_view key, int64_t value);
Result<void> put_bool(AutoCommit& doc, ObjId const& obj, std::string_view key, bool value);
Result<ObjId> put_object(AutoCommit& doc, ObjId const& obj, std::string_view key, ObjType kind);
Result<ObjId> insert_map(AutoCommit& doc, ObjId const& list, size_t index);
Result<void> delete_key(AutoCommit& doc, ObjId const& obj, std::string_view key);
Result<void> delete_index(AutoCommit& doc, ObjId const& list, size_t index);
Result<void> splice_text(AutoCommit& doc, ObjId const& text, size_t pos, size_t del,
                         std::string_view insert);
// The object already under `key` when it is of that kind, else a new one put there.
Result<ObjId> ensure_map(AutoCommit& doc, ObjId const& obj, std::string_view key);
Result<ObjId> ensure_list(AutoCommit& doc, ObjId const& obj, std::string_view key);
Result<ObjId> ensure_text(AutoCommit& doc, ObjId const& obj, std::string_view key);

// Reads; none of them writes.
std::optional<ObjId> get_map(AutoCommit& doc, ObjId const& obj, std::string_view key);
std::optional<ObjId> get_list(AutoCommit& doc, ObjId const& obj, std::string_view key);
std::optional<std::string> get_str(AutoCommit& doc, ObjId const& obj, std::string_view key);
// Any numeric scalar: integers, unsigned (as its 64-bit pattern), floats (truncated towards
// zero and saturated; NaN is not a number here), counters and timestamps.
std::optional<int64_t> get_int(AutoCommit& doc, ObjId const& obj, std::string_view key);
std::optional<bool> get_bool(AutoCommit& doc, ObjId const& obj, std::string_view key);
std::optional<std::string> get_text(AutoCommit& doc, ObjId const& obj, std::string_view key);
std::vector<std::string> keys(AutoCommit& doc, ObjId const& obj);
size_t length(AutoCommit& doc, ObjId const& list);
// The map at `index` of a list; nothing when the element is not a map.
std::optional<ObjId> get_at(AutoCommit& doc, ObjId const& list, size_t index);

// Whether `key` can name an entry of a map: map keys are UTF-8.
bool valid_key(std::string_view key);

// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string sanitized_utf8(std::string_view text);

}  // namespace chat::doc
