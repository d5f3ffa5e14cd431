#include "doc/agent_work.hpp"

#include <algorithm>
#include <limits>
#include <set>

#include "doc/document.hpp"
#include "doc/internal_error.hpp"

namespace chat {

namespace {

// --- encoding ---------------------------------------------------------------------------

struct StateEncoder {
    Json& out;
    void operator()(AgentWorkState::Taken const&) const { out["state"] = "taken"; }
    void operator()(AgentWorkState::Waiting const& w) const {
        out["state"] = "waiting";
        out["app"] = w.app;
    }
    void operator()(AgentWorkState::Doing const& d) const {
        out["state"] = "doing";
        out["did"] = d.did;
        out["about"] = d.about;
    }
    void operator()(AgentWorkState::Done const& d) const {
        out["state"] = "done";
        out["did"] = d.did;
    }
    void operator()(AgentWorkState::Refused const&) const { out["state"] = "refused"; }
};

struct OutcomeEncoder {
    Json& out;
    void operator()(AgentStepOutcome::Asked const&) const { out["outcome"] = "asked"; }
    void operator()(AgentStepOutcome::Applied const&) const { out["outcome"] = "applied"; }
    void operator()(AgentStepOutcome::NoChange const&) const { out["outcome"] = "no_change"; }
    void operator()(AgentStepOutcome::Refused const& r) const {
        out["outcome"] = "refused";
        out["why"] = r.why;
    }
};

// --- decoding ---------------------------------------------------------------------------

std::unexpected<std::string> missing(std::string_view name) {
    return std::unexpected("missing field `" + std::string(name) + "`");
}

std::unexpected<std::string> wrong_type(std::string_view name, std::string_view expected) {
    return std::unexpected("invalid type for field `" + std::string(name) + "`: expected " +
                           std::string(expected));
}

JsonResult<Json const*> member(Json const& object, std::string_view name) {
    if (!object.is_object()) return std::unexpected(std::string("expected a JSON object"));
    auto it = object.find(name);
    if (it == object.end()) return missing(name);
    return &*it;
}

// An optional member: absent and null are both "none".
Json const* optional_member(Json const& object, std::string_view name) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

JsonResult<std::string> as_string(Json const& value, std::string_view name) {
    if (!value.is_string()) return wrong_type(name, "a string");
    return value.get<std::string>();
}

JsonResult<int64_t> as_int64(Json const& value, std::string_view name) {
    if (value.is_number_unsigned()) {
        auto v = value.get<uint64_t>();
        if (v > uint64_t(std::numeric_limits<int64_t>::max()))
            return wrong_type(name, "a signed 64-bit integer");
        return int64_t(v);
    }
    if (!value.is_number_integer()) return wrong_type(name, "an integer");
    return value.get<int64_t>();
}

JsonResult<uint64_t> as_uint64(Json const& value, std::string_view name) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer()) {
        auto v = value.get<int64_t>();
        if (v < 0) return wrong_type(name, "an unsigned integer");
        return uint64_t(v);
    }
    return wrong_type(name, "an unsigned integer");
}

JsonResult<std::string> string_member(Json const& object, std::string_view name) {
    auto m = member(object, name);
    if (!m) return std::unexpected(m.error());
    return as_string(**m, name);
}

JsonResult<AgentRoute> route_from_text(std::string_view text) {
    if (text == "model") return AgentRoute::Model;
    if (text == "floor") return AgentRoute::Floor;
    return std::unexpected("unknown route `" + std::string(text) + "`");
}

std::string_view route_text(AgentRoute route) {
    return route == AgentRoute::Floor ? "floor" : "model";
}

std::optional<AgentWorkState> state_from_kind(std::string_view kind, std::string app,
                                              std::string did, std::string about) {
    if (kind == "taken") return AgentWorkState{AgentWorkState::Taken{}};
    if (kind == "waiting") return AgentWorkState{AgentWorkState::Waiting{std::move(app)}};
    if (kind == "doing")
        return AgentWorkState{AgentWorkState::Doing{std::move(did), std::move(about)}};
    if (kind == "done") return AgentWorkState{AgentWorkState::Done{std::move(did)}};
    if (kind == "refused") return AgentWorkState{AgentWorkState::Refused{}};
    return std::nullopt;
}

}  // namespace

Json to_json_value(AgentWorkState const& state) {
    Json out = Json::object();
    std::visit(StateEncoder{out}, state.value);
    return out;
}

