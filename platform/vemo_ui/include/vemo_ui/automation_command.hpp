#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// One line of the automation protocol: a JSON object whose "cmd" names the command. Every
// way a line can be wrong (not JSON, not an object, a "cmd" that is no string, a member of
// the wrong type, nesting deep enough to exhaust a recursive reader) is an error value.
namespace vemo_ui::automation {

// Commands and their payloads nest a few levels; anything deeper is refused before it is
// parsed, so no recursive walk over it (printing, comparing, freeing) can run out of stack.
inline constexpr size_t max_command_depth = 64;

// The deepest nesting of arrays and objects in `text`, read as JSON (strings skipped);
// stops counting once past `limit`.
size_t json_nesting_depth(std::string_view text, size_t limit);

class Command {
  public:
    static std::expected<Command, std::string> parse(std::string_view line);

    std::string const& name() const { return m_name; }
    nlohmann::json const& json() const { return m_json; }

    // A string member that must be present.
    std::expected<std::string, std::string> string(std::string_view field) const;
    // A string member that may be absent (then `fallback`).
    std::expected<std::string, std::string> string_or(std::string_view field,
                                                      std::string fallback) const;
    // A whole number in [min, max], `fallback` when absent.
    std::expected<int64_t, std::string> integer_or(std::string_view field, int64_t fallback,
                                                   int64_t min, int64_t max) const;
    // A member given as a JSON value or as its text, returned as text.
    std::expected<std::string, std::string> payload_text(std::string_view field) const;

  private:
    Command(std::string name, nlohmann::json json)
        : m_name(std::move(name)), m_json(std::move(json)) {}
    nlohmann::json const* find(std::string_view field) const;

    std::string m_name;
    nlohmann::json m_json;
};

}  // namespace vemo_ui::automation
