#include <gtest/gtest.h>

#include "doc/agent_work.hpp"
#include "doc/schema.hpp"

namespace chat {
namespace {

using doc::AutoCommit;
using doc::ObjId;

AgentStep step(std::string id, std::optional<uint64_t> sequence, AgentStepOutcome outcome) {
    return AgentStep{std::move(id), sequence, "chat.channel:c_general", "label",
                     std::move(outcome)};
}

struct JsonCase {
    char const* name;
    Json value;
    char const* text;
};

class JsonForm : public testing::TestWithParam<JsonCase> {};

TEST_P(JsonForm, IsExactAndCompact) {
    EXPECT_EQ(GetParam().value.dump(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Records, JsonForm,
    testing::Values(
        JsonCase{"taken", to_json_value(AgentWorkState{AgentWorkState::Taken{}}),
                 R"({"state":"taken"})"},
        JsonCase{"waiting", to_json_value(AgentWorkState{AgentWorkState::Waiting{"mail"}}),
                 R"({"state":"waiting","app":"mail"})"},
        JsonCase{"doing", to_json_value(AgentWorkState{AgentWorkState::Doing{"a", "b"}}),
                 R"({"state":"doing","did":"a","about":"b"})"},
        JsonCase{"done", to_json_value(AgentWorkState{AgentWorkState::Done{"x"}}),
                 R"({"state":"done","did":"x"})"},
        JsonCase{"refused_outcome",
                 to_json_value(AgentStepOutcome{AgentStepOutcome::Refused{"no"}}),
                 R"({"outcome":"refused","why":"no"})"},
        JsonCase{"no_change", to_json_value(AgentStepOutcome{AgentStepOutcome::NoChange{}}),
                 R"({"outcome":"no_change"})"},
        JsonCase{
            "step_without_id_or_sequence",
            to_json_value(step("", std::nullopt, {AgentStepOutcome::Applied{}})),
            R"({"resource":"chat.channel:c_general","label":"label","outcome":{"outcome":"applied"}})"},
        JsonCase{
            "work_without_reasoning",
            to_json_value(AgentWork{{AgentWorkState::Refused{}},
                                    -3,
                                    std::nullopt,
                                    {step("s", 2, {AgentStepOutcome::Asked{}})}}),
            R"({"state":{"state":"refused"},"since":-3,"trace":[{"id":"s","sequence":2,)"
            R"("resource":"chat.channel:c_general","label":"label","outcome":{"outcome":"asked"}}]})"},
        JsonCase{"transition", to_json_value(StoredAgentTransition{{AgentWorkState::Taken{}}, 5}),
                 R"({"state":{"state":"taken"},"since":5})"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(AgentWorkJson, RoundTripsAFullRecord) {
    AgentWork work{{AgentWorkState::Doing{"did", "about"}},
                   1782464400,
                   AgentReasoning{AgentRoute::Floor, "quiet room"},
                   {step("a", 1, {AgentStepOutcome::Refused{"locked"}}),
                    step("", std::nullopt, {AgentStepOutcome::NoChange{}})}};
    auto parsed = parse_json_text(to_json_text(work));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(agent_work_from_json(*parsed), work);
}

struct BadJson {
    char const* name;
    char const* text;
    char const* error_part;
};

class AgentWorkDecode : public testing::TestWithParam<BadJson> {};

TEST_P(AgentWorkDecode, NamesWhatIsWrong) {
    auto parsed = parse_json_text(GetParam().text);
    auto work = parsed ? agent_work_from_json(*parsed)
                       : JsonResult<AgentWork>(std::unexpected(parsed.error()));
    ASSERT_FALSE(work);
    EXPECT_NE(work.error().find(GetParam().error_part), std::string::npos) << work.error();
}

INSTANTIATE_TEST_SUITE_P(
    Errors, AgentWorkDecode,
    testing::Values(
        BadJson{"malformed", R"({"state":)", "malformed"},
        BadJson{"missing_since", R"({"state":{"state":"taken"},"trace":[]})", "`since`"},
        BadJson{"unknown_state", R"({"state":{"state":"asleep"},"since":1,"trace":[]})", "asleep"},
        BadJson{"waiting_without_app", R"({"state":{"state":"waiting"},"since":1,"trace":[]})",
                "`app`"},
        BadJson{"negative_sequence",
                R"({"state":{"state":"taken"},"since":1,"trace":[{"sequence":-1,"resource":"r",)"
                R"("label":"l","outcome":{"outcome":"asked"}}]})",
                "`sequence`"},
        BadJson{"since_beyond_int64",
                R"({"state":{"state":"taken"},"since":9223372036854775808,"trace":[]})", "`since`"},
        BadJson{"bad_route",
                R"({"state":{"state":"taken"},"since":1,"reasoning":{"route":"gut","why":""},)"
                R"("trace":[]})",
                "gut"}),
    [](auto const& info) { return std::string(info.param.name); });

class StoredWork : public testing::Test {
  protected:
    AutoCommit doc;
    ObjId message = *doc::ensure_map(doc, ObjId::root(), "message");

    size_t ops_since_commit() {
        size_t n = doc.pending_ops();
        doc.commit();
        return n;
    }
    ObjId trace() { return *doc::get_map(doc, *doc::get_map(doc, message, "work"), "trace"); }
};

TEST_F(StoredWork, WritingTheSameWorkAgainOnlyRepeatsPresence) {
    AgentWork work{
        {AgentWorkState::Done{"sent"}},
        7,
        AgentReasoning{AgentRoute::Model, "why"},
        {step("b", 2, {AgentStepOutcome::Applied{}}), step("a", 1, {AgentStepOutcome::Asked{}})}};
    doc::write_work(doc, message, work);
    EXPECT_EQ(doc::read_work(doc, message),
              (AgentWork{work.state, 7, work.reasoning, {work.trace[1], work.trace[0]}}));
    ops_since_commit();
    doc::write_work(doc, message, work);
    EXPECT_EQ(ops_since_commit(), 0u);
}

TEST_F(StoredWork, KnownStepsKeepTheirDataAndOnlyOutcomesMove) {
    doc::write_work(
        doc, message,
        {{AgentWorkState::Taken{}}, 1, std::nullopt, {step("a", 1, {AgentStepOutcome::Asked{}})}});
    auto changed = step("a", 9, {AgentStepOutcome::Applied{}});
    changed.label = "renamed";
    doc::write_work(doc, message, {{AgentWorkState::Taken{}}, 1, std::nullopt, {changed}});
    auto read = doc::read_work(doc, message);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->trace.size(), 1u);
    EXPECT_EQ(read->trace[0].sequence, 1u);
    EXPECT_EQ(read->trace[0].label, "label");
    EXPECT_EQ(read->trace[0].outcome, AgentStepOutcome{AgentStepOutcome::Applied{}});
}

TEST_F(StoredWork, AStepLeftOutIsMarkedAbsentNotDeleted) {
    doc::write_work(
        doc, message,
        {{AgentWorkState::Taken{}},
         1,
         std::nullopt,
         {step("a", 1, {AgentStepOutcome::Asked{}}), step("b", 2, {AgentStepOutcome::Asked{}})}});
    doc::write_work(
        doc, message,
        {{AgentWorkState::Taken{}}, 1, std::nullopt, {step("b", 2, {AgentStepOutcome::Asked{}})}});
    auto a = doc::get_map(doc, trace(), "a");
    ASSERT_TRUE(a);
    EXPECT_EQ(doc::get_bool(doc, *a, "present"), false);
    auto read = doc::read_work(doc, message);
    ASSERT_EQ(read->trace.size(), 1u);
    EXPECT_EQ(read->trace[0].id, "b");
    // Bringing it back shows it again with its original data.
    doc::write_work(
        doc, message,
        {{AgentWorkState::Taken{}}, 1, std::nullopt, {step("a", 1, {AgentStepOutcome::Asked{}})}});
    EXPECT_EQ(doc::read_work(doc, message)->trace.at(0).id, "a");
}

TEST_F(StoredWork, StepsSharingAnIdDoNotOverwriteEachOther) {
    doc::write_work(
        doc, message,
        {{AgentWorkState::Taken{}},
         1,
         std::nullopt,
         {step("", 1, {AgentStepOutcome::Asked{}}), step("", 2, {AgentStepOutcome::Applied{}}),
          step("x", 3, {AgentStepOutcome::NoChange{}})}});
    auto read = doc::read_work(doc, message);
    ASSERT_EQ(read->trace.size(), 3u);
    EXPECT_EQ(read->trace[0].id, "");
    EXPECT_EQ(read->trace[0].outcome, AgentStepOutcome{AgentStepOutcome::Asked{}});
    EXPECT_EQ(read->trace[1].id, "step-2");
    EXPECT_EQ(read->trace[1].outcome, AgentStepOutcome{AgentStepOutcome::Applied{}});
    EXPECT_EQ(read->trace[2].id, "x");
}

TEST_F(StoredWork, TheLegacyFormIsReadAndReplacedOnWrite) {
    auto work = *doc::ensure_map(doc, message, "work");
    auto state = *doc::ensure_map(doc, work, "state");
    ASSERT_TRUE(doc::put_str(doc, state, "kind", "waiting"));
    ASSERT_TRUE(doc::put_str(doc, state, "app", "calendar"));
    ASSERT_TRUE(doc::put_int(doc, work, "since", 42));
    auto reasoning = *doc::ensure_map(doc, work, "reasoning");
    ASSERT_TRUE(doc::put_bool(doc, reasoning, "present", true));
    ASSERT_TRUE(doc::put_str(doc, reasoning, "route", "floor"));
    ASSERT_TRUE(doc::put_str(doc, reasoning, "why", "asked twice"));

    auto read = doc::read_work(doc, message);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->state, AgentWorkState{AgentWorkState::Waiting{"calendar"}});
    EXPECT_EQ(read->since, 42);
    EXPECT_EQ(read->reasoning, (AgentReasoning{AgentRoute::Floor, "asked twice"}));

    // Same state: the writer still stores the current form.
    doc::write_work(doc, message, *read);
    EXPECT_TRUE(doc::get_str(doc, work, "transition"));
    EXPECT_TRUE(doc::get_str(doc, work, "reasoning"));
    EXPECT_EQ(doc::read_work(doc, message), read);
}

TEST_F(StoredWork, UnreadableStateMeansNoWork) {
    auto work = *doc::ensure_map(doc, message, "work");
    ASSERT_TRUE(doc::put_str(doc, work, "transition", "{broken"));
    EXPECT_EQ(doc::read_work(doc, message), std::nullopt);
    auto state = *doc::ensure_map(doc, work, "state");
    ASSERT_TRUE(doc::put_str(doc, state, "kind", "pondering"));
    EXPECT_EQ(doc::read_work(doc, message), std::nullopt);
    ASSERT_TRUE(doc::put_str(doc, state, "kind", "done"));  // the legacy form now carries it
    EXPECT_EQ(doc::read_work(doc, message)->state, AgentWorkState{AgentWorkState::Done{""}});
}

}  // namespace
}  // namespace chat
