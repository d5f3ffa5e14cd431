// The frame cycle under a restless user: queries and input that land between a sync and the
// draw after it, focus that must follow what is drawn, and the interaction rules a new user
// trips over.
#include <gtest/gtest.h>

#include <algorithm>

#include "doc/document.hpp"
#include "doc/schema.hpp"
#include "ui_test_support.hpp"

using namespace chat;
using chat::test::Window;
using vemo_ui::PointerEvent;

namespace {

// Everything the framework may ask between a sync and the next draw, each answered from the
// current view: the tree names only messages that exist, hit testing and activation of the
// previous frame's controls do not touch anything that is gone.
void query_everything(ChatApp& app) {
    auto tree = app.accessibility();
    if (auto const* list = tree.find("message-list"))
        for (auto const& row : list->children) {
            ASSERT_FALSE(row.label.empty());
            bool found = std::ranges::any_of(app.view().messages, [&](Message const& m) {
                return row.label.find(": " + m.text) != std::string::npos;
            });
            EXPECT_TRUE(found) << row.label;
        }
    for (size_t i = 0; i <= app.visible_rows().size(); ++i)
        (void)app.synthetic_accessibility_rect(1, i);
    auto regions = app.hit_regions();  // a copy: activation may redraw nothing but may refresh
    for (auto const& region : regions) {
        if (region.target.kind == HitKind::MessageMenu)
            app.handle_event(test::pointer(PointerEvent::Kind::Move, region.rect.center()));
    }
    for (size_t i = 0; i < 3 && i < regions.size(); ++i)
        (void)app.perform_semantic_action(semantic_id(regions[i].target), "activate");
}

std::string first_shown_message(ChatApp const& app) {
    for (auto const& m : app.view().messages)
        if (!m.parent) return m.id;
    return {};
}

TEST(FrameConsistency, SwitchingToAShorterChannelBeforeTheNextDraw) {
    Window w;
    w.run();
    ASSERT_GT(w.app.visible_rows().size(), 2u);
    // design-crit holds many messages; random holds fewer.
    w.app.activate({HitKind::Channel, "c_random"});
    ASSERT_LT(w.app.view().messages.size(), w.app.visible_rows().size() + 1);
    query_everything(w.app);
    w.run();
    query_everything(w.app);
}

TEST(FrameConsistency, LeavingTheInboxAndDeletingThroughTheMessageMenu) {
    Window w;
    w.run();
    w.app.activate({HitKind::Inbox});
    w.run();
    w.app.activate({HitKind::CurrentContext});
    w.run();
    ASSERT_FALSE(w.app.visible_rows().empty());
    auto row = w.app.visible_rows().back();
    w.app.handle_event(test::pointer(PointerEvent::Kind::Press, row.rect.center(),
                                     vemo_ui::PointerButton::Secondary));
    ASSERT_TRUE(w.app.context_menu().is_open());
    w.app.run_menu_item(int(MenuCode::DeleteMessage));
    EXPECT_EQ(w.app.view().messages.end(),
              std::ranges::find(w.app.view().messages, row.message, &Message::id));
    query_everything(w.app);
    // A click on the row that has just disappeared lands on whatever the old frame had there.
    w.app.handle_event(test::pointer(PointerEvent::Kind::Press, row.rect.center()));
    w.app.handle_event(test::pointer(PointerEvent::Kind::Release, row.rect.center()));
    w.run();
    query_everything(w.app);
}

TEST(FrameConsistency, AFocusedRowWhoseMessageIsDeletedLosesTheFocus) {
    Window w;
    w.run();
    size_t last = w.app.visible_rows().size() - 1;
    ASSERT_TRUE(w.app.focus_synthetic_accessibility(1, last));
    auto id = w.app.visible_rows()[last].message;
    ASSERT_TRUE(w.app.dispatch_encoded(
        {"chat.action", R"({"DeleteMessage":{"channel":"c_crit","id":")" + id + R"("}})",
         std::nullopt}));
    query_everything(w.app);
    w.run();
    auto tree = w.app.accessibility();
    for (auto const& row : tree.find("message-list")->children) EXPECT_FALSE(row.states.focused);
}

TEST(Focus, WideningWithAThreadOpenInTheNarrowLayoutLeavesNoHiddenFocus) {
    Window w(900, 800);
    w.run();
    ASSERT_TRUE(w.app.layout_modes().thread_narrow);
    w.app.activate({HitKind::OpenThread, first_shown_message(w.app)});
    w.run();
    ASSERT_TRUE(w.app.thread_composer().is_focused());
    auto wide =
        *vemo_ui::launch::shot_frame::ShotFrame::create(1400, 800, vemo_ui::ThemeKind::Dark);
    vemo_ui::FrameContext ctx{&w.doc, 1001, 1.0};
    w.app.sync(ctx);
    (void)wide.layout(w.app);
    wide.draw(w.app);
    if (!w.find("chat.thread-composer")) {
        EXPECT_FALSE(w.app.thread_composer().is_focused());
        EXPECT_TRUE(w.app.main_composer().is_focused());
    } else {
        EXPECT_TRUE(w.app.thread_composer().is_focused());
    }
}

TEST(Thread, CloseReturnsThePanelToWhereItWas) {
    Window w;
    w.run();
    auto root = first_shown_message(w.app);
    ASSERT_FALSE(w.app.right_flap().target());
    w.app.activate({HitKind::OpenThread, root});
    w.run();
    w.app.activate({HitKind::CloseThread});
    EXPECT_FALSE(w.app.navigation().thread_root);
    EXPECT_FALSE(w.app.right_flap().target()) << "the panel was opened for the thread";

    w.app.activate({HitKind::ToggleRightFlap});
    ASSERT_TRUE(w.app.right_flap().target());
    w.app.activate({HitKind::OpenThread, root});
    w.app.activate({HitKind::CloseThread});
    EXPECT_TRUE(w.app.right_flap().target()) << "the people panel was open before";
}

TEST(Rename, ANewChannelSelectsItsNameAndOpensOnceNamed) {
    Window w;
    w.run();
    w.app.activate({HitKind::AddChannel, "ws_acme", "cat_acme_main"});
    ASSERT_TRUE(w.app.renaming());
    auto id = w.app.renaming()->id;
    auto [from, to] = w.app.rename_input().selection();
    EXPECT_EQ(std::min(from, to), 0u);
    EXPECT_EQ(std::max(from, to), std::string("new-channel").size());
    w.run();
    w.app.handle_event(vemo_ui::TextEvent{"second"});
    EXPECT_EQ(w.app.rename_input().text(), "second");
    w.app.handle_event(test::key(vemo_ui::Key::Enter));
    EXPECT_FALSE(w.app.renaming());
    EXPECT_EQ(w.app.navigation().channel_id, id);
    auto channel = std::ranges::find(w.app.view().channels, id, &Channel::id);
    ASSERT_NE(channel, w.app.view().channels.end());
    EXPECT_EQ(channel->name, "second");
}

TEST(Hover, ToolbarOffersReactionEvenWhenTheMessageHasReactions) {
    Window w;
    w.run();
    auto row = std::ranges::find_if(w.app.visible_rows(), [&](ChatApp::RowBox const& r) {
        auto m = std::ranges::find(w.app.view().messages, r.message, &Message::id);
        return !m->reactions.empty();
    });
    ASSERT_NE(row, w.app.visible_rows().end());
    auto id = row->message;
    w.app.handle_event(
        test::pointer(PointerEvent::Kind::Move, {row->rect.right() - 60, row->rect.y + 6}));
    w.run();
    auto adds = std::ranges::count_if(w.app.hit_regions(), [&](HitRegion const& r) {
        return r.target.kind == HitKind::AddReaction && r.target.a == id;
    });
    EXPECT_EQ(adds, 2) << "the chip row's and the toolbar's";
}

TEST(Hover, FollowsTheContentUnderAStillPointer) {
    Window w;
    w.run();
    auto row = w.app.visible_rows().back();
    vemo_ui::Point at{row.rect.x + 200, row.rect.center().y};
    w.app.handle_event(test::pointer(PointerEvent::Kind::Move, at));
    w.run();
    w.app.handle_event(vemo_ui::WheelEvent{at, 0, -vemo_ui::wheel_line_points * 4, {}});
    w.run();
    EXPECT_TRUE(w.app.needs_animation_frame()) << "the hover moved to another row";
    w.run();
    std::string under;
    for (auto const& r : w.app.visible_rows())
        if (r.rect.contains(at)) under = r.message;
    ASSERT_FALSE(under.empty());
    EXPECT_NE(under, row.message);
    auto toolbar_thread = std::ranges::find_if(w.app.hit_regions(), [&](HitRegion const& r) {
        return r.target.kind == HitKind::OpenThread && r.target.a == under;
    });
    EXPECT_NE(toolbar_thread, w.app.hit_regions().end()) << "the hover toolbar is on that row";
}

TEST(Scrolling, OneWheelLineScrollsFortyFourPoints) {
    Window w;
    w.run();
    w.app.handle_event(vemo_ui::WheelEvent{{700, 300}, 0, -vemo_ui::wheel_line_points, {}});
    EXPECT_EQ(w.app.scroll_offset(), 44);
}

TEST(Scrolling, TheTopOfHistoryShowsTheWelcomeAndTheFirstMessageInTheFirstFrame) {
    Window w;
    w.run();
    EXPECT_FALSE(w.app.welcome_header()) << "drawn while the latest messages are shown";
    w.app.scroll_back(1e6);
    w.run();
    ASSERT_FALSE(w.app.visible_rows().empty());
    EXPECT_EQ(w.app.visible_rows().front().message, first_shown_message(w.app));
    // The channel's welcome sits right under the heading, the first row right under the day
    // label below it.
    auto header = w.app.welcome_header();
    ASSERT_TRUE(header);
    EXPECT_LT(header->y, 60 + 20);
    auto first = w.app.visible_rows().front().rect;
    EXPECT_GT(first.y, header->bottom() + 30);
    EXPECT_LT(first.y, header->bottom() + 44 + 30);
}

TEST(Scrolling, AShortChannelShowsItsWelcomeAboveItsMessages) {
    Window w;
    w.run();
    w.app.activate({HitKind::Channel, "c_general"});
    w.run();
    ASSERT_FALSE(w.app.visible_rows().empty());
    auto header = w.app.welcome_header();
    ASSERT_TRUE(header);
    EXPECT_LT(header->bottom(), w.app.visible_rows().front().rect.y);
}

// The welcome above the first message names the channel with the sidebar's marker of its kind.
TEST(Scrolling, AVoiceChannelsWelcomeUsesTheVoiceMarker) {
    for (bool voice : {false, true}) {
        Window w;
        w.run();
        if (voice) {
            // The open channel becomes a voice channel, as another device may make it.
            auto channels = doc::get_map(w.doc, automerge::ObjId::root(), doc::channels_key);
            ASSERT_TRUE(channels);
            auto crit = doc::get_map(w.doc, *channels, "c_crit");
            ASSERT_TRUE(crit);
            ASSERT_TRUE(doc::put_str(w.doc, *crit, "kind", "voice"));
        }
        w.app.scroll_back(1e6);
        w.run();
        ASSERT_TRUE(w.app.welcome_header());
        auto const& [badge, title] = w.app.welcome_texts();
        EXPECT_EQ(badge, voice ? "🔊" : "#");
        EXPECT_EQ(title, voice ? "Welcome to 🔊 design-crit" : "Welcome to #design-crit");
    }
}

}  // namespace
