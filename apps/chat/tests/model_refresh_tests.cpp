#include <gtest/gtest.h>

#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "model/view_model.hpp"

namespace chat::model {
namespace {

using doc::ObjId;

std::vector<std::string> ids_of(auto const& items) {
    std::vector<std::string> out;
    for (auto const& item : items) out.push_back(item.id);
    return out;
}

class Refresh : public testing::Test {
  protected:
    void SetUp() override {
        doc::demo_seed(doc);
        nav.local = doc::LocalPerson{"u_me", "You", "YU", 0, Presence::Online};
    }

    Channel const& channel(ViewModel const& vm, std::string_view id) {
        return *std::ranges::find(vm.channels, id, &Channel::id);
    }

    AutoCommit doc;
    Navigation nav;
};

TEST_F(Refresh, AnEmptySelectionOpensTheFirstWorkspaceAndItsFirstChannel) {
    auto vm = refresh(doc, nav);
    EXPECT_EQ(nav.workspace_id, "ws_acme");
    EXPECT_EQ(nav.remembered_workspace_id, "ws_acme");
    EXPECT_EQ(nav.channel_id, "c_general");
    EXPECT_EQ(vm.messages.size(), 1u);
    EXPECT_EQ(vm.message_composer.placeholder, "Message #general");
    EXPECT_EQ(vm.message_composer.author, "u_me");
    EXPECT_EQ(vm.thread_composer.placeholder, "Reply…");
    EXPECT_EQ(vm.thread_composer.draft_key, "");
}

TEST_F(Refresh, ReadsTheDemoWorkspace) {
    nav.workspace_id = nav.remembered_workspace_id = "ws_acme";
    nav.channel_id = "c_crit";
    auto vm = refresh(doc, nav);
    EXPECT_EQ(ids_of(vm.workspaces), (std::vector<std::string>{"ws_acme", "ws_vemo", "ws_jam"}));
    EXPECT_EQ(vm.channels.size(), 13u);
    EXPECT_EQ(vm.categories.size(), 5u);
    EXPECT_EQ(vm.directory.size(), 6u);
    EXPECT_EQ(ids_of(vm.people), (std::vector<std::string>{"u_elin", "u_jonah", "u_nadia", "u_ravi",
                                                           "u_tove", "u_me"}));
    EXPECT_EQ(vm.all_messages.size(), vm.messages.size() + 1);
    EXPECT_EQ(vm.all_messages.front().channel, "c_general");  // channel order, then document order
    EXPECT_EQ(channel(vm, "c_crit").unread, 0u);              // open
    EXPECT_EQ(channel(vm, "c_general").unread, 1u);
    ASSERT_EQ(vm.voice_participants.size(), 2u);  // the two Acme voice channels
    EXPECT_EQ(vm.voice_participants.at("c_huddle").size(), 3u);
    EXPECT_TRUE(vm.voice_participants.at("c_standup").empty());
}

TEST_F(Refresh, UnreadCountsFollowTheLocalReadCount) {
    nav.workspace_id = "ws_acme";
    nav.channel_id = "c_general";
    auto vm = refresh(doc, nav);
    // Eleven top-level messages and two thread replies.
    EXPECT_EQ(channel(vm, "c_crit").unread, 11u);
    doc::set_read_count(doc, "c_crit", "u_me", 9);
    doc::set_read_count(doc, "c_crit", "u_elin", 11);
    vm = refresh(doc, nav);
    EXPECT_EQ(channel(vm, "c_crit").unread, 2u);
    doc::set_read_count(doc, "c_crit", "u_me", 50);
    EXPECT_EQ(channel(refresh(doc, nav), "c_crit").unread, 0u);
}

TEST_F(Refresh, ADeletedOpenChannelIsReplacedByTheLowestVisibleOne) {
    nav.workspace_id = "ws_acme";
    nav.channel_id = "c_frontend";
    auto channels = *doc::get_map(doc, ObjId::root(), "channels");
    ASSERT_TRUE(doc::put_bool(doc, *doc::get_map(doc, channels, "c_general"), "archived", true));
    ASSERT_TRUE(doc::delete_key(doc, channels, "c_frontend"));
    refresh(doc, nav);
    // c_general (order 0) is archived; c_standup shares order 0 and is visible.
    EXPECT_EQ(nav.channel_id, "c_standup");
}

TEST_F(Refresh, AnArchivedOpenChannelStaysOpen) {
    nav.workspace_id = "ws_acme";
    nav.channel_id = "c_random";
    auto channels = *doc::get_map(doc, ObjId::root(), "channels");
    ASSERT_TRUE(doc::put_bool(doc, *doc::get_map(doc, channels, "c_random"), "archived", true));
    refresh(doc, nav);
    EXPECT_EQ(nav.channel_id, "c_random");
}

TEST_F(Refresh, AChannelOfAnotherWorkspaceIsReplaced) {
    nav.workspace_id = nav.remembered_workspace_id = "ws_vemo";
    nav.channel_id = "c_crit";
    refresh(doc, nav);
    EXPECT_EQ(nav.channel_id, "c_kernel");
}

TEST_F(Refresh, AVanishedWorkspaceFallsBackAndNothingLeftKeepsTheIds) {
    nav.workspace_id = "ws_gone";
    nav.remembered_workspace_id = "ws_gone";
    nav.channel_id = "c_kernel";
    refresh(doc, nav);
    EXPECT_EQ(nav.remembered_workspace_id, "ws_acme");
    EXPECT_EQ(nav.workspace_id, "ws_acme");
    EXPECT_EQ(nav.channel_id, "c_general");

    AutoCommit empty;
    Navigation kept{"ws_x", "ws_y", "c_z", std::nullopt, {}, std::nullopt};
    auto vm = refresh(empty, kept);
    EXPECT_EQ(std::tie(kept.workspace_id, kept.remembered_workspace_id, kept.channel_id),
              std::tuple("ws_x", "ws_y", "c_z"));
    EXPECT_TRUE(vm.messages.empty());
    EXPECT_EQ(ids_of(vm.people), std::vector<std::string>{""});  // just the local person
}

TEST_F(Refresh, TheRememberedWorkspaceFollowsTheCurrentOneWhenItVanishes) {
    nav.workspace_id = "ws_jam";
    nav.remembered_workspace_id = "ws_gone";
    refresh(doc, nav);
    EXPECT_EQ(nav.remembered_workspace_id, "ws_jam");
    EXPECT_EQ(nav.channel_id, "c_ideas");
}

TEST_F(Refresh, AWorkspaceWithoutLocalMessagesStillListsTheLocalPerson) {
    nav.workspace_id = "ws_vemo";
    nav.local = doc::LocalPerson{"u_other", "Zoë", "Z", 4, Presence::Dnd};
    auto vm = refresh(doc, nav);
    ASSERT_EQ(vm.people.size(), 1u);
    EXPECT_EQ(vm.people[0], (Person{"u_other", "Zoë", "Z", 4, Presence::Dnd, false}));
    EXPECT_EQ(person_name(vm.people, "u_other"), "Zoë");
    EXPECT_EQ(person_name(vm.people, "u_elin"), "Unknown person");
}

TEST_F(Refresh, VoiceParticipantsCountAsWorkspacePeople) {
    nav.workspace_id = "ws_vemo";
    doc::join_call(doc, "c_warroom", "u_nadia");
    auto vm = refresh(doc, nav);
    EXPECT_EQ(ids_of(vm.people), (std::vector<std::string>{"u_nadia", "u_me"}));
    EXPECT_EQ(vm.voice_participants.at("c_warroom").at(0).person, "u_nadia");
}

TEST_F(Refresh, ComposersShowTheirDraftsAndAnEditInProgress) {
    nav.workspace_id = "ws_acme";
    nav.channel_id = "c_crit";
    nav.thread_root = "m_ravi";
    doc::set_draft(doc, "c_crit", "half a thought");
    doc::set_draft(doc, doc::thread_draft_key("c_crit", "m_ravi"), "+1");
    auto vm = refresh(doc, nav);
    EXPECT_EQ(vm.message_composer.text, "half a thought");
    EXPECT_EQ(vm.message_composer.placeholder, "Message #design-crit");
    EXPECT_FALSE(vm.message_composer.cursor_at_end);
    EXPECT_EQ(vm.thread_composer.draft_key, "c_crit::t::m_ravi");
    EXPECT_EQ(vm.thread_composer.text, "+1");

    nav.edit_text = "fixed typo";
    vm = refresh(doc, nav);
    EXPECT_EQ(vm.message_composer.text, "fixed typo");
    EXPECT_TRUE(vm.message_composer.cursor_at_end);
}

}  // namespace
}  // namespace chat::model
