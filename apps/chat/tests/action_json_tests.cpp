#include <gtest/gtest.h>

#include "actions/chat_action.hpp"

using namespace chat;

namespace {

std::string const blob(64, 'a');

}  // namespace

TEST(ChatActionJson, SendMessageEncodesEveryMemberInOrder)
{
    ChatAction a = action::SendMessage{"c", "m", "u", 1, "hi", {}, {}, {}, {}};
    EXPECT_EQ(encode(a),
              R"({"SendMessage":{"channel":"c","id":"m","author":"u","ts":1,"text":"hi",)"
              R"("parent":null,"attachment":null,"mentions":[],"reference":null}})");
    EXPECT_EQ(decode_chat_action(encode(a)), a);

    auto minimal = decode_chat_action(R"({"SendMessage":{"channel":"c","id":"m","author":"u","ts":1,"text":"hi"}})");
    ASSERT_TRUE(minimal) << minimal.error();
    EXPECT_EQ(*minimal, a);
}

TEST(ChatActionJson, RoundTripsEveryShape)
{
    AgentWork work;
    work.state.value = AgentWorkState::Doing{"drafted", "the grid"};
    work.since = -5;
    work.reasoning = AgentReasoning{AgentRoute::Floor, "asked"};
    std::vector<ChatAction> actions = {
        action::SendMessage{"c", "m", "u", -7, "héllo \"quoted\"\n👍🏽", std::string("root"),
                            Attachment{ImageAttachment{"a.png", blob, 640, 480}},
                            {Mention{"u_1", 0, 3, true}},
                            ResourceRef{"chat.message", "m_1", "quote", Span{1, 4, SpanUnit::Bytes}}},
        action::SendMessage{"c", "m2", "u", 0, "", {}, Attachment{VideoAttachment{"v.mp4", blob, 1, 2, 3}}, {}, ResourceRef{"k", "i", "l", {}}},
        action::SendMessage{"c", "m3", "u", 0, "", {}, Attachment{FileAttachment{"f", blob, UINT64_MAX}}, {}, {}},
        action::EditMessage{"c", "m", "new", 9},
        action::DeleteMessage{"c", "m"},
        action::AddReaction{"c", "m", "🎉", "u"},
        action::RemoveReaction{"c", "m", "🎉", "u"},
        action::PinMessage{"c", "m", true},
        action::CreateChannel{"w", "cat", "c_1", "voice-room", ChannelKind::Voice},
        action::CreateCategory{"w", "cat", "Name"},
        action::RenameCategory{"cat", "N"},
        action::DeleteCategory{"cat"},
        action::SetCategoryCollapsed{"cat", true},
        action::ReorderChannel{"c", false},
        action::RenameChannel{"c", "n"},
        action::DeleteChannel{"c"},
        action::ArchiveChannel{"c", true},
        action::MarkRead{"c", "u", -1},
        action::SetAgentWork{"c", "m", work, std::string("on it")},
        action::JoinCall{"c", "u"},
        action::LeaveCall{"c", "u"},
        action::SetCallState{"c", "u", true, false, true, false},
        action::SetScreenShare{"c", "u", true},
        action::SetCallTicket{"c", "u", R"({"id":"x"})"},
    };
    for (auto const& a : actions) {
        auto back = decode_chat_action(encode(a));
        ASSERT_TRUE(back) << encode(a) << "\n" << back.error();
        EXPECT_EQ(*back, a) << encode(a);
        EXPECT_EQ(encode(*back), encode(a));
    }
    EXPECT_NE(encode(actions[8]).find(R"("kind":"Voice")"), std::string::npos);
}

