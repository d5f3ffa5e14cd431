#include "doc/records.hpp"

namespace chat {

std::string_view presence_word(Presence presence) {
    switch (presence) {
        case Presence::Online:
            return "online";
        case Presence::Idle:
            return "idle";
        case Presence::Dnd:
            return "dnd";
        case Presence::Offline:
            return "offline";
    }
    return "online";
}

Presence presence_from_word(std::string_view word) {
    if (word == "idle") return Presence::Idle;
    if (word == "dnd") return Presence::Dnd;
    if (word == "offline") return Presence::Offline;
    return Presence::Online;
}

namespace {

std::optional<uint64_t> unsigned_member(Json const& object, char const* name) {
    auto it = object.find(name);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    auto v = it->get<int64_t>();
    if (v < 0) return std::nullopt;
    return uint64_t(v);
}

std::optional<std::string> string_member(Json const& object, char const* name) {
    auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<Span> span_from_json(Json const& value) {
    if (!value.is_object()) return std::nullopt;
    auto start = unsigned_member(value, "start");
    auto end = unsigned_member(value, "end");
    auto unit = string_member(value, "unit");
    if (!start || !end || !unit) return std::nullopt;
    if (*unit == "Chars") return Span{*start, *end, SpanUnit::Chars};
    if (*unit == "Bytes") return Span{*start, *end, SpanUnit::Bytes};
    return std::nullopt;
}

}  // namespace

Json resource_ref_to_json(ResourceRef const& ref) {
    Json out = Json::object();
    out["kind"] = ref.kind;
    out["id"] = ref.id;
    out["label"] = ref.label;
    if (ref.span) {
        Json span = Json::object();
        span["start"] = ref.span->start;
        span["end"] = ref.span->end;
        span["unit"] = ref.span->unit == SpanUnit::Chars ? "Chars" : "Bytes";
        out["span"] = std::move(span);
    } else {
        out["span"] = nullptr;
    }
    return out;
}

std::string resource_ref_to_json_text(ResourceRef const& ref) {
    // Replace rather than throw on broken UTF-8: the text goes into the document either way.
    return resource_ref_to_json(ref).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<ResourceRef> resource_ref_from_json(Json const& value) {
    if (!value.is_object()) return std::nullopt;
    auto kind = string_member(value, "kind");
    auto id = string_member(value, "id");
    auto label = string_member(value, "label");
    if (!kind || !id || !label) return std::nullopt;
    ResourceRef ref{std::move(*kind), std::move(*id), std::move(*label), std::nullopt};
    auto span = value.find("span");
    if (span != value.end() && !span->is_null()) {
        ref.span = span_from_json(*span);
        if (!ref.span) return std::nullopt;
    }
    return ref;
}

std::optional<ResourceRef> resource_ref_from_json_text(std::string_view text) {
    auto parsed = parse_json_text(text);
    if (!parsed) return std::nullopt;
    return resource_ref_from_json(*parsed);
}

}  // namespace chat
