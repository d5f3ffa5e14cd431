#include <gtest/gtest.h>

#include <regex>

#include "actions/dispatch.hpp"
#include "actions/mentions.hpp"
#include "actions/operations.hpp"
#include "actions/resources.hpp"
#include "doc/internal_error.hpp"
#include "doc/schema.hpp"
#include "doc/seeds.hpp"

using namespace chat;
using automerge::AutoCommit;
using vemo_actions::EncodedAction;
using vemo_actions::OperationType;
using vemo_actions::resource::Resource;

namespace {

struct World {
    AutoCommit doc;
    model::Navigation nav;
    model::ViewModel view;
    std::string me = "u_me";

    World()
    {
        nav.local.id = me;
        nav.local.name = "Me";
    }
    void refresh()
    {
        doc.commit();
        view = model::refresh(doc, nav);
    }
    ResourceInputs inputs() { return ResourceInputs{view, nav, me, 1782477600}; }
};

void collect_actions(Resource const& r, std::vector<std::pair<std::string, bool>>& out)
{
    for (auto const& a : r.actions()) out.emplace_back(a.id(), a.is_destructive());
    for (auto const& c : r.children()) collect_actions(c, out);
}

}  // namespace

TEST(Resources, RootListingLimits)
{
    World w;
    for (int i = 0; i < 10; ++i)
        doc::write_workspace(w.doc, "ws_" + std::to_string(i), "W" + std::to_string(i), "W", 0, i);
    for (int i = 0; i < 80; ++i)
        doc::write_channel(w.doc, "c_" + std::to_string(100 + i), "ws_0", "", "ch", "", ChannelKind::Text, i);
    for (int i = 0; i < 30; ++i) doc::write_person(w.doc, "u_" + std::to_string(i), "P", "P", 0, "online");
    w.refresh();
    auto roots = list_resources(w.inputs());
    ASSERT_EQ(roots.size(), 9u);  // eight workspaces and the people
    EXPECT_EQ(roots[0].children().size(), 71u);
    EXPECT_TRUE(roots[1].children().empty()) << "the budget is spent";
    EXPECT_EQ(roots.back().address(), "chat.people");
    EXPECT_LE(roots.back().children().size(), 23u);
}

TEST(Resources, LabelsChildrenAndDestructiveFlags)
{
    World w;
    doc::write_workspace(w.doc, "ws", "   ", "", 0, 0);
    doc::write_category(w.doc, "cat", "ws", "Stuff", 0, false);
    doc::write_channel(w.doc, "c_v", "ws", "cat", "lounge", "", ChannelKind::Voice, 0);
    doc::write_channel(w.doc, "c_t", "ws", "cat", "", "", ChannelKind::Text, 1);
    w.refresh();
    auto roots = list_resources(w.inputs());
    EXPECT_EQ(roots[0].label(), "Workspace");
    auto const& voice = roots[0].children()[0];
    EXPECT_EQ(voice.label(), "🔊 lounge");
    ASSERT_EQ(voice.children().size(), 1u);
    EXPECT_TRUE(voice.children()[0].address().starts_with("chat.call:"));
    EXPECT_EQ(roots[0].children()[1].label(), "# channel");

    std::vector<std::pair<std::string, bool>> actions;
    for (auto const& r : roots) collect_actions(r, actions);
    int deletes = 0;
    for (auto const& [id, destructive] : actions) {
        EXPECT_EQ(destructive, id == "delete") << id;
        deletes += id == "delete";
    }
    EXPECT_EQ(deletes, 3);  // two channels and the category
    EXPECT_FALSE(describe_resource("chat.channel:nope", w.inputs()));
    EXPECT_FALSE(describe_resource("chat.bogus:c_t", w.inputs()));
}