TEST(ChatActionJson, StrictDecodingErrors)
{
    struct Case {
        std::string json;
        std::string error_part;
    };
    std::vector<Case> cases = {
        {R"({"SendMessage":{"channel":"c","id":"m","author":"u","text":"hi"}})", "missing field `ts`"},
        {R"({"sendMessage":{}})", "unknown variant `sendMessage`, expected one of `SendMessage`, `EditMessage`"},
        {R"({"Nope":{}})", "`SetScreenShare`, `SetCallTicket`"},
        {R"({"DeleteMessage":{"channel":"c","channel":"d","id":"m"}})", "duplicate field `channel`"},
        {R"({"SendMessage":{"channel":"c","id":"m","author":"u","ts":1,"text":"hi","attachment":{"Image":{"name":"a","blob":"b","w":-1,"h":2}}}})", "invalid value: integer `-1`, expected u32"},
        {R"({"SendMessage":{"channel":"c","id":"m","author":"u","ts":1,"text":"hi","attachment":{"Image":{"name":"a","blob":"b","w":1}}}})", "missing field `h`"},
        {R"({"CreateChannel":{"workspace":"w","category":"c","id":"i","name":"n","kind":"voice"}})", "unknown variant `voice`"},
        {R"({"MarkRead":{"channel":"c","user":"u","count":1.5}})", "invalid type: floating point"},
        {R"({"MarkRead":{"channel":"c","user":"u","count":"1"}})", "invalid type: string \"1\", expected i64"},
        {R"({"PinMessage":{"channel":"c","msg":"m","pinned":null}})", "invalid type: null, expected a boolean"},
        {R"({"SendMessage":{"channel":"c","id":"m","author":"u","ts":1,"text":"hi","mentions":[{"user":"x","start":0,"len":1}]}})", "missing field `is_agent`"},
        {R"({"SendMessage":{"channel":"c","id":"m","author":"u","ts":1,"text":"hi","reference":{"kind":"k","id":"i"}}})", "missing field `label`"},
        {R"({"DeleteChannel":{"id":"c"},"DeleteCategory":{"id":"c"}})", "expected enum ChatAction"},
        {R"([1,2])", "invalid type: sequence"},
        {R"({"DeleteChannel":)", "malformed JSON"},
        {R"({"DeleteChannel":{"id":"c"}} trailing)", "malformed JSON"},
        {std::string(200, '[') + std::string(200, ']'), "nested too deeply"},
    };
    for (auto const& c : cases) {
        auto r = decode_chat_action(c.json);
        ASSERT_FALSE(r) << c.json;
        EXPECT_NE(r.error().find(c.error_part), std::string::npos) << c.json << "\n -> " << r.error();
    }
}

TEST(ChatActionJson, UnknownMembersIgnoredAndOptionalsMayBeNull)
{
    auto r = decode_chat_action(
        R"({"SendMessage":{"extra":{"deep":[1]},"channel":"c","id":"m","author":"u","ts":1,"text":"hi",)"
        R"("parent":null,"attachment":null,"mentions":null,"reference":null,"extra":2}})");
    ASSERT_TRUE(r) << r.error();
    auto const& m = std::get<action::SendMessage>(*r);
    EXPECT_FALSE(m.parent);
    EXPECT_TRUE(m.mentions.empty());
    auto w = decode_chat_action(R"({"SetAgentWork":{"channel":"c","msg":"m","work":{"state":{"state":"taken"},"since":1,"trace":[]}}})");
    ASSERT_TRUE(w) << w.error();
    EXPECT_FALSE(std::get<action::SetAgentWork>(*w).say);
}

TEST(ChatOperationJson, RoundTripAndErrors)
{
    std::vector<ChatOperation> ops = {
        operation::OpenWorkspace{"w"},
        operation::OpenChannel{"w", "c"},
        operation::OpenCategory{"w", "cat"},
        operation::RevealMessage{"w", "c", "m", std::string("root")},
        operation::RevealMessage{"w", "c", "m", {}},
        operation::OpenPerson{"u"},
        operation::ImportAttachment{"c", "/tmp/x.png"},
    };
    for (auto const& op : ops) EXPECT_EQ(decode_chat_operation(encode(op)), op) << encode(op);
    EXPECT_EQ(encode(ops[4]), R"({"RevealMessage":{"workspace":"w","channel":"c","message":"m","parent":null}})");
    auto missing = decode_chat_operation(R"({"RevealMessage":{"workspace":"w","channel":"c"}})");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("missing field `message`"), std::string::npos);
    EXPECT_FALSE(decode_chat_operation(R"({"SendMessage":{}})"));
}

TEST(ChatAction, DestructiveVariantsAndDebugText)
{
    EXPECT_TRUE(is_destructive(action::DeleteMessage{"c", "m"}));
    EXPECT_TRUE(is_destructive(action::DeleteCategory{"x"}));
    EXPECT_TRUE(is_destructive(action::DeleteChannel{"x"}));
    EXPECT_FALSE(is_destructive(action::ArchiveChannel{"x", true}));
    EXPECT_EQ(debug_text(action::DeleteChannel{"c_1"}), R"(DeleteChannel {"id":"c_1"})");
}
