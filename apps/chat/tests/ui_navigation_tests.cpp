#include <gtest/gtest.h>

#include "doc/ids.hpp"
#include "doc/schema.hpp"
#include "model/readers.hpp"
#include "ui_test_support.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/presence.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

using namespace chat;
using chat::test::Window;
using vemo_ui::Key;

namespace {

TEST(Navigation, EscapeClosesOneThingAtATimeInOrder) {
    Window w;
    w.run();
    w.app.activate({HitKind::OpenThread, "m_ravi"});
    w.app.activate({HitKind::EditHistory, "m_share"});
    w.app.activate({HitKind::AddReaction, "m_open"});
    ASSERT_TRUE(w.app.emoji_picker());
    ASSERT_TRUE(w.app.history_popover());
    w.app.handle_event(test::key(Key::Escape));
    EXPECT_FALSE(w.app.emoji_picker());
    EXPECT_TRUE(w.app.history_popover());
    w.app.handle_event(test::key(Key::Escape));
    EXPECT_FALSE(w.app.history_popover());
    EXPECT_TRUE(w.app.navigation().thread_root);
    w.app.handle_event(test::key(Key::Escape));
    EXPECT_FALSE(w.app.navigation().thread_root);
    EXPECT_TRUE(w.app.main_composer().is_focused());
}

TEST(Navigation, DismissWithNothingOpenChangesNothing) {
    Window w;
    w.run();
    auto heads = w.doc.get_heads();
    bool left = w.app.left_flap().target();
    w.app.activate({HitKind::Dismiss});
    EXPECT_EQ(w.app.left_flap().target(), left) << "a docked flap is not an overlay";
    EXPECT_EQ(w.doc.get_heads(), heads);
}

TEST(Navigation, InboxListsEveryWorkspaceAndCurrentContextLeavesIt) {
    Window w;
    w.run();
    w.app.activate({HitKind::Inbox});
    w.run();
    EXPECT_TRUE(w.app.in_inbox());
    EXPECT_EQ(w.app.accessibility().description, "Inbox: conversations across Vemo workspaces");
    auto const* kernel = w.find("chat.channel:c_kernel");
    ASSERT_NE(kernel, nullptr) << "another workspace's channel is listed";
    auto tree = w.app.accessibility();
    auto label = tree.find("chat.channel:c_kernel")->label;
    EXPECT_EQ(label, "# kernel, from Vemo Core");

    w.app.activate({HitKind::Channel, "c_kernel"});
    EXPECT_TRUE(w.app.in_inbox()) << "opening a conversation keeps the inbox";
    EXPECT_EQ(w.app.navigation().workspace_id, "ws_vemo");
    EXPECT_EQ(w.app.navigation().remembered_workspace_id, "ws_acme");
    w.app.activate({HitKind::CurrentContext});
    EXPECT_FALSE(w.app.in_inbox());
    EXPECT_EQ(w.app.navigation().workspace_id, "ws_acme");
    w.run();
    EXPECT_EQ(w.app.navigation().channel_id, "c_general")
        << "the lowest-order channel is repaired in";
}

TEST(Navigation, UnreadCountsReachLabelsAndClearWhenOpened) {
    Window w;
    w.run();
    auto tree = w.app.accessibility();
    auto const* general = tree.find("chat.channel:c_general");
    ASSERT_NE(general, nullptr);
    EXPECT_EQ(general->label, "# general, 1 unread");
    EXPECT_EQ(tree.find("chat.inbox")->label, "Inbox, 1 unread");
    w.app.activate({HitKind::Channel, "c_general"});
    w.run();
    tree = w.app.accessibility();
    EXPECT_EQ(tree.find("chat.channel:c_general")->label, "# general");
    EXPECT_EQ(doc::read_count(w.doc, "c_general", "u_me"), 1);
}

TEST(Navigation, DeletingTheOpenChannelFromItsMenuOpensAnother) {
    Window w;
    w.run();
    w.app.open_context_menu({ChatApp::MenuKind::Channel, "c_crit", ""}, {100, 100});
    ASSERT_TRUE(w.app.perform_semantic_action("context-menu:item:0", "activate"));
    auto channels = model::read_channels(w.doc);
    EXPECT_EQ(std::ranges::find(channels, "c_crit", &Channel::id), channels.end());
    EXPECT_EQ(w.app.navigation().channel_id, "c_general");
}

TEST(Navigation, ComposerTextActionsGoThroughTheDraft) {
    Window w;
    w.run();
    w.app.handle_event(vemo_ui::TextEvent{"draft text"});
    ASSERT_TRUE(w.app.perform_semantic_action("chat.composer", "select-all"));
    EXPECT_EQ(w.app.main_composer().selected_text(), "draft text");
    EXPECT_FALSE(w.app.perform_semantic_action("chat.nothing-here", "activate"));
    ASSERT_TRUE(w.app.perform_semantic_action("chat.send", "activate"));
    EXPECT_EQ(w.app.view().messages.back().text, "draft text");
    EXPECT_EQ(model::read_draft(w.doc, "c_crit"), "");
}

TEST(Navigation, PresenceIdentityIsTakenOver) {
    Window w;
    w.run();
    vemo_ui::PresenceCtx presence;
    presence.set_self("u_other", "Ada Lovelace");
    presence.set_color("u_elin", vemo_ui::Color::rgb(0x123456));
    presence.set_color("u_nobody_shown", vemo_ui::Color::rgb(0x654321));
    auto canvas = vemo_ui::ImageCanvas(200, 200);
    vemo_ui::TextRenderer text;
    vemo_ui::DrawContext ctx{canvas.painter(), text, vemo_ui::Theme::dark()};
    w.app.draw_with_presence(ctx, presence);
    EXPECT_EQ(w.app.identity().id, "u_other");
    EXPECT_EQ(w.app.identity().display_name, "Ada Lovelace");
    EXPECT_EQ(w.app.identity().initials, "AL");
    EXPECT_EQ(w.app.identity().color_idx, color_index_for("u_other"));
    EXPECT_EQ(w.app.presence_color_of("u_elin"), vemo_ui::Color::rgb(0x123456));
    EXPECT_FALSE(w.app.presence_color_of("u_nobody_shown"));
    auto candidates = w.app.mention_candidates();
    EXPECT_NE(std::ranges::find(candidates, "u_other", &MentionCandidate::id), candidates.end());
}

TEST(Navigation, OperationsAndActionsArriveEncoded) {
    Window w;
    w.run();
    auto opened = w.app.handle_operation(
        {"chat.operation", R"({"OpenChannel":{"workspace":"ws_acme","channel":"c_frontend"}})",
         vemo_actions::OperationType::View});
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_EQ(w.app.navigation().channel_id, "c_frontend");
    auto bad = w.app.dispatch_encoded({"chat.action", R"({"Nope":{}})", std::nullopt});
    EXPECT_FALSE(bad);
    auto other = w.app.dispatch_encoded({"other.kind", "{}", std::nullopt});
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error(), "no action handler for 'other.kind'");
    ASSERT_TRUE(w.app.dispatch_encoded(
        {"chat.action", R"({"PinMessage":{"channel":"c_crit","msg":"m_open","pinned":true}})",
         std::nullopt}));
    auto report = w.app.take_dispatch_report();
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->ok);
    EXPECT_FALSE(w.app.take_dispatch_report()) << "handed over once";
}

TEST(Navigation, HoveringARowOffersReplyAndReaction) {
    Window w;
    w.run();
    auto const& rows = w.app.visible_rows();
    ASSERT_FALSE(rows.empty());
    auto const message_id = rows.back().message;
    auto at = rows.back().rect.center();
    w.app.handle_event(test::pointer(vemo_ui::PointerEvent::Kind::Move, at));
    w.run();
    EXPECT_NE(w.find("chat.open-thread:" + message_id), nullptr);
    EXPECT_NE(w.find("chat.add-reaction:" + message_id), nullptr);
    w.app.handle_event(
        test::pointer(vemo_ui::PointerEvent::Kind::Press, at, vemo_ui::PointerButton::Secondary));
    ASSERT_TRUE(w.app.context_menu().is_open());
    EXPECT_EQ(w.app.menu_target()->kind, ChatApp::MenuKind::Message);
    EXPECT_EQ(w.app.menu_target()->id, message_id);
}

}  // namespace
