#include <gtest/gtest.h>

#include "doc/schema.hpp"
#include "model/readers.hpp"
#include "model/view_model.hpp"

namespace chat::model {
namespace {

using doc::ObjId;

std::vector<std::string> ids_of(auto const& items) {
    std::vector<std::string> out;
    for (auto const& item : items) out.push_back(item.id);
    return out;
}

TEST(Sorting, EqualOrdersKeepIdOrderAndNegativeOrdersSortLast) {
    AutoCommit doc;
    doc::write_workspace(doc, "ws_b", "B", "B", 0, 1);
    doc::write_workspace(doc, "ws_a", "A", "A", 0, 1);
    doc::write_workspace(doc, "ws_z", "Z", "Z", 0, 0);
    EXPECT_EQ(ids_of(read_workspaces(doc)), (std::vector<std::string>{"ws_z", "ws_a", "ws_b"}));

    for (auto [id, order] : {std::pair{"c_neg", -1},
                             {"c_2", 2},
                             {"c_0", 0},
                             {"c_1b", 1},
                             {"c_1a", 1},
                             {"c_big", 0x7FFFFFFF}})
        doc::write_channel(doc, id, "w", "cat", id, "", ChannelKind::Text, order);
    EXPECT_EQ(ids_of(read_channels(doc)),
              (std::vector<std::string>{"c_0", "c_1a", "c_1b", "c_2", "c_big", "c_neg"}));

    // Only the low 32 bits of an order count.
    doc::write_category(doc, "cat_high", "w", "H", (int64_t{1} << 32) + 5, false);
    doc::write_category(doc, "cat_low", "w", "L", 6, false);
    EXPECT_EQ(read_categories(doc).at(0).order, 5u);
}

TEST(Sorting, PeopleByNameThenIdAsRawBytes) {
    AutoCommit doc;
    for (auto [id, name] :
         {std::pair{"u_3", "bea"}, {"u_2", "Bea"}, {"u_1", "Bea"}, {"u_0", "Ärla"}, {"u_4", "Zed"}})
        doc::write_person(doc, id, name, "", 0, "online");
    EXPECT_EQ(ids_of(read_users(doc)),
              (std::vector<std::string>{"u_1", "u_2", "u_4", "u_3", "u_0"}));
}

TEST(Readers, EntriesThatAreNotMapsAreSkippedAndKindsDefault) {
    AutoCommit doc;
    doc::write_channel(doc, "c_v", "w", "cat", "Voice?", "", ChannelKind::Text, 0);
    auto channels = *doc::get_map(doc, ObjId::root(), "channels");
    ASSERT_TRUE(doc::put_str(doc, *doc::get_map(doc, channels, "c_v"), "kind", "Voice"));
    ASSERT_TRUE(doc::put_str(doc, channels, "c_bad", "not a record"));
    auto read = read_channels(doc);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].kind, ChannelKind::Text);
    EXPECT_TRUE(read_messages(doc, "c_v").empty());
    EXPECT_TRUE(read_voice(doc, "c_v").empty());
    EXPECT_EQ(read_draft(doc, "c_v"), "");
}

struct PresenceCase {
    char const* word;
    Presence presence;
};

class StatusWord : public testing::TestWithParam<PresenceCase> {};

TEST_P(StatusWord, ReadsAsPresence) {
    AutoCommit doc;
    doc::write_person(doc, "u", "n", "i", 0, GetParam().word);
    EXPECT_EQ(read_users(doc).at(0).status, GetParam().presence);
}

INSTANTIATE_TEST_SUITE_P(Words, StatusWord,
                         testing::Values(PresenceCase{"idle", Presence::Idle},
                                         PresenceCase{"dnd", Presence::Dnd},
                                         PresenceCase{"offline", Presence::Offline},
                                         PresenceCase{"online", Presence::Online},
                                         PresenceCase{"", Presence::Online},
                                         PresenceCase{"ofline", Presence::Online},
                                         PresenceCase{"Idle", Presence::Online}));

TEST(Reactions, DuplicatesCollapseAndGroupsKeepFirstUse) {
    AutoCommit doc;
    Message m;
    m.id = "m";
    m.reactions = {{"👍", {"u_a", "u_a", "u_b"}}, {"🔥", {"u_b"}}, {"👍", {"u_c", "u_a"}}};
    ASSERT_TRUE(doc::insert_message(doc, "c", m));
    auto read = read_messages(doc, "c");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].reactions,
              (std::vector<ReactionGroup>{{"👍", {"u_a", "u_b", "u_c"}}, {"🔥", {"u_b"}}}));
}

struct UnreadCase {
    char const* name;
    int top_level;
    int replies;
    std::optional<int64_t> read;
    uint32_t expected;
};

class Unread : public testing::TestWithParam<UnreadCase> {};

TEST_P(Unread, CountsTopLevelMessagesNotYetRead) {
    AutoCommit doc;
    auto const& c = GetParam();
    for (int i = 0; i < c.top_level + c.replies; ++i) {
        Message m;
        m.id = "m_" + std::to_string(i);
        if (i >= c.top_level) m.parent = "m_0";
        ASSERT_TRUE(doc::insert_message(doc, "c", m));
    }
    if (c.read) doc::set_read_count(doc, "c", "u_me", *c.read);
    EXPECT_EQ(unread(doc, "c", "u_me"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Arithmetic, Unread,
                         testing::Values(UnreadCase{"nothing_read", 3, 2, std::nullopt, 3},
                                         UnreadCase{"one_read", 3, 2, 1, 2},
                                         UnreadCase{"read_more_than_exists", 3, 2, 5, 0},
                                         UnreadCase{"all_read", 3, 0, 3, 0},
                                         UnreadCase{"negative_count_is_nothing_read", 2, 0, -4, 2},
                                         UnreadCase{"empty_channel", 0, 0, std::nullopt, 0}),
                         [](auto const& info) { return std::string(info.param.name); });

struct DayCase {
    char const* name;
    int64_t ts;
    int64_t now;
    char const* label;
};

class DayLabel : public testing::TestWithParam<DayCase> {};

TEST_P(DayLabel, CountsWholeUtcDays) {
    EXPECT_EQ(day_label(GetParam().ts, GetParam().now), GetParam().label);
}

constexpr int64_t midnight = 1782432000;  // 2026-06-26 00:00:00 UTC

INSTANTIATE_TEST_SUITE_P(
    Times, DayLabel,
    testing::Values(DayCase{"same_second", midnight, midnight, "Today"},
                    DayCase{"one_second_before_midnight", midnight - 1, midnight + 1, "Yesterday"},
                    DayCase{"future", midnight + 90000, midnight, "Today"},
                    DayCase{"start_of_yesterday", midnight - 86400, midnight + 86399, "Yesterday"},
                    DayCase{"three_days", midnight - 2 * 86400 - 1, midnight, "3 days ago"},
                    DayCase{"before_1970_same_day", -1, -86400, "Today"},
                    DayCase{"before_1970_yesterday", -86401, -1, "Yesterday"},
                    DayCase{"across_the_epoch", -1, 0, "Yesterday"},
                    DayCase{"extremes", INT64_MIN, INT64_MAX, "213503982334601 days ago"}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chat::model
