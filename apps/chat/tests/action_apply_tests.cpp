#include <gtest/gtest.h>

#include "actions/apply.hpp"
#include "doc/internal_error.hpp"
#include "doc/schema.hpp"

using namespace chat;
using namespace chat::doc;
using automerge::AutoCommit;
using automerge::ObjId;

namespace {

std::string const hex64(64, 'b');

struct Fixture : ::testing::Test {
    AutoCommit d;

    void SetUp() override
    {
        write_channel(d, "c1", "w", "cat", "general", "", ChannelKind::Text, 0);
        d.commit();
    }

    action::SendMessage message(std::string id, std::string text = "hi", std::optional<std::string> parent = {})
    {
        return {"c1", std::move(id), "u_a", 100, std::move(text), std::move(parent), {}, {}, {}};
    }

    // True when applying the action changed the document.
    bool changes(ChatAction const& a)
    {
        auto before = d.get_heads();
        apply_action(d, a);
        d.commit();
        return d.get_heads() != before;
    }

    std::vector<std::string> ids_in(std::string const& channel)
    {
        std::vector<std::string> out;
        auto list = get_list(d, *get_map(d, ObjId::root(), "messages"), channel);
        for (size_t i = 0; list && i < length(d, *list); ++i)
            out.push_back(get_str(d, *get_at(d, *list, i), "id").value_or("?"));
        return out;
    }

    ObjId channel(std::string const& id) { return *get_map(d, *get_map(d, ObjId::root(), "channels"), id); }
};

}  // namespace

TEST_F(Fixture, SendMessageChecks)
{
    struct Case {
        ChatAction action;
        bool accepted;
        char const* why;
    };
    auto with_attachment = [&](std::string id, Attachment att) {
        auto m = message(std::move(id));
        m.attachment = std::move(att);
        return m;
    };
    std::vector<Case> cases = {
        {message(std::string(128, 'a')), true, "128-byte id"},
        {message(std::string(129, 'b')), false, "129-byte id"},
        {message("has.dot"), false, "dot in id"},
        {message("has space"), false, "space in id"},
        {message(""), false, "empty id"},
        {message("Az09-_"), true, "every allowed kind of byte"},
        {message("big", std::string(65537, 'x')), false, "text too long"},
        {message("max", std::string(65536, 'x')), true, "longest text"},
        {action::SendMessage{"nochannel", "m_x", "u", 1, "hi", {}, {}, {}, {}}, false, "channel missing"},
        {with_attachment("img0", ImageAttachment{"a.png", hex64, 0, 10}), false, "zero width"},
        {with_attachment("img63", ImageAttachment{"a.png", std::string(63, 'a'), 1, 1}), false, "63 hex digits"},
        {with_attachment("imgtab", ImageAttachment{"a\t.png", hex64, 1, 1}), false, "tab in name"},
        {with_attachment("imgc1", ImageAttachment{"a\u0085.png", hex64, 1, 1}), false, "C1 control in name"},
        {with_attachment("imgok", ImageAttachment{"a.png", std::string(64, 'F'), 16384, 1}), true, "upper-case hex"},
        {with_attachment("vid", VideoAttachment{"v.mp4", hex64, 0, 0, 1}), true, "video without size"},
        {with_attachment("vid0", VideoAttachment{"v.mp4", hex64, 0, 0, 0}), false, "empty video"},
        {with_attachment("file", FileAttachment{"f", hex64, 33554433}), false, "file over 32 MiB"},
    };
    for (auto const& c : cases) EXPECT_EQ(changes(c.action), c.accepted) << c.why;
    EXPECT_FALSE(changes(message("Az09-_"))) << "an id already taken";

    // "messages" holding a list for a channel that has no record does not make it a channel.
    AutoCommit& d2 = d;
    auto messages = must(ensure_map(d2, ObjId::root(), "messages"), "t");
    must(ensure_list(d2, messages, "ghost"), "t");
    EXPECT_FALSE(changes(action::SendMessage{"ghost", "m_g", "u", 1, "hi", {}, {}, {}, {}}));
}

