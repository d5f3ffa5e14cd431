#include "vemo_ui/automation_command.hpp"

namespace vemo_ui::automation {

using Json = nlohmann::json;

namespace {

std::string malformed(std::string_view why) {
    return "malformed command: " + std::string(why);
}

std::string quoted(std::string_view field) {
    return "'" + std::string(field) + "'";
}

}  // namespace

size_t json_nesting_depth(std::string_view text, size_t limit) {
    size_t depth = 0;
    size_t deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::expected<Command, std::string> Command::parse(std::string_view line) {
    if (json_nesting_depth(line, max_command_depth) > max_command_depth)
        return std::unexpected(
            malformed("nested deeper than " + std::to_string(max_command_depth) + " levels"));
    Json value;
    try {
        value = Json::parse(line);
    } catch (Json::exception const& e) {
        return std::unexpected(malformed(e.what()));
    }
    if (!value.is_object()) return std::unexpected(malformed("expected a JSON object"));
    auto it = value.find("cmd");
    if (it == value.end()) return std::unexpected(malformed("'cmd' is missing"));
    if (!it->is_string()) return std::unexpected(malformed("'cmd' must be a string"));
    std::string name = it->get<std::string>();
    return Command(std::move(name), std::move(value));
}

Json const* Command::find(std::string_view field) const {
    auto it = m_json.find(field);
    return it == m_json.end() ? nullptr : &*it;
}

std::expected<std::string, std::string> Command::string(std::string_view field) const {
    auto const* v = find(field);
    if (!v) return std::unexpected(malformed(quoted(field) + " is missing"));
    if (!v->is_string()) return std::unexpected(malformed(quoted(field) + " must be a string"));
    return v->get<std::string>();
}

std::expected<std::string, std::string> Command::string_or(std::string_view field,
                                                           std::string fallback) const {
    if (!find(field)) return fallback;
    return string(field);
}

std::expected<int64_t, std::string> Command::integer_or(std::string_view field, int64_t fallback,
                                                        int64_t min, int64_t max) const {
    auto const* v = find(field);
    if (!v) return fallback;
    auto out_of_range = [&] {
        return std::unexpected(malformed(quoted(field) + " must be a whole number from " +
                                         std::to_string(min) + " to " + std::to_string(max)));
    };
    if (v->is_number_unsigned()) {
        auto u = v->get<uint64_t>();
        if (max < 0 || u > uint64_t(max) || (min > 0 && u < uint64_t(min))) return out_of_range();
        return int64_t(u);
    }
    if (!v->is_number_integer()) return out_of_range();
    auto i = v->get<int64_t>();
    if (i < min || i > max) return out_of_range();
    return i;
}

std::expected<std::string, std::string> Command::payload_text(std::string_view field) const {
    auto const* v = find(field);
    if (!v) return std::unexpected(malformed(quoted(field) + " is missing"));
    if (v->is_string()) return v->get<std::string>();
    return v->dump();
}

}  // namespace vemo_ui::automation
