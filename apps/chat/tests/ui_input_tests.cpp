#include <gtest/gtest.h>

#include "doc/schema.hpp"
#include "model/readers.hpp"
#include "ui_test_support.hpp"

using namespace chat;
using chat::test::Window;
using vemo_ui::Key;
using Kind = vemo_ui::PointerEvent::Kind;

namespace {

// --- Identifiers and labels ---------------------------------------------------------------

struct TargetCase {
    HitTarget target;
    std::string id;
    std::string label;
};

std::vector<TargetCase> target_cases() {
    using enum HitKind;
    return {
        {{Inbox}, "chat.inbox", "Inbox, 3 unread"},
        {{CurrentContext}, "chat.current-context", "Acme Design channels, current workspace"},
        {{Channel, "c1"}, "chat.channel:c1", "# general, 2 unread"},
        {{VoiceChannel, "c1"}, "chat.voice-channel:c1", "# general, 2 unread"},
        {{CategoryToggle, "k"}, "chat.category-toggle:k", "Expand Voice"},
        {{AddChannel, "ws", "k"}, "chat.add-channel:ws:k", "Add channel"},
        {{AddCategory, "ws"}, "chat.add-category:ws", "Add category"},
        {{FocusRename}, "chat.rename", "Rename field"},
        {{Reaction, "m1", "🎉"}, "chat.reaction:m1:🎉", "Remove 🎉 reaction"},
        {{AddReaction, "m1"}, "chat.add-reaction:m1", "Add reaction"},
        {{OpenThread, "m1"}, "chat.open-thread:m1", "Open message thread"},
        {{EditHistory, "m1"}, "chat.edit-history:m1", "Show edit history"},
        {{MessageMenu, "m1"}, "chat.control:MessageMenu(\"m1\")", ""},
        {{EditSave}, "chat.edit-save", "Save message edit"},
        {{EditCancel}, "chat.edit-cancel", "Cancel message edit"},
        {{FocusEdit}, "chat.message-edit", "Edit message"},
        {{EmojiChoice, "🔥"}, "chat.emoji-choice:🔥", "Choose 🔥"},
        {{FocusMain}, "chat.composer", "Message composer"},
        {{FocusThread}, "chat.thread-composer", "Thread reply composer"},
        {{Send}, "chat.send", "Send message"},
        {{JumpToLatest}, "chat.jump-to-latest", "Jump to latest message"},
        {{ComposerEmoji}, "chat.composer-emoji", "Insert emoji"},
        {{Attach}, "chat.attach", "Attach a workspace file"},
        {{AttachPick, "0"}, "chat.attach-pick:0", "Attach notes.md"},
        {{StartCall}, "chat.start-call", "Start or open call"},
        {{CloseThread}, "chat.close-thread", "Close thread"},
        {{CallDragHandle}, "chat.control:CallDragHandle", ""},
        {{CallParticipantsToggle}, "chat.call-participants", "Show call participants"},
        {{CallMute}, "chat.call-mute", "Mute microphone"},
        {{CallDeafen}, "chat.call-deafen", "Deafen call audio"},
        {{CallAudioOnly}, "chat.call-audio-only", "Turn camera off"},
        {{CallShareScreen}, "chat.call-share-screen", "Share screen"},
        {{CallExpand}, "chat.call-expand", "Expand or restore call"},
        {{CallLeave}, "chat.call-leave", "Leave call"},
        {{ToggleLeftFlap}, "chat.toggle-navigation", "Show conversation navigation"},
        {{ToggleRightFlap}, "chat.toggle-details", "Show people or thread"},
        {{Dismiss}, "chat.control:Dismiss", ""},
        {{ShareOpen}, "chat.share", "Invite people or join a workspace"},
        {{ShareCopy}, "chat.share-copy", "Copy invite"},
        {{ShareJoin}, "chat.share-join", "Join the workspace of the pasted invite"},
        {{ShareClose}, "chat.share-close", "Close sharing"},
        {{SettingsOpen}, "chat.settings", "Settings"},
        {{SettingsTheme, "light"}, "chat.settings-theme:light", "Light theme"},
        {{SettingsNotifications}, "chat.settings-notifications", "Desktop notifications"},
        {{SettingsSounds}, "chat.settings-sounds", "Sound cues"},
        {{SettingsClose}, "chat.settings-close", "Close settings"},
        {{OpenLink, "m_1", "https://example.com/a"},
         "chat.link:m_1:https://example.com/a",
         "Open https://example.com/a"},
        {{SearchOpen}, "search-open", "Search"},
    };
}

TEST(HitTargets, EveryValueHasItsIdentifierAndLabel) {
    LabelFacts facts;
    facts.workspace_name = "Acme Design";
    facts.inbox_unread = 3;
    facts.channel_label = channel_label(false, "general", 2);
    facts.category_name = "Voice";
    facts.category_collapsed = true;
    facts.reacted = true;
    facts.file_name = "notes.md";
    auto cases = target_cases();
    ASSERT_EQ(cases.size(), hit_kind_count);
    for (size_t i = 0; i < cases.size(); ++i) {
        auto const& c = cases[i];
        SCOPED_TRACE(c.id);
        EXPECT_EQ(size_t(c.target.kind), i) << "declaration order";
        EXPECT_EQ(semantic_id(c.target), c.id);
        EXPECT_EQ(access_label(c.target, facts), c.label);
        EXPECT_EQ(has_access_node(c.target.kind), !c.label.empty());
    }
}

TEST(HitTargets, LabelFallbacks) {
    LabelFacts none;
    EXPECT_EQ(access_label({HitKind::Inbox}, none), "Inbox");
    EXPECT_EQ(access_label({HitKind::CurrentContext}, none),
              "Current workspace channels, current workspace");
    EXPECT_EQ(access_label({HitKind::CategoryToggle, "gone"}, none), "Collapse category");
    EXPECT_EQ(access_label({HitKind::Reaction, "m", "👍"}, none), "Add 👍 reaction");
    EXPECT_EQ(channel_label(true, "Lounge", 0, "My Workspace"), "🔊 Lounge, from My Workspace");
}

// --- Activation through a real document ---------------------------------------------------

TEST(Activation, CategoryToggleAndRenameWriteTheDocument) {
    Window w;
    w.run();
    ASSERT_TRUE(w.app.perform_semantic_action("chat.category-toggle:cat_acme_voice", "activate"));
    auto categories = model::read_categories(w.doc);
    auto voice = std::ranges::find(categories, "cat_acme_voice", &Category::id);
    EXPECT_TRUE(voice->collapsed);

    w.run();
    ASSERT_TRUE(w.app.perform_semantic_action("chat.add-category:ws_acme", "activate"));
    ASSERT_TRUE(w.app.renaming());
    EXPECT_EQ(w.app.rename_input().text(), "New Category");
    EXPECT_TRUE(w.app.rename_input().is_focused());
    w.app.rename_input().select_all();
    w.app.handle_event(vemo_ui::TextEvent{"  Research  "});
    w.app.handle_event(test::key(Key::Enter));
    EXPECT_FALSE(w.app.renaming());
    categories = model::read_categories(w.doc);
    EXPECT_NE(std::ranges::find(categories, "Research", &Category::name), categories.end());
}

TEST(Activation, ReactionTogglesAndOpenThreadTwiceCloses) {
    Window w;
    w.run();
    auto reacted = [&] {
        auto const* m = &*std::ranges::find(w.app.view().messages, "m_open", &Message::id);
        for (auto const& g : m->reactions)
            if (g.emoji == "🔥" && std::ranges::find(g.users, "u_me") != g.users.end()) return true;
        return false;
    };
    bool before = reacted();
    w.app.activate({HitKind::Reaction, "m_open", "🔥"});
    EXPECT_NE(reacted(), before);
    w.app.activate({HitKind::Reaction, "m_open", "🔥"});
    EXPECT_EQ(reacted(), before);

    w.app.activate({HitKind::OpenThread, "m_ravi"});
    EXPECT_EQ(w.app.navigation().thread_root, "m_ravi");
    EXPECT_TRUE(w.app.thread_composer().is_focused());
    w.app.activate({HitKind::OpenThread, "m_ravi"});
    EXPECT_FALSE(w.app.navigation().thread_root);
}

TEST(Activation, ContextMenuItemsRunWithTheirCodes) {
    Window w;
    w.run();
    w.app.open_context_menu({ChatApp::MenuKind::Channel, "c_random", ""}, {200, 200});
    w.run();
    ASSERT_TRUE(w.app.perform_semantic_action("context-menu:item:1", "activate"));  // Archive
    auto channels = model::read_channels(w.doc);
    EXPECT_TRUE(std::ranges::find(channels, "c_random", &Channel::id)->archived);
    EXPECT_FALSE(w.app.context_menu().is_open());
    EXPECT_FALSE(w.app.perform_semantic_action("context-menu:item:0", "activate"))
        << "no menu is open";

    w.app.open_context_menu({ChatApp::MenuKind::Message, "m_me2", "c_crit"}, {200, 200});
    for (int i = 0; i < 4 && w.app.context_menu().highlighted() != 1u; ++i)
        w.app.handle_event(test::key(Key::Down));
    ASSERT_EQ(w.app.context_menu().highlighted(), 1u);
    w.app.handle_event(test::key(Key::Enter));  // Pin / unpin
    auto messages = model::read_messages(w.doc, "c_crit");
    EXPECT_TRUE(std::ranges::find(messages, "m_me2", &Message::id)->pinned);
}

TEST(Activation, ReadOnlyControlsDoNothing) {
    Window w;
    w.run();
    w.app.set_permissions(vemo_ui::PermissionContext::read_only());
    auto heads = w.doc.get_heads();
    w.app.activate({HitKind::CategoryToggle, "cat_acme_main"});
    w.app.activate({HitKind::AddCategory, "ws_acme"});
    w.app.activate({HitKind::ComposerEmoji});
    EXPECT_EQ(w.doc.get_heads(), heads);
    EXPECT_FALSE(w.app.emoji_picker());
    EXPECT_FALSE(w.app.renaming());
}

// --- Keyboard -----------------------------------------------------------------------------

TEST(Keyboard, TabCyclesThroughTheFrameAndWraps) {
    Window w;
    w.run();
    ASSERT_TRUE(w.app.main_composer().is_focused());
    w.app.handle_event(test::key(Key::Tab, true));
    ASSERT_TRUE(w.app.focused_target());
    EXPECT_NE(w.app.focused_target()->kind, HitKind::FocusMain) << "Shift+Tab leaves the composer";
    EXPECT_FALSE(w.app.main_composer().is_focused());
    w.app.handle_event(test::key(Key::Tab));
    EXPECT_EQ(w.app.focused_target()->kind, HitKind::FocusMain) << "and Tab comes back to it";
    EXPECT_TRUE(w.app.main_composer().is_focused());
    // The stop after the last is the first: the rail's inbox.
    for (int i = 0; i < 200 && semantic_id(*w.app.focused_target()) != "chat.inbox"; ++i)
        w.app.handle_event(test::key(Key::Tab));
    EXPECT_EQ(semantic_id(*w.app.focused_target()), "chat.inbox");
    w.app.handle_event(test::key(Key::Tab, true));
    w.app.handle_event(test::key(Key::Tab));
    EXPECT_EQ(semantic_id(*w.app.focused_target()), "chat.inbox");
}

TEST(Keyboard, EnterActivatesTheFocusedTarget) {
    Window w;
    w.run();
    auto const& hits = w.app.hit_regions();
    auto it =
        std::ranges::find_if(hits, [](auto const& r) { return r.target.kind == HitKind::Inbox; });
    ASSERT_NE(it, hits.end());
    for (size_t i = 0; i < hits.size() &&
                       (!w.app.focused_target() || w.app.focused_target()->kind != HitKind::Inbox);
         ++i)
        w.app.handle_event(test::key(Key::Tab));
    ASSERT_EQ(w.app.focused_target()->kind, HitKind::Inbox);
    w.app.handle_event(test::key(Key::Enter));
    EXPECT_TRUE(w.app.in_inbox());
}

TEST(Keyboard, ArrowUpEditsTheLatestOwnMessageOnlyFromAnEmptyComposer) {
    Window w;
    w.run();
    ASSERT_TRUE(w.app.main_composer().is_focused());
    w.app.handle_event(vemo_ui::TextEvent{"x"});
    w.app.handle_event(test::key(Key::Up));
    EXPECT_FALSE(w.app.editing()) << "a composer holding text moves its cursor instead";
    w.app.handle_event(test::key(Key::End));
    w.app.handle_event(test::key(Key::Backspace));
    ASSERT_TRUE(w.app.main_composer().text().empty());
    w.app.handle_event(test::key(Key::Up));
    ASSERT_TRUE(w.app.editing());
    EXPECT_EQ(w.app.editing()->message, "m_me2");
    EXPECT_TRUE(w.app.edit_input().is_focused());
    w.app.handle_event(test::key(Key::Escape));
    EXPECT_FALSE(w.app.editing());

    w.app.activate({HitKind::Channel, "c_frontend"});
    w.run();
    w.app.handle_event(test::key(Key::Up));
    EXPECT_FALSE(w.app.editing()) << "no own message in this conversation";
}

TEST(Keyboard, EditSaveTrimsAndBlankEditChangesNothing) {
    Window w;
    w.run();
    w.app.begin_edit("c_crit", "m_open");
    EXPECT_FALSE(w.app.editing()) << "another person's message";
    w.app.begin_edit("c_crit", "m_me2");
    ASSERT_TRUE(w.app.editing());
    w.app.edit_input().select_all();
    w.app.handle_event(vemo_ui::TextEvent{"   "});
    w.app.handle_event(test::key(Key::Enter));
    EXPECT_FALSE(w.app.editing());
    auto me2 = [&] {
        auto messages = model::read_messages(w.doc, "c_crit");
        return *std::ranges::find(messages, "m_me2", &Message::id);
    };
    EXPECT_FALSE(me2().text.empty());
    w.app.begin_edit("c_crit", "m_me2");
    w.app.edit_input().select_all();
    w.app.handle_event(vemo_ui::TextEvent{" Moved to 3pm. "});
    w.app.handle_event(test::key(Key::Enter));
    EXPECT_EQ(me2().text, "Moved to 3pm.");
    EXPECT_TRUE(me2().edited);
}

// --- Composer -----------------------------------------------------------------------------

TEST(Composer, DraftSurvivesChannelSwitchAndRestart) {
    Window w;
    w.run();
    w.app.handle_event(vemo_ui::TextEvent{"half a thought"});
    EXPECT_EQ(model::read_draft(w.doc, "c_crit"), "half a thought");
    w.app.activate({HitKind::Channel, "c_general"});
    w.run();
    EXPECT_EQ(w.app.main_composer().text(), "");
    w.app.activate({HitKind::Channel, "c_crit"});
    w.run();
    EXPECT_EQ(w.app.main_composer().text(), "half a thought");

    ChatApp restarted;
    vemo_ui::FrameContext ctx{&w.doc, 2000, 1};
    restarted.sync(ctx);
    EXPECT_EQ(restarted.main_composer().text(), "half a thought");
}

TEST(Composer, EnterSendsTrimmedTextWithMentions) {
    Window w;
    w.run();
    size_t before = w.app.view().messages.size();
    w.app.handle_event(vemo_ui::TextEvent{"  thanks @elin marsh, shipping  "});
    w.app.handle_event(test::key(Key::Enter));
    auto const& messages = w.app.view().messages;
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_EQ(messages.back().text, "thanks @elin marsh, shipping");
    EXPECT_EQ(messages.back().author, "u_me");
    ASSERT_EQ(messages.back().mentions.size(), 1u);
    EXPECT_EQ(messages.back().mentions[0].user, "u_elin");
    EXPECT_EQ(model::read_draft(w.doc, "c_crit"), "");
    w.app.handle_event(vemo_ui::TextEvent{"   "});
    w.app.handle_event(test::key(Key::Enter));
    EXPECT_EQ(w.app.view().messages.size(), before + 1) << "blank text is never sent";
}

TEST(Composer, SendingInAThreadLeavesTheMainListWhereItWas) {
    Window w;
    w.run();
    w.app.scroll_back(120);
    w.app.activate({HitKind::OpenThread, "m_ravi"});
    w.run();
    ASSERT_TRUE(w.app.thread_composer().is_focused());
    w.app.handle_event(vemo_ui::TextEvent{"agreed"});
    EXPECT_EQ(model::read_draft(w.doc, doc::thread_draft_key("c_crit", "m_ravi")), "agreed");
    w.app.handle_event(test::key(Key::Enter));
    EXPECT_EQ(w.app.view().messages.back().parent, "m_ravi");
    EXPECT_FALSE(w.app.following_latest());
    EXPECT_EQ(w.app.scroll_offset(), 120);
}

TEST(Composer, EmojiPickerInsertsIntoTheComposerOrReacts) {
    Window w;
    w.run();
    w.app.activate({HitKind::ComposerEmoji});
    ASSERT_TRUE(w.app.emoji_picker());
    w.run();
    size_t choices = std::ranges::count_if(
        w.app.hit_regions(), [](auto const& r) { return r.target.kind == HitKind::EmojiChoice; });
    EXPECT_EQ(choices, 6u + 4 * 12);
    w.app.activate({HitKind::EmojiChoice, "🚀"});
    EXPECT_FALSE(w.app.emoji_picker());
    EXPECT_EQ(w.app.main_composer().text(), "🚀");
    EXPECT_EQ(model::read_draft(w.doc, "c_crit"), "🚀");
}

// --- Pointer ------------------------------------------------------------------------------

struct SwipeCase {
    double travel;
    bool opens;
    bool deletes;
};

class SwipeTest : public testing::TestWithParam<SwipeCase> {};

TEST_P(SwipeTest, LeftwardTravelDecides) {
    auto c = GetParam();
    Window w;
    w.run();
    auto const* region = w.find("chat.channel:c_random");
    ASSERT_NE(region, nullptr);
    vemo_ui::Point at = region->rect.center();
    w.app.handle_event(test::pointer(Kind::Press, at));
    w.app.handle_event(test::pointer(Kind::Release, {at.x - c.travel, at.y}));
    EXPECT_EQ(w.app.navigation().channel_id == "c_random", c.opens);
    auto channels = model::read_channels(w.doc);
    EXPECT_EQ(std::ranges::find(channels, "c_random", &Channel::id) == channels.end(), c.deletes);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, SwipeTest,
                         testing::Values(SwipeCase{5, true, false}, SwipeCase{6, false, false},
                                         SwipeCase{87, false, false}, SwipeCase{88, false, true},
                                         SwipeCase{-200, true, false}));

TEST(Pointer, SecondaryPressOpensTheMenuOfWhatIsUnderIt) {
    Window w;
    w.run();
    auto const* category = w.find("chat.category-toggle:cat_acme_main");
    ASSERT_NE(category, nullptr);
    w.app.handle_event(
        test::pointer(Kind::Press, category->rect.center(), vemo_ui::PointerButton::Secondary));
    ASSERT_TRUE(w.app.context_menu().is_open());
    EXPECT_EQ(w.app.context_menu().items().front().label, "New text channel");
    EXPECT_EQ(w.app.menu_target()->kind, ChatApp::MenuKind::Category);
    w.app.handle_event(test::key(Key::Escape));
    EXPECT_FALSE(w.app.context_menu().is_open());
}

}  // namespace
