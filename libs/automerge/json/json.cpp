#include "automerge/json.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>

namespace automerge {

using automerge::AutoCommit;
using automerge::fail;
using automerge::ObjId;
using automerge::ObjType;
using automerge::Prop;
using automerge::Result;
using automerge::ScalarValue;
using nlohmann::json;

std::string base64(std::span<uint8_t const> bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = uint32_t{bytes[i]} << 16;
        if (i + 1 < bytes.size()) chunk |= uint32_t{bytes[i + 1]} << 8;
        if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
        out += alphabet[(chunk >> 18) & 63];
        out += alphabet[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
    }
    return out;
}

std::string iso8601_utc(int64_t millis) {
    int64_t seconds = millis / 1000;
    int64_t ms = millis % 1000;
    if (ms < 0) {
        ms += 1000;
        seconds -= 1;
    }
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return std::to_string(millis);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return buf;
}

namespace {

json scalar_json(ScalarValue const& v) {
    struct Visitor {
        json operator()(std::monostate) const { return nullptr; }
        json operator()(bool b) const { return b; }
        json operator()(int64_t i) const { return i; }
        json operator()(uint64_t u) const { return u; }
        json operator()(double d) const { return std::isfinite(d) ? json(d) : json(nullptr); }
        json operator()(automerge::Counter c) const { return c.value; }
        json operator()(automerge::Timestamp t) const { return iso8601_utc(t.millis); }
        json operator()(std::string const& s) const { return s; }
        json operator()(std::vector<uint8_t> const& b) const { return base64(b); }
        json operator()(automerge::Unknown const&) const { return nullptr; }
    };
    return std::visit(Visitor{}, v);
}

class Exporter {
  public:
    explicit Exporter(AutoCommit& doc) : m_doc(doc) {}

    Result<json> object(ObjId const& id, ObjType type, size_t depth) {
        if (depth > max_json_depth) return fail("document nests deeper than the JSON limit");
        if (type == ObjType::Text) {
            auto text = m_doc.text(id);
            if (!text) return std::unexpected(text.error());
            return json(*text);
        }
        if (type == ObjType::Map) {
            json out = json::object();
            for (auto const& key : m_doc.keys(id)) {
                auto v = property(id, key, depth);
                if (!v) return v;
                out[key] = std::move(*v);
            }
            return out;
        }
        json out = json::array();
        size_t n = m_doc.length(id);
        for (size_t i = 0; i < n; ++i) {
            auto v = property(id, i, depth);
            if (!v) return v;
            out.push_back(std::move(*v));
        }
        return out;
    }

  private:
    Result<json> property(ObjId const& obj, Prop const& prop, size_t depth) {
        auto got = m_doc.get(obj, prop);
        if (!got) return std::unexpected(got.error());
        if (!*got) return json(nullptr);
        auto const& [value, id] = **got;
        if (auto const* type = std::get_if<ObjType>(&value)) return object(id, *type, depth + 1);
        return scalar_json(std::get<ScalarValue>(value));
    }

    AutoCommit& m_doc;
};

class Importer {
  public:
    explicit Importer(AutoCommit& doc) : m_doc(doc) {}

    Result<void> fill_map(ObjId const& obj, json const& members) {
        for (auto const& [key, value] : members.items()) {
            auto done = put(obj, key, value);
            if (!done) return done;
        }
        return {};
    }

  private:
    static std::optional<ObjType> container_type(json const& v) {
        if (v.is_object()) return ObjType::Map;
        if (v.is_array()) return ObjType::List;
        if (v.is_string()) return ObjType::Text;
        return std::nullopt;
    }

    static ScalarValue scalar(json const& v) {
        if (v.is_boolean()) return v.get<bool>();
        if (v.is_number_unsigned()) {
            auto u = v.get<uint64_t>();
            if (u > static_cast<uint64_t>(INT64_MAX)) return u;
            return static_cast<int64_t>(u);
        }
        if (v.is_number_integer()) return v.get<int64_t>();
        if (v.is_number_float()) return v.get<double>();
        return std::monostate{};
    }

    Result<void> fill(ObjId const& obj, ObjType type, json const& v) {
        if (type == ObjType::Map) return fill_map(obj, v);
        if (type == ObjType::Text)
            return m_doc.splice_text(obj, 0, 0, v.get_ref<std::string const&>());
        size_t index = 0;
        for (auto const& item : v) {
            auto done = insert(obj, index++, item);
            if (!done) return done;
        }
        return {};
    }

    Result<void> put(ObjId const& obj, std::string const& key, json const& v) {
        auto type = container_type(v);
        if (!type) return m_doc.put(obj, key, scalar(v));
        auto child = m_doc.put_object(obj, key, *type);
        if (!child) return std::unexpected(child.error());
        return fill(*child, *type, v);
    }

    Result<void> insert(ObjId const& obj, size_t index, json const& v) {
        auto type = container_type(v);
        if (!type) return m_doc.insert(obj, index, scalar(v));
        auto child = m_doc.insert_object(obj, index, *type);
        if (!child) return std::unexpected(child.error());
        return fill(*child, *type, v);
    }

    AutoCommit& m_doc;
};

// nlohmann keeps the last of duplicate keys silently; a parse callback sees every key and
// the nesting depth, so both problems are caught while parsing.
Result<json> parse_strict(std::string_view text) {
    std::vector<std::set<std::string>> open_objects;
    std::optional<std::string> problem;
    auto callback = [&](int depth, json::parse_event_t event, json& parsed) {
        if (problem) return false;
        if (static_cast<size_t>(depth) > max_json_depth) {
            problem = "JSON nests deeper than " + std::to_string(max_json_depth) + " levels";
            return false;
        }
        switch (event) {
            case json::parse_event_t::object_start:
                open_objects.emplace_back();
                break;
            case json::parse_event_t::object_end:
                if (!open_objects.empty()) open_objects.pop_back();
                break;
            case json::parse_event_t::key:
                if (!open_objects.empty() &&
                    !open_objects.back().insert(parsed.get<std::string>()).second) {
                    problem = "duplicate key \"" + parsed.get<std::string>() + "\"";
                    return false;
                }
                break;
            default:
                break;
        }
        return true;
    };
    json parsed = json::parse(text.begin(), text.end(), callback, false);
    if (problem) return fail(*problem);
    if (parsed.is_discarded()) return fail("not valid JSON");
    return parsed;
}

}  // namespace

Result<json> export_json(AutoCommit& doc) {
    return Exporter(doc).object(ObjId::root(), ObjType::Map, 0);
}

Result<AutoCommit> import_json(std::string_view text) {
    auto parsed = parse_strict(text);
    if (!parsed) return std::unexpected(parsed.error());
    if (!parsed->is_object()) return fail("the JSON top level must be an object");
    AutoCommit doc;
    auto filled = Importer(doc).fill_map(ObjId::root(), *parsed);
    if (!filled) return std::unexpected(filled.error());
    doc.commit(std::nullopt, static_cast<int64_t>(std::time(nullptr)));
    return doc;
}

}  // namespace automerge