Json to_json_value(AgentReasoning const& reasoning) {
    Json out = Json::object();
    out["route"] = route_text(reasoning.route);
    out["why"] = reasoning.why;
    return out;
}

Json to_json_value(AgentStepOutcome const& outcome) {
    Json out = Json::object();
    std::visit(OutcomeEncoder{out}, outcome.value);
    return out;
}

Json to_json_value(AgentStep const& step) {
    Json out = Json::object();
    if (!step.id.empty()) out["id"] = step.id;
    if (step.sequence) out["sequence"] = *step.sequence;
    out["resource"] = step.resource;
    out["label"] = step.label;
    out["outcome"] = to_json_value(step.outcome);
    return out;
}

Json to_json_value(AgentWork const& work) {
    Json out = Json::object();
    out["state"] = to_json_value(work.state);
    out["since"] = work.since;
    if (work.reasoning) out["reasoning"] = to_json_value(*work.reasoning);
    Json trace = Json::array();
    for (auto const& step : work.trace) trace.push_back(to_json_value(step));
    out["trace"] = std::move(trace);
    return out;
}

Json to_json_value(StoredAgentTransition const& transition) {
    Json out = Json::object();
    out["state"] = to_json_value(transition.state);
    out["since"] = transition.since;
    return out;
}

JsonResult<AgentWorkState> agent_work_state_from_json(Json const& value) {
    auto tag = string_member(value, "state");
    if (!tag) return std::unexpected(tag.error());
    auto field = [&](std::string_view name) { return string_member(value, name); };
    if (*tag == "taken") return AgentWorkState{AgentWorkState::Taken{}};
    if (*tag == "refused") return AgentWorkState{AgentWorkState::Refused{}};
    if (*tag == "waiting") {
        auto app = field("app");
        if (!app) return std::unexpected(app.error());
        return AgentWorkState{AgentWorkState::Waiting{std::move(*app)}};
    }
    if (*tag == "doing") {
        auto did = field("did");
        if (!did) return std::unexpected(did.error());
        auto about = field("about");
        if (!about) return std::unexpected(about.error());
        return AgentWorkState{AgentWorkState::Doing{std::move(*did), std::move(*about)}};
    }
    if (*tag == "done") {
        auto did = field("did");
        if (!did) return std::unexpected(did.error());
        return AgentWorkState{AgentWorkState::Done{std::move(*did)}};
    }
    return std::unexpected("unknown variant `" + *tag +
                           "`, expected one of `taken`, `waiting`, `doing`, `done`, `refused`");
}

JsonResult<AgentReasoning> agent_reasoning_from_json(Json const& value) {
    auto route = string_member(value, "route");
    if (!route) return std::unexpected(route.error());
    auto parsed_route = route_from_text(*route);
    if (!parsed_route) return std::unexpected(parsed_route.error());
    auto why = string_member(value, "why");
    if (!why) return std::unexpected(why.error());
    return AgentReasoning{*parsed_route, std::move(*why)};
}

JsonResult<AgentStepOutcome> agent_step_outcome_from_json(Json const& value) {
    auto tag = string_member(value, "outcome");
    if (!tag) return std::unexpected(tag.error());
    if (*tag == "asked") return AgentStepOutcome{AgentStepOutcome::Asked{}};
    if (*tag == "applied") return AgentStepOutcome{AgentStepOutcome::Applied{}};
    if (*tag == "no_change") return AgentStepOutcome{AgentStepOutcome::NoChange{}};
    if (*tag == "refused") {
        auto why = string_member(value, "why");
        if (!why) return std::unexpected(why.error());
        return AgentStepOutcome{AgentStepOutcome::Refused{std::move(*why)}};
    }
    return std::unexpected("unknown variant `" + *tag +
                           "`, expected one of `asked`, `applied`, `no_change`, `refused`");
}

JsonResult<AgentStep> agent_step_from_json(Json const& value) {
    if (!value.is_object()) return std::unexpected(std::string("expected a JSON object"));
    AgentStep step;
    if (auto const* id = optional_member(value, "id")) {
        auto text = as_string(*id, "id");
        if (!text) return std::unexpected(text.error());
        step.id = std::move(*text);
    }
    if (auto const* sequence = optional_member(value, "sequence")) {
        auto n = as_uint64(*sequence, "sequence");
        if (!n) return std::unexpected(n.error());
        step.sequence = *n;
    }
    auto resource = string_member(value, "resource");
    if (!resource) return std::unexpected(resource.error());
    step.resource = std::move(*resource);
    auto label = string_member(value, "label");
    if (!label) return std::unexpected(label.error());
    step.label = std::move(*label);
    auto outcome = member(value, "outcome");
    if (!outcome) return std::unexpected(outcome.error());
    auto parsed = agent_step_outcome_from_json(**outcome);
    if (!parsed) return std::unexpected(parsed.error());
    step.outcome = std::move(*parsed);
    return step;
}

