#pragma once

#include <automerge/automerge.hpp>
#include <string>

namespace automerge::test {

inline std::vector<uint8_t> from_hex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

inline std::string scalar_text(ScalarValue const& v) {
    return std::visit(
        [](auto const& x) -> std::string {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return "null";
            else if constexpr (std::is_same_v<T, bool>)
                return x ? "true" : "false";
            else if constexpr (std::is_same_v<T, std::string>)
                return "\"" + x + "\"";
            else if constexpr (std::is_same_v<T, Counter>)
                return "counter:" + std::to_string(x.value);
            else if constexpr (std::is_same_v<T, Timestamp>)
                return "time:" + std::to_string(x.millis);
            else if constexpr (std::is_same_v<T, std::vector<uint8_t>>)
                return "bytes:" + std::to_string(x.size());
            else if constexpr (std::is_same_v<T, Unknown>)
                return "unknown:" + std::to_string(x.type_code);
            else
                return std::to_string(x);
        },
        v);
}

// The visible content of an object as compact text, for comparing documents.
inline std::string dump(AutoCommit& doc, ObjId const& obj = ObjId::root()) {
    auto render = [&](std::pair<Value, ObjId> const& v) -> std::string {
        if (auto const* s = std::get_if<ScalarValue>(&v.first)) return scalar_text(*s);
        return dump(doc, v.second);
    };
    auto type = doc.object_type(obj);
    if (type == ObjType::Text) return "'" + doc.text(obj).value_or("?") + "'";
    std::string out;
    if (type == ObjType::List) {
        out = "[";
        for (size_t i = 0; i < doc.length(obj); ++i) {
            auto v = doc.get(obj, Prop{i});
            out += (i ? "," : "") + (v && *v ? render(**v) : "?");
        }
        return out + "]";
    }
    out = "{";
    bool first = true;
    for (auto const& key : doc.keys(obj)) {
        auto v = doc.get(obj, Prop{key});
        out += (first ? "" : ",") + key + ":" + (v && *v ? render(**v) : "?");
        first = false;
    }
    return out + "}";
}

}  // namespace automerge::test
