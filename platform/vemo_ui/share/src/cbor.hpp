#pragma once

// The small part of CBOR that sync servers speak: maps with text keys, text and byte
// strings, arrays, integers, floats, booleans and null. Decoding checks every length against
// the input and limits nesting, so hostile bytes only ever produce an error.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vemo_ui::share::cbor {

struct Value;
using Array = std::vector<Value>;
using Map = std::vector<std::pair<Value, Value>>;
using Bytes = std::vector<std::uint8_t>;

struct Value {
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, Bytes,
                 Array, Map>
        v;

    Value() : v(nullptr) {}
    template <class T>
    Value(T x) : v(std::move(x)) {}
    Value(char const* s) : v(std::string(s)) {}

    // For a map: the value under a text key.
    Value const* find(std::string_view key) const;
    std::string const* text() const { return std::get_if<std::string>(&v); }
    Bytes const* bytes() const { return std::get_if<Bytes>(&v); }
};

std::vector<std::uint8_t> encode(Value const& value);
std::expected<Value, std::string> decode(std::span<std::uint8_t const> bytes);

}  // namespace vemo_ui::share::cbor
