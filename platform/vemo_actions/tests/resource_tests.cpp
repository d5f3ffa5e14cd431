#include <gtest/gtest.h>

#include "vemo_actions/action_address.hpp"
#include "vemo_actions/action_context.hpp"
#include "vemo_actions/resource.hpp"
#include "vemo_actions/resource_json.hpp"

namespace {

using namespace vemo_actions;
using resource::ActionSpec;
using resource::Resource;

static_assert(static_cast<int>(OperationType::Effect) == 1);
static_assert(static_cast<int>(OperationType::View) == 2);

EncodedAction chat(std::string json) {
    return {"chat.action", std::move(json), std::nullopt};
}

ActionSpec rename_spec() {
    return ActionSpec::text_parameter(
        "rename", "Rename channel", "Name", "channel name…",
        [](ActionArgs const& args) -> std::expected<EncodedAction, ActionError> {
            std::string name = args.text("value").value_or("");
            if (name == "boom") throw std::runtime_error("builder exploded");
            return chat(R"({"RenameChannel":{"name":")" + name + "\"}}");
        });
}

TEST(Resource, KeepsActionsAndChildrenInInsertionOrder) {
    Resource const base("chat.workspace:w", "chat.workspace", "Acme");
    Resource tree = base.with_action(ActionSpec::action("open", "Open", chat("{}")))
                        .with_child(Resource("chat.channel:b", "chat.channel", "# b"))
                        .with_action(rename_spec())
                        .with_child(Resource("chat.channel:a", "chat.channel", "# a"))
                        .with_action(ActionSpec::action("delete", "Delete", chat("{}")));
    EXPECT_TRUE(base.actions().empty()) << "building from a const resource copies it";
    std::vector<std::string> ids, children;
    for (auto const& spec : tree.actions()) ids.push_back(spec.id());
    for (auto const& child : tree.children()) children.push_back(child.address());
    EXPECT_EQ(ids, (std::vector<std::string>{"open", "rename", "delete"}));
    EXPECT_EQ(children, (std::vector<std::string>{"chat.channel:b", "chat.channel:a"}));
    EXPECT_EQ(tree.find_action("rename")->label(), "Rename channel");
    EXPECT_EQ(tree.find_action("missing"), nullptr);
}

TEST(Resource, MarksDestructiveThroughTheWholeSubtree) {
    auto remove = ActionSpec::action("delete", "Delete", chat("{}"));
    Resource tree =
        Resource("w", "chat.workspace", "W")
            .with_action(remove)
            .with_child(Resource("c", "chat.channel", "C")
                            .with_action(ActionSpec::action("deleted-not", "x", chat("{}")))
                            .with_child(Resource("m", "chat.message", "M").with_action(remove)));
    EXPECT_FALSE(remove.is_destructive());
    EXPECT_TRUE(remove.destructive().is_destructive());
    EXPECT_FALSE(remove.is_destructive()) << "destructive() on a named spec returns a copy";
    tree.mark_destructive("delete");
    EXPECT_TRUE(tree.actions()[0].is_destructive());
    EXPECT_FALSE(tree.children()[0].actions()[0].is_destructive());
    EXPECT_TRUE(tree.children()[0].children()[0].actions()[0].is_destructive());
}

TEST(ActionSpec, ResolvesReadyPayloadsAndBuildsFromText) {
    auto ready = ActionSpec::action("open", "Open", chat(R"({"OpenChannel":"c"})"));
    EXPECT_EQ(ready.resolve({}), chat(R"({"OpenChannel":"c"})"));

    auto view = ActionSpec::operation("open", "Open", OperationType::View,
                                      {"chat.operation", "{}", OperationType::Effect});
    EXPECT_EQ(view.operation_type(), OperationType::View)
        << "the action spec's type wins over the payload's";

    auto rename = rename_spec();
    EXPECT_FALSE(rename.payload());
    EXPECT_EQ(rename.parameter(), (resource::TextParameter{"Name", "channel name…"}));
    EXPECT_EQ(rename.resolve(ActionArgs().set_text("value", "ops"))->json,
              R"({"RenameChannel":{"name":"ops"}})");
    EXPECT_EQ(rename.resolve({})->json, R"({"RenameChannel":{"name":""}})")
        << "absent text counts as empty";
    auto failed = rename.resolve(ActionArgs().set_text("value", "boom"));
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().display().find("builder exploded"), std::string::npos);
}

TEST(ActionSpec, EnforcedOperationTypeReplacesAnyEarlierOne) {
    EncodedAction op{"chat.operation", R"({"ImportAttachment":{}})", OperationType::View};
    EXPECT_EQ(resource::enforce_operation_type(op, OperationType::Effect).operation_type,
              OperationType::Effect);
    op.operation_type.reset();
    EXPECT_EQ(resource::enforce_operation_type(op, OperationType::View).operation_type,
              OperationType::View);
    for (auto type : {OperationType::Effect, OperationType::View})
        EXPECT_EQ(parse_operation_type(operation_type_name(type)), type);
    EXPECT_FALSE(parse_operation_type("View"));
}

