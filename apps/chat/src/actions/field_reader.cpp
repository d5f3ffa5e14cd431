#include "actions/field_reader.hpp"

#include <limits>

namespace chat::json {

namespace {

std::unexpected<std::string> invalid_type(Value const& v, std::string_view expected)
{
    return std::unexpected("invalid type: " + describe(v) + ", expected " + std::string(expected));
}

std::unexpected<std::string> invalid_value(Value const& v, std::string_view expected)
{
    return std::unexpected("invalid value: " + describe(v) + ", expected " + std::string(expected));
}

std::string list_names(std::vector<std::string_view> const& names)
{
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) s += i + 1 == names.size() ? (names.size() == 2 ? " or " : ", ") : ", ";
        s += "`" + std::string(names[i]) + "`";
    }
    return s;
}

std::unexpected<std::string> unknown_variant(std::string_view got,
                                             std::vector<std::string_view> const& names)
{
    return std::unexpected("unknown variant `" + std::string(got) + "`, expected one of " +
                           list_names(names));
}

}  // namespace

Status read_value(Value const& v, std::string& out)
{
    auto const* s = v.string();
    if (!s) return invalid_type(v, "a string");
    out = *s;
    return {};
}

Status read_value(Value const& v, bool& out)
{
    auto const* b = std::get_if<bool>(&v.v);
    if (!b) return invalid_type(v, "a boolean");
    out = *b;
    return {};
}

Status read_value(Value const& v, int64_t& out)
{
    if (auto const* i = std::get_if<int64_t>(&v.v)) {
        out = *i;
        return {};
    }
    if (std::holds_alternative<uint64_t>(v.v)) return invalid_value(v, "i64");
    return invalid_type(v, "i64");
}

Status read_value(Value const& v, uint64_t& out)
{
    if (auto const* i = std::get_if<int64_t>(&v.v)) {
        if (*i < 0) return invalid_value(v, "u64");
        out = uint64_t(*i);
        return {};
    }
    if (auto const* u = std::get_if<uint64_t>(&v.v)) {
        out = *u;
        return {};
    }
    return invalid_type(v, "u64");
}

Status read_value(Value const& v, uint32_t& out)
{
    uint64_t wide = 0;
    if (auto const* i = std::get_if<int64_t>(&v.v)) {
        if (*i < 0 || *i > int64_t(std::numeric_limits<uint32_t>::max()))
            return invalid_value(v, "u32");
        wide = uint64_t(*i);
    } else if (std::holds_alternative<uint64_t>(v.v)) {
        return invalid_value(v, "u32");
    } else {
        return invalid_type(v, "u32");
    }
    out = uint32_t(wide);
    return {};
}

FieldReader& FieldReader::field(std::string_view name, Reader reader, bool required)
{
    m_fields.push_back({name, std::move(reader), required});
    return *this;
}

Status FieldReader::read(Value const& value, std::string_view what) const
{
    auto const* obj = value.object();
    if (!obj) return invalid_type(value, what);
    std::vector<bool> seen(m_fields.size(), false);
    for (auto const& [key, member] : *obj) {
        for (size_t i = 0; i < m_fields.size(); ++i) {
            if (m_fields[i].name != key) continue;
            if (seen[i]) return std::unexpected("duplicate field `" + key + "`");
            seen[i] = true;
            if (auto ok = m_fields[i].reader(member); !ok) return ok;
            break;
        }
    }
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (!seen[i] && m_fields[i].required)
            return std::unexpected("missing field `" + std::string(m_fields[i].name) + "`");
    }
    return {};
}

std::expected<std::pair<size_t, Value const*>, std::string> read_variant_tag(
    Value const& v, std::vector<std::string_view> const& names, std::string_view what)
{
    if (auto const* s = v.string()) {
        // A bare name of a variant that carries fields.
        for (auto name : names)
            if (name == *s) return std::unexpected("invalid type: unit variant, expected " + std::string(what));
        return unknown_variant(*s, names);
    }
    auto const* obj = v.object();
    if (!obj) return invalid_type(v, what);
    if (obj->size() != 1)
        return std::unexpected("invalid type: map with " + std::to_string(obj->size()) +
                               " members, expected " + std::string(what) + " (one variant)");
    auto const& [key, inner] = obj->front();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == key) return std::pair{i, &inner};
    return unknown_variant(key, names);
}

std::expected<size_t, std::string> read_unit_variant(Value const& v,
                                                     std::vector<std::string_view> const& names,
                                                     std::string_view what)
{
    auto const* s = v.string();
    if (!s) return invalid_type(v, what);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == *s) return i;
    return unknown_variant(*s, names);
}

}  // namespace chat::json