TEST(Resources, TextParameterBuilders)
{
    World w;
    doc::write_workspace(w.doc, "ws", "Work", "W", 0, 0);
    doc::write_channel(w.doc, "c_t", "ws", "", "general", "", ChannelKind::Text, 0);
    doc::write_person(w.doc, "u_ann", "Ann", "A", 0, "online");
    Message hello;
    hello.id = "m_hello";
    hello.author = "u_ann";  // people of a workspace are those who take part in it
    hello.text = "hello";
    doc::insert_message(w.doc, "c_t", hello);
    w.refresh();
    auto ws = *describe_resource("chat.workspace:ws", w.inputs());
    auto encoded = ws.find_action("new-channel")->resolve(vemo_actions::ActionArgs().set_text("value", "   "));
    ASSERT_TRUE(encoded);
    auto action = decode_chat_action(encoded->json);
    ASSERT_TRUE(action);
    auto const& create = std::get<action::CreateChannel>(*action);
    EXPECT_EQ(create.name, "new-channel");
    EXPECT_EQ(create.category, "");
    EXPECT_TRUE(std::regex_match(create.id, std::regex("c_[0-9a-f]{32}"))) << create.id;

    auto channel = *describe_resource("chat.channel:c_t", w.inputs());
    auto post = channel.find_action("post")->resolve(vemo_actions::ActionArgs().set_text("value", "  hi @ann, look  "));
    auto send = std::get<action::SendMessage>(*decode_chat_action(post->json));
    EXPECT_EQ(send.text, "hi @ann, look");
    EXPECT_EQ(send.author, "u_me");
    ASSERT_EQ(send.mentions.size(), 1u);
    EXPECT_EQ(send.mentions[0].user, "u_ann");

    auto attach = channel.find_action("attach")->resolve(vemo_actions::ActionArgs().set_text("value", " /tmp/a.png "));
    EXPECT_EQ(attach->kind, "chat.operation");
    EXPECT_EQ(attach->operation_type, OperationType::Effect);
    EXPECT_EQ(attach->json, R"({"ImportAttachment":{"channel":"c_t","path":"/tmp/a.png"}})");
}

TEST(Resources, DemoSeedResolvesEveryKindOfAddress)
{
    World w;
    doc::demo_seed(w.doc);
    w.refresh();
    ASSERT_FALSE(w.view.all_messages.empty());
    int resolved = 0;
    for (auto const& m : w.view.all_messages) {
        auto r = describe_resource("chat.message:" + m.id, w.inputs());
        ASSERT_TRUE(r) << m.id;
        ++resolved;
        for (auto const& child : r->children()) EXPECT_TRUE(describe_resource(child.address(), w.inputs())) << child.address();
    }
    EXPECT_GT(resolved, 8);
    EXPECT_TRUE(describe_resource("chat.people", w.inputs()));
}

TEST(ActionContext, TitlesAndTargets)
{
    World w;
    auto ctx = *action_context(action::PinMessage{"c", "m_1", false}, w.inputs());
    EXPECT_EQ(ctx.title, "Unpin message");
    EXPECT_EQ(ctx.app_id, "org.vemo.Chat");
    EXPECT_EQ(ctx.resource->address, "chat.message:m_1");
    EXPECT_EQ(ctx.resource->label, "Message");
    auto ch = *action_context(action::ReorderChannel{"c_9", true}, w.inputs());
    EXPECT_EQ(ch.title, "Move channel up");
    EXPECT_EQ(ch.resource->label, "c_9");
}

namespace {

struct RecordingTarget : OperationTarget {
    std::vector<std::string> calls;
    bool accept_import = true;
    void open_workspace(std::string const& w) override { calls.push_back("workspace " + w); }
    void open_channel(std::string const& w, std::string const& c) override { calls.push_back("channel " + w + " " + c); }
    void open_category(std::string const&, std::string const& c) override { calls.push_back("category " + c); }
    void reveal_message(std::string const&, std::string const& c, std::string const& m,
                        std::optional<std::string> const& p) override
    {
        calls.push_back("reveal " + c + " " + m + " " + p.value_or("-"));
    }
    void open_person(std::string const& u) override { calls.push_back("person " + u); }
    bool start_attachment_import(std::string const& c, std::string const& p) override
    {
        calls.push_back("import " + c + " " + p);
        return accept_import;
    }
};

std::string outcome_text(OperationOutcome const& o)
{
    if (std::holds_alternative<OperationDone>(o)) return "done";
    if (std::holds_alternative<OperationNotHandled>(o)) return "not handled";
    return std::get<OperationError>(o).message;
}

}  // namespace