TEST(ResourceJson, HasTheAutomationShape) {
    Resource tree =
        Resource("chat.channel:c", "chat.channel", "# c")
            .with_action(ActionSpec::operation("open", "Open conversation", OperationType::View,
                                               {"chat.operation", R"({"OpenChannel":"c"})", {}}))
            .with_action(rename_spec())
            .with_action(
                ActionSpec::action("delete", "Delete channel", chat("not json")).destructive());
    auto expected = nlohmann::json::parse(R"({
      "address": "chat.channel:c", "kind": "chat.channel", "label": "# c",
      "actions": [
        {"id": "open", "label": "Open conversation", "kind": "chat.operation",
         "payload": {"OpenChannel": "c"}, "operation_type": "view", "parameter": null, "destructive": false},
        {"id": "rename", "label": "Rename channel", "kind": null, "payload": null, "operation_type": null,
         "parameter": {"name": "Name", "placeholder": "channel name…"}, "destructive": false},
        {"id": "delete", "label": "Delete channel", "kind": "chat.action", "payload": null,
         "operation_type": null, "parameter": null, "destructive": true}
      ],
      "children": []})");
    EXPECT_EQ(resource::to_json(tree), expected);
}

struct ArgsCase {
    char const* json;
    bool ok;
    std::optional<std::string> value;
};

class ActionArgsTest : public testing::TestWithParam<ArgsCase> {};

TEST_P(ActionArgsTest, ReadsTextArguments) {
    auto args = ActionArgs::from_json(GetParam().json);
    ASSERT_EQ(args.has_value(), GetParam().ok);
    if (args) {
        EXPECT_EQ(args->text("value"), GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ActionArgsTest,
                         testing::Values(ArgsCase{R"({"value":"hi"})", true, "hi"},
                                         ArgsCase{R"({"value":""})", true, ""},
                                         ArgsCase{R"({"value":3})", true, std::nullopt},
                                         ArgsCase{R"({"other":"x"})", true, std::nullopt},
                                         ArgsCase{"[]", false, std::nullopt},
                                         ArgsCase{"\"value\"", false, std::nullopt},
                                         ArgsCase{R"({"value":)", false, std::nullopt}));

TEST(ActionAddress, EncodesPartsVerbatimAndStripsKinds) {
    EXPECT_EQ(ActionAddress::of("chat.people").encode(), "chat.people");
    EXPECT_EQ(ActionAddress::of("chat.channel", "c_1").encode(), "chat.channel:c_1");
    EXPECT_EQ((ActionAddress{"chat.reaction", {"m:1", "👍"}}).encode(), "chat.reaction:m:1:👍");
    EXPECT_EQ(ActionAddress::of("chat.channel", "").encode(), "chat.channel:");

    struct Case {
        std::string_view address, kind;
        std::optional<std::string_view> rest;
    };
    for (auto const& c :
         {Case{"chat.channel:c:1", "chat.channel", "c:1"}, Case{"chat.people", "chat.people", ""},
          Case{"chat.channelx:1", "chat.channel", std::nullopt},
          Case{"chat.chan", "chat.channel", std::nullopt},
          Case{"chat.channel:", "chat.channel", ""}})
        EXPECT_EQ(ActionAddress::strip_kind(c.address, c.kind), c.rest) << c.address;
}

TEST(ActionContext, EnrichedByFillsOnlyWhatTheActionLeavesOpen) {
    ActionContext standing{.app_id = "org.vemo.Chat",
                           .app_name = "Chat",
                           .title = "Browsing",
                           .resource = ResourceRef{"chat.channel", "chat.channel:c", "# c"},
                           .attributes = {{"workspace", "w1"}, {"origin", "ui"}}};
    ActionContext action{.app_id = "",
                         .app_name = "",
                         .title = "Send message",
                         .resource = ResourceRef{"chat.message", "chat.message:m", "Message"},
                         .attributes = {{"origin", "automation"}}};
    ActionContext combined = action.enriched_by(standing);
    EXPECT_EQ(combined.app_id, "org.vemo.Chat");
    EXPECT_EQ(combined.app_name, "Chat");
    EXPECT_EQ(combined.title, "Send message");
    EXPECT_EQ(combined.resource, action.resource);
    EXPECT_EQ(combined.attributes, (std::vector<std::pair<std::string, std::string>>{
                                       {"origin", "automation"}, {"workspace", "w1"}}));

    ActionContext bare{};
    EXPECT_EQ(bare.enriched_by(standing), standing);
    EXPECT_EQ(standing.enriched_by(ActionContext{}), standing);

    ActionContext partial{.resource = ResourceRef{"chat.channel", "", ""}};
    EXPECT_EQ(partial.enriched_by(standing).resource, standing.resource)
        << "same kind fills address and label";
    ActionContext other_kind{.resource = ResourceRef{"chat.category", "", ""}};
    EXPECT_EQ(other_kind.enriched_by(standing).resource, other_kind.resource);
}

}  // namespace