JsonResult<StoredAgentTransition> stored_agent_transition_from_json(Json const& value) {
    auto state = member(value, "state");
    if (!state) return std::unexpected(state.error());
    auto parsed_state = agent_work_state_from_json(**state);
    if (!parsed_state) return std::unexpected(parsed_state.error());
    auto since = member(value, "since");
    if (!since) return std::unexpected(since.error());
    auto parsed_since = as_int64(**since, "since");
    if (!parsed_since) return std::unexpected(parsed_since.error());
    return StoredAgentTransition{std::move(*parsed_state), *parsed_since};
}

JsonResult<AgentWork> agent_work_from_json(Json const& value) {
    auto transition = stored_agent_transition_from_json(value);
    if (!transition) return std::unexpected(transition.error());
    AgentWork work{std::move(transition->state), transition->since, std::nullopt, {}};
    if (auto const* reasoning = optional_member(value, "reasoning")) {
        auto parsed = agent_reasoning_from_json(*reasoning);
        if (!parsed) return std::unexpected(parsed.error());
        work.reasoning = std::move(*parsed);
    }
    auto trace = member(value, "trace");
    if (!trace) return std::unexpected(trace.error());
    if (!(*trace)->is_array()) return wrong_type("trace", "an array");
    for (auto const& entry : **trace) {
        auto step = agent_step_from_json(entry);
        if (!step) return std::unexpected(step.error());
        work.trace.push_back(std::move(*step));
    }
    return work;
}

JsonResult<Json> parse_json_text(std::string_view text) {
    auto parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) return std::unexpected(std::string("malformed JSON"));
    return parsed;
}

