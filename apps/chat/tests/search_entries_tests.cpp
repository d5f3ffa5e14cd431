#include <gtest/gtest.h>

#include "search/search_entries.hpp"

namespace chat::search {
namespace {

model::ViewModel sample_view() {
    model::ViewModel v;
    v.workspaces = {{"ws_a", "Acme", "A", 0, 0}, {"", "No id", "N", 0, 1}};
    v.channels = {
        Channel{"c_gen", "ws_a", "cat_1", "general", "", 0, 0, ChannelKind::Text, false},
        Channel{"c_talk", "ws_a", "cat_1", "huddle", "stand-up", 1, 0, ChannelKind::Voice, false}};
    v.categories = {{"cat_1", "ws_a", "Team", 0, false}, {"cat_2", "ws_a", "Old", 1, true}};
    Message text;
    text.id = "m_1", text.channel = "c_gen", text.author = "u_ann", text.ts = 50;
    text.text = "  Ship it on Friday  ";
    Message image = text;
    image.id = "m_2", image.text = "", image.author = "u_gone";
    image.attachment = ImageAttachment{"chart.png", "blob", 10, 10};
    Message bare = text;
    bare.id = "m_3", bare.text = " ";
    Message lost = text;
    lost.id = "m_4", lost.channel = "c_missing";
    Message long_text = text;
    long_text.id = "m_5", long_text.text = std::string(100, 'x') + "\nsecond line";
    v.all_messages = {text, image, bare, lost, long_text};
    v.directory = {Person{"u_ann", "Ann", "AN", 0, Presence::Online, false},
                   Person{"u_bot", "Builder", "BU", 0, Presence::Online, true}};
    return v;
}

struct Expected {
    char const* collection;
    char const* title;
    std::optional<std::string> kind;
    std::optional<std::string> subtitle;
    char const* address;
    char const* text;
};

TEST(SearchEntries, FollowTheTableForEveryCollectionInOrder) {
    std::vector<Expected> expected{
        {"Workspaces", "Acme", "Workspace", std::nullopt, "chat.workspace:ws_a", "Acme"},
        {"Conversations", "#general", std::nullopt, "Acme", "chat.channel:c_gen", "general  Acme"},
        {"Conversations", "🔊huddle", std::nullopt, "Acme · stand-up", "chat.channel:c_talk",
         "huddle stand-up Acme"},
        {"Categories", "Team", std::nullopt, "Acme · expanded", "chat.category:cat_1", "Team Acme"},
        {"Categories", "Old", std::nullopt, "Acme · collapsed", "chat.category:cat_2", "Old Acme"},
        {"Messages", "Ship it on Friday", std::nullopt, "Ann · #general · Acme", "chat.message:m_1",
         "Ann   Ship it on Friday   "},
        // no text: the attachment's name; an author not in the directory: the raw id
        {"Messages", "chart.png", std::nullopt, "u_gone · #general · Acme", "chat.message:m_2",
         "u_gone  chart.png"},
        {"Messages", "Attachment", std::nullopt, "Ann · #general · Acme", "chat.message:m_3",
         "Ann   "},
        // m_4's channel is unknown: not indexed
        {"Messages", "", std::nullopt, "Ann · #general · Acme", "chat.message:m_5", ""},
        {"People", "Ann", "Person", std::nullopt, "chat.person:u_ann", "Ann u_ann"},
        {"People", "Builder", "Agent", std::nullopt, "chat.person:u_bot", "Builder u_bot"},
    };
    auto entries = search_entries(sample_view());
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        auto const& e = entries[i];
        auto const& x = expected[i];
        SCOPED_TRACE(x.address);
        EXPECT_EQ(e.collection, x.collection);
        EXPECT_EQ(e.kind, x.kind);
        EXPECT_EQ(e.subtitle, x.subtitle);
        EXPECT_EQ(e.action_address, x.address);
        EXPECT_EQ(e.resource.address, x.address);
        if (std::string_view(x.address) == "chat.message:m_5") continue;  // checked below
        EXPECT_EQ(e.title, x.title);
        EXPECT_EQ(e.text, x.text);
    }
}

TEST(SearchEntries, LongMessagesAreTitledByTheirFirstLineShortened) {
    auto entries = search_entries(sample_view());
    auto it = std::ranges::find(entries, "chat.message:m_5", &SearchEntry::action_address);
    ASSERT_NE(it, entries.end());
    EXPECT_EQ(it->title, std::string(80, 'x') + "…");
    EXPECT_NE(it->text.find("second line"), std::string::npos);  // all of it is indexed
    EXPECT_EQ(it->scope, "c_gen");
    EXPECT_EQ(it->timestamp, 50);

    Message short_lines;
    short_lines.text = "first\nsecond";
    EXPECT_EQ(message_title(short_lines), "first…");
    Message multibyte;
    multibyte.text = std::string(79, 'a') + "éé";
    EXPECT_EQ(message_title(multibyte), std::string(79, 'a') + "é…");
}

}  // namespace
}  // namespace chat::search
