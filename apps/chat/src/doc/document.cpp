#include "doc/document.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>

#include "doc/internal_error.hpp"

namespace chat::doc {

namespace {

using automerge::ScalarValue;

// The value under `key`, or nothing for a missing object or key.
std::optional<ValueRef> lookup(AutoCommit const& doc, ObjId const& obj, std::string_view key) {
    auto handle = doc.handle(obj);
    if (!handle) return std::nullopt;
    return doc.read(*handle, key);
}

std::optional<ObjId> object_of_kind(AutoCommit& doc, ObjId const& obj, std::string_view key,
                                    ObjType kind) {
    auto found = lookup(doc, obj, key);
    auto object = found ? object_of(*found, kind) : std::nullopt;
    if (!object) return std::nullopt;
    return doc.obj_id(*object);
}

Result<ObjId> ensure_object(AutoCommit& doc, ObjId const& obj, std::string_view key, ObjType kind) {
    if (auto existing = object_of_kind(doc, obj, key, kind)) return *existing;
    return put_object(doc, obj, key, kind);
}

int64_t truncate_to_int(double value) {
    constexpr double two_to_63 = 9223372036854775808.0;
    if (value >= two_to_63) return std::numeric_limits<int64_t>::max();
    if (value < -two_to_63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);  // truncates towards zero
}

struct Utf8Scan {
    size_t length;  // bytes of the sequence, or of its broken start
    bool valid;
};

// Looks at the sequence starting at `s[i]`. A broken one is reported with the length of its
// longest start that could still have become valid (at least one byte), so that each broken
// sequence turns into a single U+FFFD, as Unicode recommends.
Utf8Scan scan_utf8(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return {1, true};
    size_t len = 0;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) lo = 0xA0;  // overlong
        if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) lo = 0x90;  // overlong
        if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return {1, false};
    }
    size_t k = 1;
    for (; k < len && i + k < s.size(); ++k) {
        unsigned b = byte(i + k);
        bool fits = k == 1 ? (b >= lo && b <= hi) : (b & 0xC0) == 0x80;
        if (!fits) break;
    }
    return {k, k == len};
}

bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        auto scan = scan_utf8(s, i);
        if (!scan.valid) return false;
        i += scan.length;
    }
    return true;
}

}  // namespace

void internal_error(std::string_view label, automerge::Error const& error) {
    std::fprintf(stderr, "chat document internal error: %.*s: %s\n", int(label.size()),
                 label.data(), error.message.c_str());
    std::abort();
}

std::string sanitized_utf8(std::string_view text) {
    if (valid_utf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size();) {
        auto scan = scan_utf8(text, i);
        if (scan.valid)
            out.append(text.substr(i, scan.length));
        else
            out += "\xEF\xBF\xBD";
        i += scan.length;
    }
    return out;
}

bool valid_key(std::string_view key) {
    return valid_utf8(key);
}

Result<void> put_str(AutoCommit& doc, ObjId const& obj, std::string_view key,
                     std::string_view value) {
    doc.ensure_transaction_open();
    return doc.put(obj, std::string(key), ScalarValue{sanitized_utf8(value)});
}

Result<void> put_int(AutoCommit& doc, ObjId const& obj, std::string_view key, int64_t value) {
    doc.ensure_transaction_open();
    return doc.put(obj, std::string(key), ScalarValue{value});
}

Result<void> put_bool(AutoCommit& doc, ObjId const& obj, std::string_view key, bool value) {
    doc.ensure_transaction_open();
    return doc.put(obj, std::string(key), ScalarValue{value});
}

Result<ObjId> put_object(AutoCommit& doc, ObjId const& obj, std::string_view key, ObjType kind) {
    doc.ensure_transaction_open();
    return doc.put_object(obj, std::string(key), kind);
}

Result<ObjId> insert_map(AutoCommit& doc, ObjId const& list, size_t index) {
    doc.ensure_transaction_open();
    return doc.insert_object(list, index, ObjType::Map);
}

Result<void> delete_key(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    doc.ensure_transaction_open();
    return doc.remove(obj, std::string(key));
}

Result<void> delete_index(AutoCommit& doc, ObjId const& list, size_t index) {
    doc.ensure_transaction_open();
    return doc.remove(list, index);
}

Result<void> splice_text(AutoCommit& doc, ObjId const& text, size_t pos, size_t del,
                         std::string_view insert) {
    doc.ensure_transaction_open();
    return doc.splice_text(text, pos, del, sanitized_utf8(insert));
}

