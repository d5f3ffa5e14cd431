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
using automerge::ObjHandle;
using automerge::ObjId;
using automerge::ObjType;
using automerge::ValueRef;
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

// The same reads through resolved handles, for code that walks much of the document: no id is
// built and no string copied per value. Strings point into the document and stay valid until
// its next write, merge or load. The rules for what counts as which kind are those above.
std::optional<ObjHandle> object_of(ValueRef const& value, ObjType kind);
std::optional<std::string_view> str_of(ValueRef const& value);
std::optional<int64_t> int_of(ValueRef const& value);
std::optional<bool> bool_of(ValueRef const& value);
std::optional<ObjHandle> get_map(AutoCommit const& doc, ObjHandle obj, std::string_view key);
std::optional<ObjHandle> get_list(AutoCommit const& doc, ObjHandle obj, std::string_view key);
std::optional<ObjHandle> get_text_object(AutoCommit const& doc, ObjHandle obj,
                                         std::string_view key);
std::optional<std::string_view> get_str(AutoCommit const& doc, ObjHandle obj, std::string_view key);
std::optional<int64_t> get_int(AutoCommit const& doc, ObjHandle obj, std::string_view key);
std::optional<bool> get_bool(AutoCommit const& doc, ObjHandle obj, std::string_view key);
// The maps among a list's elements, with their list indexes.
struct ListMap {
    size_t index;
    ObjHandle map;
};
std::vector<ListMap> list_maps(AutoCommit const& doc, ObjHandle list);

// Whether `key` can name an entry of a map: map keys are UTF-8.
bool valid_key(std::string_view key);

// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string sanitized_utf8(std::string_view text);

}  // namespace chat::doc