TEST(Operations, ChecksInOrder)
{
    World w;
    doc::write_workspace(w.doc, "ws", "Work", "W", 0, 0);
    doc::write_channel(w.doc, "c_t", "ws", "", "general", "", ChannelKind::Text, 0);
    doc::write_person(w.doc, "u_ann", "Ann", "A", 0, "online");
    w.refresh();
    RecordingTarget target;
    auto run = [&](ChatOperation const& op, std::optional<OperationType> type, std::string kind = "chat.operation") {
        return outcome_text(handle_chat_operation(EncodedAction{kind, encode(op), type}, w.view, "ws", target));
    };
    using T = OperationType;
    struct Case {
        ChatOperation op;
        std::optional<T> type;
        std::string expected;
    };
    std::vector<Case> cases = {
        {operation::ImportAttachment{"c_t", "/tmp/x"}, T::View, "attachment import requires an Effect operation"},
        {operation::ImportAttachment{"gone", ""}, T::Effect, "attachment path is empty"},
        {operation::ImportAttachment{"gone", "/tmp/x"}, T::Effect, "conversation no longer exists"},
        {operation::ImportAttachment{"c_t", "/tmp/x"}, T::Effect, "done"},
        {operation::OpenChannel{"ws", "c_t"}, T::Effect, "Chat navigation requires a View operation"},
        {operation::OpenChannel{"ws", "c_t"}, std::nullopt, "not handled"},
        {operation::OpenChannel{"other", "c_t"}, T::View, "conversation no longer exists"},
        {operation::OpenChannel{"ws", "c_t"}, T::View, "done"},
        {operation::OpenWorkspace{"nope"}, T::View, "workspace no longer exists"},
        {operation::OpenCategory{"ws", "nope"}, T::View, "category no longer exists"},
        {operation::RevealMessage{"ws", "deleted", "m", {}}, T::View, "conversation no longer exists"},
        {operation::RevealMessage{"ws", "c_t", "m", {}}, T::View, "message no longer exists"},
        {operation::OpenPerson{"u_nobody"}, T::View, "person no longer exists"},
        {operation::OpenPerson{"u_ann"}, T::View, "done"},
    };
    for (auto const& c : cases) EXPECT_EQ(run(c.op, c.type), c.expected) << encode(c.op);
    EXPECT_EQ(target.calls, (std::vector<std::string>{"import c_t /tmp/x", "channel ws c_t", "person u_ann"}));
    target.accept_import = false;
    EXPECT_EQ(run(operation::ImportAttachment{"c_t", "/tmp/y"}, T::Effect), "attachment import was not accepted");
    EXPECT_EQ(run(operation::OpenWorkspace{"ws"}, T::View, "other.kind"), "not handled");
    EXPECT_EQ(outcome_text(handle_chat_operation(EncodedAction{"chat.operation", "{\"Nope\":{}}", T::View}, w.view, "ws", target))
                  .find("unknown variant"),
              0u);
}

TEST(Mentions, DetectionRules)
{
    std::vector<MentionCandidate> people = {{"u_ann", "Ann", false}, {"u_al", "Ann Lee", false},
                                            {"u_bot", "Robo", true}, {"u_zo", "Zoë", false}};
    struct Case {
        std::string text;
        std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> expected;
    };
    std::vector<Case> cases = {
        {"@ann, hi", {{"u_ann", {0, 4}}}},
        {"@annie hi", {}},
        {"hey @Ann Lee!", {{"u_al", {4, 8}}}},
        {"@ROBO", {{"u_bot", {0, 5}}}},
        {"@Zoë2", {}},
        {"@zoË.", {{"u_zo", {0, 5}}}},
        {"mail@ann @ann", {{"u_ann", {4, 4}}, {"u_ann", {9, 4}}}},
        {"@", {}},
    };
    for (auto const& c : cases) {
        auto found = detect_mentions(c.text, people);
        ASSERT_EQ(found.size(), c.expected.size()) << c.text;
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].user, c.expected[i].first) << c.text;
            EXPECT_EQ(found[i].start, c.expected[i].second.first) << c.text;
            EXPECT_EQ(found[i].len, c.expected[i].second.second) << c.text;
        }
    }
    EXPECT_TRUE(detect_mentions("@Robo", people)[0].is_agent);
}

TEST(Dispatch, AppliesReportsAndKeepsHistory)
{
    World w;
    doc::write_channel(w.doc, "c_t", "ws", "", "general", "", ChannelKind::Text, 0);
    w.doc.commit();
    ActionState state;
    state.standing_context = vemo_actions::ActionContext{.app_id = "org.vemo.Chat"};
    vemo_ui::bound_dispatch::clear_history();
    ChatAction send = action::SendMessage{"c_t", "m_1", "u_me", 5, "hello", {}, {}, {}, {}};
    ASSERT_TRUE(dispatch_action(state, w.doc, send, action_context(send, w.inputs())));
    ASSERT_TRUE(state.pending_report);
    EXPECT_EQ(state.pending_report->action.kind, "chat.action");
    EXPECT_EQ(state.pending_report->heads_after, w.doc.get_heads());
    auto history = vemo_ui::bound_dispatch::history();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_TRUE(history[0].reported);
    EXPECT_NE(history[0].heads_before, history[0].heads_after);
    EXPECT_TRUE(doc::find_message(w.doc, "m_1"));

    vemo_actions::ActionRegistry registry;
    register_chat_actions(registry);
    auto decoded = registry.decode(EncodedAction{"chat.action", encode(send), std::nullopt});
    ASSERT_TRUE(decoded);
    EXPECT_EQ((*decoded)->debug_text(), debug_text(send));
    auto bad = registry.decode(EncodedAction{"chat.action", R"({"sendMessage":{}})", std::nullopt});
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().display().find("chat.action"), std::string::npos);
}
