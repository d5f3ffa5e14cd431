#include <gtest/gtest.h>

#include "doc/schema.hpp"

namespace chat::doc {
namespace {

// Every write so far committed; answers how many operations the last stretch produced.
size_t ops_since_commit(AutoCommit& doc) {
    size_t n = doc.pending_ops();
    doc.commit();
    return n;
}

Message full_message() {
    Message m;
    m.id = "m_full";
    m.author = "u_a";
    m.text = "héllo @B 👋";
    m.ts = -5;
    m.parent = "m_root";
    m.edited = true;
    m.history = {{10, "first"}, {20, "second"}};
    m.reactions = {{"👍", {"u_a", "u_b"}}, {"🔥", {"u_c"}}};
    m.mentions = {{"u_b", 7, 2, true}, {"u_big", 0xFFFFFFFFFFFFFFFFULL, 1, false}};
    m.reference = ResourceRef{"chat.message", "m_other", "quoted", Span{1, 4, SpanUnit::Bytes}};
    m.attachment = VideoAttachment{"v.webm", std::string(64, 'a'), 1280, 720, 1ULL << 40};
    m.work =
        AgentWork{AgentWorkState{AgentWorkState::Doing{"read", "the log"}},
                  99,
                  std::nullopt,
                  {AgentStep{"s1", 1, "chat.channel:c", "looked", {AgentStepOutcome::Asked{}}}}};
    return m;
}

TEST(InsertMessage, EveryFieldRoundTrips) {
    AutoCommit doc;
    auto m = full_message();
    ASSERT_TRUE(insert_message(doc, "c_one", m));
    auto at = find_message(doc, "m_full");
    ASSERT_TRUE(at);
    EXPECT_EQ(at->channel, "c_one");
    EXPECT_EQ(at->index, 0u);
    m.channel = "c_one";
    EXPECT_EQ(read_message(doc, at->map, "c_one"), m);
}

// The reference, attachment and work live apart from the message: a copy must own its own,
// and equality must compare what they hold, not where.
TEST(Message, CopiesOwnTheirRareFieldsAndCompareByValue) {
    auto original = full_message();
    auto copy = original;
    EXPECT_EQ(copy, original);
    std::get<VideoAttachment>(*copy.attachment).name = "other.webm";
    copy.work->since = 100;
    copy.reference->label = "changed";
    EXPECT_EQ(std::get<VideoAttachment>(*original.attachment).name, "v.webm");
    EXPECT_EQ(original.work->since, 99);
    EXPECT_EQ(original.reference->label, "quoted");
    EXPECT_NE(copy, original);

    copy = original;
    copy.attachment.reset();
    EXPECT_NE(copy, original);
    EXPECT_TRUE(copy.attachment == std::nullopt);
    original.attachment = std::optional<Attachment>();
    EXPECT_EQ(copy, original);
    EXPECT_THROW((void)copy.attachment.value(), std::bad_optional_access);

    auto moved = std::move(copy);
    EXPECT_EQ(moved, original);
}

TEST(InsertMessage, AnIdTakenInAnyChannelWritesNothing) {
    AutoCommit doc;
    Message m;
    m.id = "m_1";
    ASSERT_TRUE(insert_message(doc, "c_a", m));
    ops_since_commit(doc);
    EXPECT_FALSE(insert_message(doc, "c_b", m));
    EXPECT_EQ(ops_since_commit(doc), 0u);
    auto messages = get_map(doc, ObjId::root(), "messages");
    EXPECT_EQ(get_list(doc, *messages, "c_b"), std::nullopt);
}

TEST(InsertMessage, EmptyCollectionsAreStillCreatedAndAppendsKeepOrder) {
    AutoCommit doc;
    for (auto id : {"m_1", "m_2", "m_3"}) {
        Message m;
        m.id = id;
        ASSERT_TRUE(insert_message(doc, "c", m));
    }
    auto list = get_list(doc, *get_map(doc, ObjId::root(), "messages"), "c");
    ASSERT_EQ(length(doc, *list), 3u);
    auto last = get_at(doc, *list, 2);
    EXPECT_EQ(get_str(doc, *last, "id"), "m_3");
    for (auto key : {"reactions", "mentions", "history"})
        EXPECT_EQ(length(doc, *get_list(doc, *last, key)), 0u) << key;
    EXPECT_EQ(get_str(doc, *last, "parent"), "");
    EXPECT_EQ(get_text(doc, *last, "text"), "");
    EXPECT_EQ(get_map(doc, *last, "attachment"), std::nullopt);
    EXPECT_EQ(get_str(doc, *last, "reference"), std::nullopt);
}

TEST(ReadMessage, MalformedPartsFallBackToDefaults) {
    AutoCommit doc;
    Message m;
    m.id = "m";
    ASSERT_TRUE(insert_message(doc, "c", m));
    auto map = find_message(doc, "m")->map;
    ASSERT_TRUE(put_str(doc, map, "reference", "{not json"));
    ASSERT_TRUE(put_str(doc, map, "ts", "yesterday"));
    auto reactions = *get_list(doc, map, "reactions");
    ASSERT_TRUE(doc.insert(reactions, 0, automerge::ScalarValue{int64_t{1}}));
    auto entry = *insert_map(doc, reactions, 1);
    ASSERT_TRUE(put_str(doc, entry, "emoji", "👍"));  // no user: ignored

    auto read = read_message(doc, map, "c");
    EXPECT_EQ(read.reference, std::nullopt);
    EXPECT_EQ(read.ts, 0);
    EXPECT_TRUE(read.reactions.empty());
    EXPECT_EQ(read.parent, std::nullopt);
}

struct AttachmentCase {
    char const* name;
    std::vector<std::pair<char const*, char const*>> strings;
    std::vector<std::pair<char const*, int64_t>> ints;
    Attachment expected;
};

class ReadAttachment : public testing::TestWithParam<AttachmentCase> {};

TEST_P(ReadAttachment, KindAndSourceRules) {
    AutoCommit doc;
    auto map = *ensure_map(doc, ObjId::root(), "msg");
    auto att = *ensure_map(doc, map, "attachment");
    for (auto [k, v] : GetParam().strings) ASSERT_TRUE(put_str(doc, att, k, v));
    for (auto [k, v] : GetParam().ints) ASSERT_TRUE(put_int(doc, att, k, v));
    EXPECT_EQ(read_attachment(doc, map), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ReadAttachment,
    testing::Values(AttachmentCase{"image",
                                   {{"kind", "image"}, {"name", "a.png"}, {"blob", "b"}},
                                   {{"w", 3}, {"h", 4}},
                                   ImageAttachment{"a.png", "b", 3, 4}},
                    AttachmentCase{"empty_blob_uses_path",
                                   {{"kind", "image"}, {"blob", ""}, {"path", "vemo-demo://x"}},
                                   {},
                                   ImageAttachment{"", "vemo-demo://x", 0, 0}},
                    AttachmentCase{"unknown_kind_is_file",
                                   {{"kind", "Image"}, {"name", "n"}},
                                   {{"size", 9}},
                                   FileAttachment{"n", "", 9}},
                    AttachmentCase{"video_size_keeps_64_bits",
                                   {{"kind", "video"}},
                                   {{"size", -1}, {"w", 0x1'0000'0002}},
                                   VideoAttachment{"", "", 2, 0, 0xFFFFFFFFFFFFFFFFULL}}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(ReadCount, RewritingTheStoredValueChangesNothing) {
    AutoCommit doc;
    EXPECT_FALSE(set_read_count(doc, "c", "u", 0));  // absent reads as 0
    EXPECT_TRUE(get_map(doc, *get_map(doc, ObjId::root(), "read"), "c"));
    ops_since_commit(doc);
    EXPECT_TRUE(set_read_count(doc, "c", "u", 4));
    EXPECT_EQ(read_count(doc, "c", "u"), 4);
    ops_since_commit(doc);
    EXPECT_FALSE(set_read_count(doc, "c", "u", 4));
    EXPECT_EQ(ops_since_commit(doc), 0u);
}

TEST(Person, TheDifferingFieldsFormWritesOnlyWhatChanged) {
    AutoCommit doc;
    EXPECT_TRUE(update_person(doc, "u_me", "Ann", "A", 3, "online"));
    ops_since_commit(doc);
    EXPECT_FALSE(update_person(doc, "u_me", "Ann", "A", 3, "online"));
    EXPECT_EQ(ops_since_commit(doc), 0u);
    EXPECT_TRUE(update_person(doc, "u_me", "Ann Lee", "AL", 3, "online"));
    EXPECT_EQ(ops_since_commit(doc), 2u);
    // A name that is not UTF-8 is stored repaired and then counts as unchanged.
    EXPECT_TRUE(update_person(doc, "u_me", "Ann \xFF", "AL", 3, "online"));
    ops_since_commit(doc);
    EXPECT_FALSE(update_person(doc, "u_me", "Ann \xFF", "AL", 3, "online"));
}

TEST(Writers, IdsThatCannotBeKeysAreRefusedWithoutWriting) {
    AutoCommit doc;
    Message m;
    m.id = "m";
    EXPECT_FALSE(write_workspace(doc, "ws_\xFF", "n", "g", 0, 0));
    EXPECT_FALSE(write_channel(doc, "\xC3", "w", "c", "n", "", ChannelKind::Voice, 0));
    EXPECT_FALSE(write_person(doc, "\xFF", "n", "i", 0, "online"));
    EXPECT_FALSE(insert_message(doc, "c_\xE2\x82", m));
    EXPECT_FALSE(set_read_count(doc, "c", "\xFF", 3));
    EXPECT_FALSE(join_call(doc, "\xFF", "u"));
    EXPECT_FALSE(set_draft(doc, "\xFF", "text"));
    EXPECT_EQ(ops_since_commit(doc), 0u);
}

TEST(Voice, ChannelAndParticipantRecords) {
    AutoCommit doc;
    ASSERT_TRUE(write_channel(doc, "c_v", "w", "cat", "Lounge", "", ChannelKind::Voice, 0));
    auto voice = get_map(doc, ObjId::root(), "voice");
    ASSERT_TRUE(voice && get_map(doc, *voice, "c_v"));

    EXPECT_TRUE(join_call(doc, "c_v", "u"));
    EXPECT_TRUE(set_voice_flags(doc, "c_v", "u", false, true, false, false));
    EXPECT_TRUE(set_sharing(doc, "c_v", "u", true));
    EXPECT_TRUE(set_ticket(doc, "c_v", "u", "{\"node\":1}"));
    ops_since_commit(doc);
    // Joining again keeps the flags; unchanged sharing and ticket write nothing.
    EXPECT_FALSE(join_call(doc, "c_v", "u"));
    EXPECT_FALSE(set_sharing(doc, "c_v", "u", true));
    EXPECT_FALSE(set_ticket(doc, "c_v", "u", "{\"node\":1}"));
    EXPECT_EQ(ops_since_commit(doc), 0u);
    auto p = *get_map(doc, *get_map(doc, *voice, "c_v"), "u");
    EXPECT_EQ(get_bool(doc, p, "muted"), true);
    EXPECT_EQ(get_bool(doc, p, "sharing"), true);
}

TEST(Drafts, SplicesOnlyTheDifference) {
    AutoCommit doc;
    auto key = thread_draft_key("c", "m_root");
    EXPECT_EQ(key, "c::t::m_root");
    ASSERT_TRUE(set_draft(doc, key, "hello world"));
    ops_since_commit(doc);
    ASSERT_TRUE(set_draft(doc, key, "hello, world"));
    EXPECT_EQ(ops_since_commit(doc), 1u);  // one inserted character
    EXPECT_EQ(get_text(doc, *get_map(doc, ObjId::root(), "drafts"), key), "hello, world");
    ASSERT_TRUE(set_draft(doc, key, "hello, world"));
    EXPECT_EQ(ops_since_commit(doc), 0u);
}

}  // namespace
}  // namespace chat::doc
