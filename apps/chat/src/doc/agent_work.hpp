#pragma once

#include <automerge/automerge.hpp>
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// What a software agent did about a message: its state, why it took the route it took, and
// the steps it performed. Stored inside the message so every peer sees the same record.
namespace chat {

// JSON: {"state":"taken"}, {"state":"waiting","app":…}, {"state":"doing","did":…,"about":…},
// {"state":"done","did":…}, {"state":"refused"}.
struct AgentWorkState {
    struct Taken {
        friend bool operator==(Taken const&, Taken const&) = default;
    };
    struct Waiting {
        std::string app;
        friend bool operator==(Waiting const&, Waiting const&) = default;
    };
    struct Doing {
        std::string did;
        std::string about;
        friend bool operator==(Doing const&, Doing const&) = default;
    };
    struct Done {
        std::string did;
        friend bool operator==(Done const&, Done const&) = default;
    };
    struct Refused {
        friend bool operator==(Refused const&, Refused const&) = default;
    };

    std::variant<Taken, Waiting, Doing, Done, Refused> value;

    friend bool operator==(AgentWorkState const&, AgentWorkState const&) = default;
};

enum class AgentRoute : uint8_t { Model, Floor };

struct AgentReasoning {
    AgentRoute route = AgentRoute::Model;
    std::string why;

    friend bool operator==(AgentReasoning const&, AgentReasoning const&) = default;
};

// JSON: {"outcome":"asked"}, {"outcome":"applied"}, {"outcome":"no_change"},
// {"outcome":"refused","why":…}.
struct AgentStepOutcome {
    struct Asked {
        friend bool operator==(Asked const&, Asked const&) = default;
    };
    struct Applied {
        friend bool operator==(Applied const&, Applied const&) = default;
    };
    struct NoChange {
        friend bool operator==(NoChange const&, NoChange const&) = default;
    };
    struct Refused {
        std::string why;
        friend bool operator==(Refused const&, Refused const&) = default;
    };

    std::variant<Asked, Applied, NoChange, Refused> value;

    friend bool operator==(AgentStepOutcome const&, AgentStepOutcome const&) = default;
};

struct AgentStep {
    std::string id;                    // omitted from JSON when empty
    std::optional<uint64_t> sequence;  // omitted from JSON when absent
    std::string resource;
    std::string label;
    AgentStepOutcome outcome;

    friend bool operator==(AgentStep const&, AgentStep const&) = default;
};

struct AgentWork {
    AgentWorkState state;
    int64_t since = 0;
    std::optional<AgentReasoning> reasoning;  // omitted from JSON when absent
    std::vector<AgentStep> trace;

    friend bool operator==(AgentWork const&, AgentWork const&) = default;
};

// The state part of a work record, kept as one JSON text so a state and its time always
// change together.
struct StoredAgentTransition {
    AgentWorkState state;
    int64_t since = 0;

    friend bool operator==(StoredAgentTransition const&, StoredAgentTransition const&) = default;
};

using Json = nlohmann::ordered_json;
template <class T>
using JsonResult = std::expected<T, std::string>;

// Members are written in field order; encoding cannot fail.
Json to_json_value(AgentWorkState const& state);
Json to_json_value(AgentReasoning const& reasoning);
Json to_json_value(AgentStepOutcome const& outcome);
Json to_json_value(AgentStep const& step);
Json to_json_value(AgentWork const& work);
Json to_json_value(StoredAgentTransition const& transition);

// Compact text of the values above.
template <class T>
std::string to_json_text(T const& value) {
    return to_json_value(value).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Decoding checks member types and ranges and names the first member that is missing or
// wrong; members it does not know are ignored.
JsonResult<AgentWorkState> agent_work_state_from_json(Json const& value);
JsonResult<AgentReasoning> agent_reasoning_from_json(Json const& value);
JsonResult<AgentStepOutcome> agent_step_outcome_from_json(Json const& value);
JsonResult<AgentStep> agent_step_from_json(Json const& value);
JsonResult<AgentWork> agent_work_from_json(Json const& value);
JsonResult<StoredAgentTransition> stored_agent_transition_from_json(Json const& value);

// Malformed text is an error, never an exception.
JsonResult<Json> parse_json_text(std::string_view text);

namespace doc {

// Stores `work` under the message's "work" map, touching only what changed: an unchanged
// transition is not rewritten, known steps keep their sequence, resource and label, and
// steps that left the trace are marked absent rather than deleted.
void write_work(automerge::AutoCommit& doc, automerge::ObjId const& message, AgentWork const& work);

// The work stored under the message, in the current or the legacy stored form; absent when
// the message has none or its state cannot be read.
std::optional<AgentWork> read_work(automerge::AutoCommit& doc, automerge::ObjId const& message);
// The same, from the "work" map itself.
std::optional<AgentWork> read_work_map(automerge::AutoCommit const& doc, automerge::ObjHandle map);

}  // namespace doc

}  // namespace chat
