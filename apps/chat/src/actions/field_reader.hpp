#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "actions/strict_json.hpp"

namespace chat::json {

using Status = std::expected<void, std::string>;

// Scalar readers with the error texts decoders report.
Status read_value(Value const& v, std::string& out);
Status read_value(Value const& v, bool& out);
Status read_value(Value const& v, int64_t& out);
Status read_value(Value const& v, uint64_t& out);
Status read_value(Value const& v, uint32_t& out);

// Reads the members of one JSON object into fields, in the object's own order: a member
// named like a field is read (a second one is a "duplicate field" error), other members are
// ignored, and afterwards the first required field that never appeared is a "missing field"
// error.
class FieldReader {
public:
    using Reader = std::function<Status(Value const&)>;

    FieldReader& field(std::string_view name, Reader reader, bool required = true);

    template <class T>
    FieldReader& required(std::string_view name, T& out)
    {
        return field(name, [&out](Value const& v) { return read_value(v, out); });
    }

    // Absent or null leaves `out` empty.
    template <class T>
    FieldReader& optional(std::string_view name, std::optional<T>& out)
    {
        return field(
            name,
            [&out](Value const& v) -> Status {
                if (v.is_null()) {
                    out.reset();
                    return {};
                }
                T value{};
                if (auto ok = read_value(v, value); !ok) return ok;
                out = std::move(value);
                return {};
            },
            false);
    }

    // `what` names the expected thing in the "invalid type" error ("struct SendMessage").
    Status read(Value const& value, std::string_view what) const;

private:
    struct Field {
        std::string_view name;
        Reader reader;
        bool required;
    };
    std::vector<Field> m_fields;
};

// A list whose elements each go through `element`.
template <class T, class F>
Status read_list(Value const& v, std::vector<T>& out, F element)
{
    auto const* arr = v.array();
    if (!arr) return std::unexpected("invalid type: " + describe(v) + ", expected a sequence");
    out.clear();
    out.reserve(arr->size());
    for (auto const& item : *arr) {
        T value{};
        if (auto ok = element(item, value); !ok) return ok;
        out.push_back(std::move(value));
    }
    return {};
}

// External tagging: an object with exactly one member whose key is a variant name.
// Returns the index of the name in `names` and the member's value.
std::expected<std::pair<size_t, Value const*>, std::string> read_variant_tag(
    Value const& v, std::vector<std::string_view> const& names, std::string_view what);

// A bare variant name given as a JSON string ("Voice").
std::expected<size_t, std::string> read_unit_variant(Value const& v,
                                                     std::vector<std::string_view> const& names,
                                                     std::string_view what);

}  // namespace chat::json