TEST_F(Fixture, RepliesAndThreads)
{
    ASSERT_TRUE(changes(message("root")));
    EXPECT_TRUE(changes(message("reply", "r", std::string("root"))));
    EXPECT_FALSE(changes(message("nested", "n", std::string("reply")))) << "reply to a reply";
    EXPECT_TRUE(changes(message("orphan", "o", std::string("nowhere")))) << "unknown parent is kept";
    EXPECT_EQ(get_str(d, find_message(d, "orphan")->map, "parent"), "nowhere");
    EXPECT_TRUE(changes(action::DeleteMessage{"c1", "root"}));
    EXPECT_EQ(ids_in("c1"), (std::vector<std::string>{"reply", "orphan"}));
}

TEST_F(Fixture, EditKeepsHistoryOnlyForRealChanges)
{
    ASSERT_TRUE(changes(message("m", "first")));
    EXPECT_FALSE(changes(action::EditMessage{"c1", "m", "first", 200}));
    auto msg = find_message(d, "m")->map;
    EXPECT_FALSE(get_bool(d, msg, "edited").value_or(false));
    EXPECT_TRUE(changes(action::EditMessage{"c1", "m", "first, fixed", 300}));
    auto read = read_message(d, msg, "c1");
    EXPECT_EQ(read.text, "first, fixed");
    EXPECT_TRUE(read.edited);
    ASSERT_EQ(read.history.size(), 1u);
    EXPECT_EQ(read.history[0].ts, 300);
    EXPECT_EQ(read.history[0].text, "first");
    EXPECT_FALSE(changes(action::EditMessage{"c1", "missing", "x", 1}));
}

TEST_F(Fixture, ReactionsAndPins)
{
    ASSERT_TRUE(changes(message("m")));
    EXPECT_TRUE(changes(action::AddReaction{"c1", "m", "👍", "u1"}));
    EXPECT_FALSE(changes(action::AddReaction{"c1", "m", "👍", "u1"}));
    EXPECT_TRUE(changes(action::AddReaction{"c1", "m", "👍", "u2"}));
    EXPECT_TRUE(changes(action::RemoveReaction{"c1", "m", "👍", "u1"}));
    EXPECT_FALSE(changes(action::RemoveReaction{"c1", "m", "👍", "u1"}));
    auto read = read_message(d, find_message(d, "m")->map, "c1");
    ASSERT_EQ(read.reactions.size(), 1u);
    EXPECT_EQ(read.reactions[0].users, std::vector<std::string>{"u2"});
    EXPECT_FALSE(changes(action::PinMessage{"c1", "m", false}));
    EXPECT_TRUE(changes(action::PinMessage{"c1", "m", true}));
    EXPECT_FALSE(changes(action::PinMessage{"c1", "m", true}));
}

TEST_F(Fixture, ChannelsAndCategories)
{
    EXPECT_TRUE(changes(action::CreateChannel{"w", "cat", "c2", "design", ChannelKind::Voice}));
    EXPECT_EQ(get_int(d, channel("c2"), "order"), 1);
    EXPECT_EQ(get_str(d, channel("c2"), "kind"), "voice");
    EXPECT_TRUE(get_map(d, *get_map(d, ObjId::root(), "voice"), "c2"));
    EXPECT_TRUE(changes(action::CreateChannel{"w", "other", "c3", "x", ChannelKind::Text}));
    EXPECT_EQ(get_int(d, channel("c3"), "order"), 0);

    EXPECT_FALSE(changes(action::ReorderChannel{"c1", true})) << "first sibling up";
    EXPECT_FALSE(changes(action::ReorderChannel{"c2", false})) << "last sibling down";
    EXPECT_TRUE(changes(action::ReorderChannel{"c2", true}));
    EXPECT_EQ(get_int(d, channel("c2"), "order"), 0);
    EXPECT_EQ(get_int(d, channel("c1"), "order"), 1);

    EXPECT_FALSE(changes(action::ArchiveChannel{"c1", false}));
    EXPECT_TRUE(changes(action::ArchiveChannel{"c1", true}));
    EXPECT_FALSE(changes(action::RenameCategory{"nope", "x"}));

    EXPECT_TRUE(changes(action::CreateCategory{"w", "k1", "First"}));
    EXPECT_TRUE(changes(action::CreateCategory{"w", "k2", "Second"}));
    EXPECT_EQ(get_int(d, *get_map(d, *get_map(d, ObjId::root(), "categories"), "k2"), "order"), 1);
}

