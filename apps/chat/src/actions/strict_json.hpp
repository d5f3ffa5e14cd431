#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace chat::json {

struct Value;
using Array = std::vector<Value>;
// Members in document order, duplicates kept: the decoders must see a member given twice.
using Object = std::vector<std::pair<std::string, Value>>;

struct Value {
    std::variant<std::nullptr_t, bool, int64_t, uint64_t, double, std::string, Array, Object> v;

    bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
    Object const* object() const { return std::get_if<Object>(&v); }
    Array const* array() const { return std::get_if<Array>(&v); }
    std::string const* string() const { return std::get_if<std::string>(&v); }
};

// Parses one JSON text (nothing but white space may follow it). Nesting deeper than 128
// levels is refused so a hostile payload cannot exhaust the stack.
std::expected<Value, std::string> parse(std::string_view text);

// How a value is named in an "invalid type" message: `string "x"`, `integer `-1``, `map`...
std::string describe(Value const& value);

// Writes `text` as a JSON string literal (quotes, escapes, UTF-8 kept as it is).
void append_quoted(std::string& out, std::string_view text);

}  // namespace chat::json