Result<ObjId> ensure_map(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    return ensure_object(doc, obj, key, ObjType::Map);
}

Result<ObjId> ensure_list(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    return ensure_object(doc, obj, key, ObjType::List);
}

Result<ObjId> ensure_text(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    return ensure_object(doc, obj, key, ObjType::Text);
}

std::optional<ObjId> get_map(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    return object_of_kind(doc, obj, key, ObjType::Map);
}

std::optional<ObjId> get_list(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    return object_of_kind(doc, obj, key, ObjType::List);
}

std::optional<std::string> get_str(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    auto value = lookup(doc, obj, key);
    auto s = value ? str_of(*value) : std::nullopt;
    if (!s) return std::nullopt;
    return std::string(*s);
}

std::optional<int64_t> get_int(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    auto value = lookup(doc, obj, key);
    return value ? int_of(*value) : std::nullopt;
}

std::optional<bool> get_bool(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    auto value = lookup(doc, obj, key);
    return value ? bool_of(*value) : std::nullopt;
}

std::optional<std::string> get_text(AutoCommit& doc, ObjId const& obj, std::string_view key) {
    auto handle = doc.handle(obj);
    auto text = handle ? get_text_object(doc, *handle, key) : std::nullopt;
    if (!text) return std::nullopt;
    return std::string(doc.text(*text));
}

std::vector<std::string> keys(AutoCommit& doc, ObjId const& obj) {
    return doc.keys(obj);
}

size_t length(AutoCommit& doc, ObjId const& list) {
    return doc.length(list);
}

std::optional<ObjId> get_at(AutoCommit& doc, ObjId const& list, size_t index) {
    auto handle = doc.handle(list);
    auto value = handle ? doc.read(*handle, index) : std::nullopt;
    auto map = value ? object_of(*value, ObjType::Map) : std::nullopt;
    if (!map) return std::nullopt;
    return doc.obj_id(*map);
}

std::optional<ObjHandle> object_of(ValueRef const& value, ObjType kind) {
    if (value.object_type() != kind) return std::nullopt;
    return value.object();
}

std::optional<std::string_view> str_of(ValueRef const& value) {
    return value.as_string();
}

std::optional<int64_t> int_of(ValueRef const& value) {
    if (auto i = value.as_int()) return i;  // integers, counters, unsigned that fit
    if (auto u = value.as_uint()) return static_cast<int64_t>(*u);
    if (auto d = value.as_f64()) {
        if (std::isnan(*d)) return std::nullopt;
        return truncate_to_int(*d);
    }
    return value.as_timestamp();
}

std::optional<bool> bool_of(ValueRef const& value) {
    return value.as_bool();
}

std::optional<ObjHandle> get_map(AutoCommit const& doc, ObjHandle obj, std::string_view key) {
    auto value = doc.read(obj, key);
    return value ? object_of(*value, ObjType::Map) : std::nullopt;
}

std::optional<ObjHandle> get_list(AutoCommit const& doc, ObjHandle obj, std::string_view key) {
    auto value = doc.read(obj, key);
    return value ? object_of(*value, ObjType::List) : std::nullopt;
}

std::optional<ObjHandle> get_text_object(AutoCommit const& doc, ObjHandle obj,
                                         std::string_view key) {
    auto value = doc.read(obj, key);
    return value ? object_of(*value, ObjType::Text) : std::nullopt;
}

std::optional<std::string_view> get_str(AutoCommit const& doc, ObjHandle obj,
                                        std::string_view key) {
    auto value = doc.read(obj, key);
    return value ? str_of(*value) : std::nullopt;
}

std::optional<int64_t> get_int(AutoCommit const& doc, ObjHandle obj, std::string_view key) {
    auto value = doc.read(obj, key);
    return value ? int_of(*value) : std::nullopt;
}

std::optional<bool> get_bool(AutoCommit const& doc, ObjHandle obj, std::string_view key) {
    auto value = doc.read(obj, key);
    return value ? bool_of(*value) : std::nullopt;
}

std::vector<ListMap> list_maps(AutoCommit const& doc, ObjHandle list) {
    std::vector<ListMap> out;
    out.reserve(doc.length(list));
    size_t i = 0;
    doc.for_each_element(list, [&](ValueRef const& value) {
        if (auto map = object_of(value, ObjType::Map)) out.push_back(ListMap{i, *map});
        ++i;
    });
    return out;
}

}  // namespace chat::doc