TEST_F(Fixture, DeleteCategoryMovesChannelsAfterTheUncategorised)
{
    write_channel(d, "a", "w", "doomed", "a", "", ChannelKind::Text, 5);
    write_channel(d, "b", "w", "doomed", "b", "", ChannelKind::Text, 1);
    write_channel(d, "c", "w", "doomed", "c", "", ChannelKind::Text, 3);
    write_channel(d, "loose", "w", "", "loose", "", ChannelKind::Text, 7);
    write_channel(d, "elsewhere", "w2", "", "x", "", ChannelKind::Text, 50);
    write_category(d, "doomed", "w", "Doomed", 0, false);
    EXPECT_TRUE(changes(action::DeleteCategory{"doomed"}));
    EXPECT_EQ(get_int(d, channel("b"), "order"), 8);
    EXPECT_EQ(get_int(d, channel("c"), "order"), 9);
    EXPECT_EQ(get_int(d, channel("a"), "order"), 10);
    EXPECT_EQ(get_str(d, channel("a"), "category"), "");
    EXPECT_FALSE(get_map(d, *get_map(d, ObjId::root(), "categories"), "doomed"));
}

TEST_F(Fixture, DeleteChannelKeepsReadCounts)
{
    ASSERT_TRUE(changes(message("m")));
    ASSERT_TRUE(changes(action::MarkRead{"c1", "u", 1}));
    EXPECT_TRUE(changes(action::DeleteChannel{"c1"}));
    EXPECT_FALSE(get_map(d, *get_map(d, ObjId::root(), "channels"), "c1"));
    EXPECT_FALSE(get_list(d, *get_map(d, ObjId::root(), "messages"), "c1"));
    EXPECT_EQ(read_count(d, "c1", "u"), 1);
}

TEST_F(Fixture, MarkReadAndCalls)
{
    EXPECT_TRUE(changes(action::MarkRead{"fresh", "u", 0})) << "maps are created";
    EXPECT_FALSE(get_int(d, *get_map(d, *get_map(d, ObjId::root(), "read"), "fresh"), "u"));
    EXPECT_FALSE(changes(action::MarkRead{"fresh", "u", 0}));

    EXPECT_TRUE(changes(action::JoinCall{"v", "u"}));
    EXPECT_TRUE(changes(action::SetCallState{"v", "u", false, true, false, false}));
    EXPECT_TRUE(changes(action::SetScreenShare{"v", "u", true}));
    EXPECT_FALSE(changes(action::SetScreenShare{"v", "u", true}));
    EXPECT_FALSE(changes(action::JoinCall{"v", "u"})) << "rejoining keeps flags";
    auto rec = *get_map(d, *get_map(d, *get_map(d, ObjId::root(), "voice"), "v"), "u");
    EXPECT_EQ(get_bool(d, rec, "muted"), true);
    EXPECT_EQ(get_bool(d, rec, "sharing"), true);
    EXPECT_TRUE(changes(action::SetCallTicket{"v", "u", "t"}));
    EXPECT_FALSE(changes(action::SetCallTicket{"v", "u", "t"}));
    EXPECT_TRUE(changes(action::LeaveCall{"v", "u"}));
    EXPECT_FALSE(changes(action::LeaveCall{"v", "u"}));
}

TEST_F(Fixture, AgentWorkAndSay)
{
    ASSERT_TRUE(changes(message("m", "")));
    AgentWork work;
    work.state.value = AgentWorkState::Taken{};
    work.since = 5;
    EXPECT_TRUE(changes(action::SetAgentWork{"c1", "m", work, std::string("On it.")}));
    EXPECT_EQ(read_message(d, find_message(d, "m")->map, "c1").text, "On it.");
    EXPECT_FALSE(changes(action::SetAgentWork{"c1", "m", work, std::string("Again")})) << "say only into an empty text";
}