namespace doc {

namespace {

template <class T, class Decode>
std::optional<T> decode_text(std::optional<std::string_view> text, Decode decode) {
    if (!text) return std::nullopt;
    auto parsed = parse_json_text(*text);
    if (!parsed) return std::nullopt;
    auto value = decode(*parsed);
    if (!value) return std::nullopt;
    return std::move(*value);
}

std::string str_or_empty(AutoCommit const& doc, ObjHandle map, std::string_view key) {
    return std::string(get_str(doc, map, key).value_or(""));
}

std::optional<StoredAgentTransition> read_transition(AutoCommit const& doc, ObjHandle work) {
    return decode_text<StoredAgentTransition>(get_str(doc, work, "transition"),
                                              stored_agent_transition_from_json);
}

std::optional<StoredAgentTransition> read_legacy_transition(AutoCommit const& doc, ObjHandle work) {
    auto state = get_map(doc, work, "state");
    if (!state) return std::nullopt;
    auto kind = get_str(doc, *state, "kind");
    if (!kind) return std::nullopt;
    auto parsed =
        state_from_kind(*kind, str_or_empty(doc, *state, "app"), str_or_empty(doc, *state, "did"),
                        str_or_empty(doc, *state, "about"));
    if (!parsed) return std::nullopt;
    return StoredAgentTransition{std::move(*parsed), get_int(doc, work, "since").value_or(0)};
}

std::optional<AgentReasoning> read_reasoning(AutoCommit const& doc, ObjHandle work) {
    if (auto current =
            decode_text<AgentReasoning>(get_str(doc, work, "reasoning"), agent_reasoning_from_json))
        return current;
    auto legacy = get_map(doc, work, "reasoning");
    if (!legacy || !get_bool(doc, *legacy, "present").value_or(false)) return std::nullopt;
    auto route = get_str(doc, *legacy, "route").value_or("");
    return AgentReasoning{route == "floor" ? AgentRoute::Floor : AgentRoute::Model,
                          str_or_empty(doc, *legacy, "why")};
}

std::optional<AgentStepOutcome> read_outcome(AutoCommit const& doc, ObjHandle step) {
    return decode_text<AgentStepOutcome>(get_str(doc, step, "outcome"),
                                         agent_step_outcome_from_json);
}

std::vector<AgentStep> read_trace(AutoCommit const& doc, ObjHandle work) {
    std::vector<AgentStep> steps;
    auto trace = get_map(doc, work, "trace");
    if (!trace) return steps;
    for (auto const& [key, value] : doc.read_map(*trace)) {
        auto step = object_of(value, ObjType::Map);
        if (!step || !get_bool(doc, *step, "present").value_or(false)) continue;
        // A step whose outcome cannot be read has nothing true to show; leave it out.
        auto outcome = read_outcome(doc, *step);
        if (!outcome) continue;
        std::optional<uint64_t> sequence;
        if (auto n = get_int(doc, *step, "sequence")) sequence = static_cast<uint64_t>(*n);
        steps.push_back(AgentStep{std::string(key), sequence, str_or_empty(doc, *step, "resource"),
                                  str_or_empty(doc, *step, "label"), std::move(*outcome)});
    }
    // Steps without a sequence go last, keeping key order among themselves.
    std::stable_sort(steps.begin(), steps.end(), [](AgentStep const& a, AgentStep const& b) {
        auto rank = [](AgentStep const& s) {
            return s.sequence ? std::pair{0, *s.sequence} : std::pair{1, uint64_t{0}};
        };
        return rank(a) < rank(b);
    });
    return steps;
}

// The map key of the step: its id. Two steps of one trace with the same id (typically two
// without one) would overwrite each other, so the later one is filed under its place in the
// trace instead, as is an id that cannot be a key.
std::string step_key(AgentStep const& step, size_t index, std::set<std::string> const& taken) {
    if (valid_key(step.id) && !taken.contains(step.id)) return step.id;
    return "step-" + std::to_string(index + 1);
}

void write_step(AutoCommit& doc, ObjId const& trace, std::string const& key,
                AgentStep const& step) {
    bool existed = get_map(doc, trace, key).has_value();
    auto map = must(ensure_map(doc, trace, key), "put map");
    must(put_bool(doc, map, "present", true), "put map");
    if (!existed) {
        if (step.sequence)
            must(put_int(doc, map, "sequence", static_cast<int64_t>(*step.sequence)), "put map");
        must(put_str(doc, map, "resource", step.resource), "put map");
        must(put_str(doc, map, "label", step.label), "put map");
    }
    auto stored = existed ? read_outcome(doc, *doc.handle(map)) : std::nullopt;
    if (!stored || *stored != step.outcome)
        must(put_str(doc, map, "outcome", to_json_text(step.outcome)), "put map");
}

}  // namespace

void write_work(AutoCommit& doc, ObjId const& message, AgentWork const& work) {
    auto map = must(ensure_map(doc, message, "work"), "put map");

    StoredAgentTransition transition{work.state, work.since};
    auto stored = read_transition(doc, *doc.handle(map));
    if (!stored || *stored != transition)
        must(put_str(doc, map, "transition", to_json_text(transition)), "put map");

    auto trace = must(ensure_map(doc, map, "trace"), "put map");
    std::set<std::string> current;
    for (size_t i = 0; i < work.trace.size(); ++i) {
        auto key = step_key(work.trace[i], i, current);
        write_step(doc, trace, key, work.trace[i]);
        current.insert(std::move(key));
    }
    for (auto const& key : keys(doc, trace)) {
        if (current.contains(key)) continue;
        auto step = get_map(doc, trace, key);
        if (step && get_bool(doc, *step, "present") != false)
            must(put_bool(doc, *step, "present", false), "put map");
    }

    if (work.reasoning) {
        auto text = to_json_text(*work.reasoning);
        if (get_str(doc, map, "reasoning") != text)
            must(put_str(doc, map, "reasoning", text), "put map");
    }
}

std::optional<AgentWork> read_work(AutoCommit& doc, ObjId const& message) {
    auto handle = doc.handle(message);
    auto map = handle ? get_map(doc, *handle, "work") : std::nullopt;
    if (!map) return std::nullopt;
    return read_work_map(doc, *map);
}

std::optional<AgentWork> read_work_map(AutoCommit const& doc, ObjHandle map) {
    auto transition = read_transition(doc, map);
    if (!transition) transition = read_legacy_transition(doc, map);
    if (!transition) return std::nullopt;
    return AgentWork{std::move(transition->state), transition->since, read_reasoning(doc, map),
                     read_trace(doc, map)};
}

}  // namespace doc

}  // namespace chat
