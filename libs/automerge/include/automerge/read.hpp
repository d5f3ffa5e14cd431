#pragma once

// Cheap reads for views that walk large documents: an object is resolved once into an
// `ObjHandle`, and values come back as `ValueRef`s that point into the document instead of
// copying strings or building an `ObjId` per value.

#include <automerge/types.hpp>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace automerge {

namespace op_set {
class Document;
}

// An object of one document, resolved. Objects are never removed from a document, so a
// handle stays valid for the life of the document it came from (and of its forks); using it
// on another document reads nothing or the wrong object. The root is `ObjHandle{}`.
class ObjHandle {
  public:
    ObjHandle() = default;
    bool is_root() const { return m_index == 0; }
    // Stable per document; usable as a map key.
    uint32_t index() const { return m_index; }
    auto operator<=>(ObjHandle const&) const = default;

  private:
    friend class AutoCommit;
    friend class ValueRef;
    explicit ObjHandle(uint32_t index) : m_index(index) {}
    uint32_t m_index = 0;
};

// The visible value at a key or list position, read in place. Strings and bytes point into
// the document: they stay valid until the next write to, merge into or load into the
// document, so copy what must outlive that.
class ValueRef {
  public:
    bool is_object() const { return m_obj_type.has_value(); }
    // Set when the value is an object.
    std::optional<ObjType> object_type() const { return m_obj_type; }
    std::optional<ObjHandle> object() const {
        return m_obj_type ? std::optional<ObjHandle>(ObjHandle(m_obj)) : std::nullopt;
    }

    // Typed reads: nullopt when the value has another type.
    std::optional<std::string_view> as_string() const;
    // Signed and unsigned integers (when they fit) and counters (with increments applied).
    std::optional<int64_t> as_int() const;
    std::optional<uint64_t> as_uint() const;
    std::optional<double> as_f64() const;
    std::optional<bool> as_bool() const;
    // Milliseconds since the epoch.
    std::optional<int64_t> as_timestamp() const;
    std::optional<std::span<uint8_t const>> as_bytes() const;
    bool is_null() const;
    // A copy of the scalar (std::monostate for objects), counters with increments applied.
    ScalarValue scalar() const;

  private:
    friend class AutoCommit;
    ScalarValue const* m_scalar = nullptr;  // null for objects
    int64_t m_increments = 0;               // counters: the sum of their increments
    std::optional<ObjType> m_obj_type;
    uint32_t m_obj = 0;
};

// One visible key of a map and its winning value.
struct MapField {
    std::string_view key;  // valid as long as the document
    ValueRef value;
};

}  // namespace automerge
