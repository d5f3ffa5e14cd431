// Everything a mouse user can reach, reached from the keyboard, and the tree a screen reader
// reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ui_test_support.hpp"

using namespace chat;
using chat::test::key;
using chat::test::Window;
using vemo_ui::Key;

namespace {

// Presses Tab (or Shift+Tab) until the focus comes back to where it started; the ids visited.
std::vector<std::string> tab_walk(Window& w, bool backwards = false) {
    std::vector<std::string> visited;
    for (int i = 0; i < 400; ++i) {
        w.app.handle_event(key(Key::Tab, backwards));
        w.run();
        if (!w.app.focused_target()) break;
        auto id = semantic_id(*w.app.focused_target());
        if (!visited.empty() && id == visited.front()) break;
        visited.push_back(id);
    }
    return visited;
}

size_t position(std::vector<std::string> const& ids, std::string const& id) {
    return size_t(std::ranges::find(ids, id) - ids.begin());
}

TEST(Keyboard, TabVisitsEveryControlOnceInScreenOrder) {
    Window w;
    w.run();
    auto ids = tab_walk(w);
    std::set<std::string> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), ids.size()) << "a stop was visited twice";
    for (auto const* wanted :
         {"chat.inbox", "chat.channel:c_general", "chat.channel:c_random",
          "chat.category-toggle:cat_acme_main", "chat.add-channel:ws_acme:cat_acme_main",
          "chat.composer", "chat.send", "chat.toggle-details"})
        EXPECT_LT(position(ids, wanted), ids.size()) << wanted;
    // Rail, sidebar, heading, messages, composer.
    EXPECT_LT(position(ids, "chat.inbox"), position(ids, "chat.channel:c_general"));
    EXPECT_LT(position(ids, "chat.channel:c_general"), position(ids, "chat.toggle-details"));
    EXPECT_LT(position(ids, "chat.toggle-details"), position(ids, "chat.composer"));
    // Backwards the same stops come in the opposite order (a row's toolbar shows only while
    // the focus is on that row, so only the controls drawn all the time are compared).
    auto backwards = tab_walk(w, true);
    EXPECT_EQ(std::set<std::string>(backwards.begin(), backwards.end()).size(), backwards.size());
    EXPECT_GT(position(backwards, "chat.inbox"), position(backwards, "chat.channel:c_general"));
    EXPECT_GT(position(backwards, "chat.channel:c_general"), position(backwards, "chat.composer"));
}

TEST(Keyboard, WithAThreadOpenTabReachesItsComposerAndClose) {
    Window w;
    w.run();
    auto root =
        std::ranges::find_if(w.app.view().messages, [](auto const& m) { return !m.parent; });
    w.app.activate({HitKind::OpenThread, root->id});
    w.run();
    auto ids = tab_walk(w);
    EXPECT_LT(position(ids, "chat.thread-composer"), ids.size());
    EXPECT_LT(position(ids, "chat.close-thread"), ids.size());
    EXPECT_LT(position(ids, "chat.composer"), position(ids, "chat.close-thread"));
}

TEST(Keyboard, SpaceActivatesAFocusedToggle) {
    Window w;
    w.run();
    w.app.handle_event(key(Key::Tab));  // some control, so the composer does not take the key
    auto const* toggle = w.find("chat.category-toggle:cat_acme_main");
    ASSERT_NE(toggle, nullptr);
    auto target = toggle->target;
    while (w.app.focused_target() != target) w.app.handle_event(key(Key::Tab));
    vemo_ui::KeyEvent space = key(Key::Space);
    space.character = U' ';
    w.app.handle_event(space);
    auto category = std::ranges::find(w.app.view().categories, "cat_acme_main", &Category::id);
    EXPECT_TRUE(category->collapsed);
}

TEST(Keyboard, MenuKeysOpenTheFocusedItemsMenu) {
    Window w;
    w.run();
    while (!w.app.focused_target() || w.app.focused_target()->kind != HitKind::Channel)
        w.app.handle_event(key(Key::Tab));
    w.app.handle_event(key(Key::F10, true));
    ASSERT_TRUE(w.app.context_menu().is_open());
    EXPECT_EQ(w.app.menu_target()->kind, ChatApp::MenuKind::Channel);
    w.app.handle_event(key(Key::Escape));
    EXPECT_FALSE(w.app.context_menu().is_open());

    while (!w.app.focused_target() || w.app.focused_target()->kind != HitKind::MessageMenu) {
        w.app.handle_event(key(Key::Tab));
        w.run();
    }
    auto message = w.app.focused_target()->a;
    w.app.handle_event(key(Key::ContextMenu));
    ASSERT_TRUE(w.app.context_menu().is_open());
    EXPECT_EQ(w.app.menu_target()->kind, ChatApp::MenuKind::Message);
    EXPECT_EQ(w.app.menu_target()->id, message);
}

TEST(Keyboard, AFocusedRowOffersItsToolbarAndEnterOpensItsThread) {
    Window w;
    w.run();
    while (!w.app.focused_target() || w.app.focused_target()->kind != HitKind::MessageMenu) {
        w.app.handle_event(key(Key::Tab));
        w.run();
    }
    auto message = w.app.focused_target()->a;
    EXPECT_TRUE(std::ranges::any_of(w.app.hit_regions(), [&](HitRegion const& r) {
        return r.target.kind == HitKind::OpenThread && r.target.a == message;
    }));
    auto tree = w.app.accessibility();
    auto const& rows = tree.find("message-list")->children;
    EXPECT_EQ(std::ranges::count_if(rows, [](auto const& r) { return r.states.focused; }), 1);
    w.app.handle_event(key(Key::Enter));
    EXPECT_EQ(w.app.navigation().thread_root, message);
}

HitTarget focus_first_row(Window& w, std::string const& tag = "") {
    for (int i = 0; i < 200; ++i) {
        auto const& f = w.app.focused_target();
        if (f && f->kind == HitKind::MessageMenu && f->b == tag) return *f;
        w.app.handle_event(key(Key::Tab));
        w.run();
    }
    ADD_FAILURE() << "no row reached by Tab";
    return {};
}

TEST(Keyboard, ArrowsHomeAndEndWalkTheWholeHistory) {
    Window w;
    w.run();
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(chat::test::send_message(w.app, "c_crit", "m_k" + std::to_string(i), "u_elin",
                                             1782477000, "line"));
    w.run();
    std::vector<std::string> ids;
    auto tree = w.app.accessibility();
    for (auto const& row : tree.find("message-list")->children) ids.push_back(row.id.substr(8));
    ASSERT_GT(ids.size(), w.app.visible_rows().size());
    focus_first_row(w);
    auto at = [&] { return w.app.focused_target()->a; };
    auto shown = [&](std::string const& id) {
        return std::ranges::any_of(w.app.visible_rows(),
                                   [&](auto const& r) { return r.message == id; });
    };
    struct Step {
        Key key;
        std::string wanted;
    };
    for (auto const& [k, wanted] : std::vector<Step>{{Key::Home, ids.front()},
                                                     {Key::Up, ids.front()},
                                                     {Key::Down, ids[1]},
                                                     {Key::End, ids.back()},
                                                     {Key::Down, ids.back()},
                                                     {Key::Up, ids[ids.size() - 2]}}) {
        w.app.handle_event(key(k));
        w.run();
        ASSERT_TRUE(w.app.focused_target());
        EXPECT_EQ(at(), wanted);
        EXPECT_TRUE(shown(wanted)) << "the focused row is scrolled into view";
    }
}

TEST(Keyboard, ThreadRowsAreStopsWalkedByArrows) {
    Window w;
    w.run();
    auto root = w.app.visible_rows().back().message;
    for (auto const* id : {"m_r1", "m_r2", "m_r3"})
        ASSERT_TRUE(w.app.dispatch_encoded(
            {"chat.action",
             R"({"SendMessage":{"channel":"c_crit","id":")" + std::string(id) +
                 R"(","author":"u_elin","ts":1782477000,"text":"a reply","parent":")" + root +
                 R"("}})",
             std::nullopt}));
    w.app.activate({HitKind::OpenThread, root});
    w.run();
    auto first = focus_first_row(w, thread_row_tag);
    EXPECT_EQ(first.a, root) << "Tab reaches the thread's root first";
    auto tree = w.app.accessibility();
    EXPECT_TRUE(tree.find("thread-message:" + root)->states.focused);
    EXPECT_GT(tree.find("thread-message:" + root)->rect.height, 20) << "the ring goes round it";
    EXPECT_FALSE(tree.find("message:" + root)->states.focused) << "only the thread's copy";
    struct Step {
        Key key;
        std::string wanted;
    };
    for (auto const& [k, wanted] : std::vector<Step>{
             {Key::Down, "m_r1"}, {Key::End, "m_r3"}, {Key::Up, "m_r2"}, {Key::Home, root}}) {
        w.app.handle_event(key(k));
        w.run();
        ASSERT_TRUE(w.app.focused_target());
        EXPECT_EQ(*w.app.focused_target(),
                  (HitTarget{HitKind::MessageMenu, wanted, thread_row_tag}));
    }
    w.app.handle_event(key(Key::Enter));
    w.run();
    EXPECT_EQ(w.app.navigation().thread_root, root) << "Enter on a thread row keeps the thread";
    EXPECT_TRUE(w.app.thread_composer().is_focused()) << "and goes to its composer";
}

TEST(Keyboard, F6JumpsBetweenRegionsAndPagesScrollHistory) {
    Window w;
    w.run();
    ASSERT_TRUE(w.app.main_composer().is_focused());
    w.app.handle_event(key(Key::F6));
    w.run();
    ASSERT_TRUE(w.app.focused_target());
    EXPECT_EQ(semantic_id(*w.app.focused_target()), "chat.inbox")
        << "from the composer to the rail";
    w.app.handle_event(key(Key::F6));
    w.run();
    EXPECT_NE(semantic_id(*w.app.focused_target()), "chat.inbox");
    w.app.handle_event(key(Key::F6, true));
    EXPECT_EQ(semantic_id(*w.app.focused_target()), "chat.inbox");

    w.app.handle_event(key(Key::PageUp));
    EXPECT_GT(w.app.scroll_offset(), 0);
    EXPECT_FALSE(w.app.following_latest());
    w.app.handle_event(key(Key::PageDown));
    w.app.handle_event(key(Key::PageDown));
    EXPECT_EQ(w.app.scroll_offset(), 0);
}

// A focused row scrolled out of view keeps its place in the Tab and F6 order: from a row above
// the view the next stop is the first of the conversation's, from one below it is the composer,
// as if the row were drawn where it is.
TEST(Keyboard, TabAndF6MoveOnFromARowScrolledOutOfView) {
    Window w;
    w.run();
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(chat::test::send_message(w.app, "c_crit", "m_off" + std::to_string(i), "u_elin",
                                             1782477000 + i * 400, "line"));
    w.run();
    auto first = w.app.accessibility().find("message-list")->children.front().id.substr(8);
    auto latest = w.app.visible_rows().back().message;
    auto shown = [&](std::string const& id) {
        return std::ranges::any_of(w.app.visible_rows(),
                                   [&](auto const& r) { return r.message == id; });
    };
    auto focused_id = [&] {
        return w.app.focused_target() ? semantic_id(*w.app.focused_target()) : std::string();
    };
    // Focus on a row, then the view wheeled away from it.
    auto focus_away = [&](std::string const& row, double dy) {
        ASSERT_TRUE(w.app.perform_semantic_action("message:" + row, "focus"));
        w.run();
        for (int i = 0; i < 40 && shown(row); ++i) {
            w.app.handle_event(vemo_ui::WheelEvent{{700, 300}, 0, dy, {}});
            w.run();
        }
        ASSERT_FALSE(shown(row));
        ASSERT_EQ(*w.app.focused_target(), (HitTarget{HitKind::MessageMenu, row}));
    };
    auto conversation_row = [&] {
        auto const& f = w.app.focused_target();
        return f && f->kind == HitKind::MessageMenu && f->b.empty() && shown(f->a);
    };

    // Above the view: Tab goes on into the rows drawn, F6 to the composer.
    focus_away(first, 400);
    w.app.handle_event(key(Key::Tab));
    w.run();
    EXPECT_TRUE(conversation_row()) << focused_id();
    focus_away(first, 400);
    w.app.handle_event(key(Key::F6));
    w.run();
    EXPECT_EQ(focused_id(), "chat.composer");

    // Below the view: Tab and F6 go on to the composer, Shift+Tab back into the conversation,
    // Shift+F6 to the heading.
    focus_away(latest, -400);
    w.app.handle_event(key(Key::Tab));
    w.run();
    EXPECT_EQ(focused_id(), "chat.composer");
    focus_away(latest, -400);
    w.app.handle_event(key(Key::F6));
    w.run();
    EXPECT_EQ(focused_id(), "chat.composer");
    focus_away(latest, -400);
    w.app.handle_event(key(Key::Tab, true));
    w.run();
    EXPECT_TRUE(conversation_row() || focused_id() == "chat.jump-to-latest") << focused_id();
    focus_away(latest, -400);
    w.app.handle_event(key(Key::F6, true));
    w.run();
    EXPECT_EQ(focused_id(), "chat.start-call");
}

TEST(Accessibility, IdsAreUniqueAndRowsSayWhatIsOnThem) {
    Window w;
    w.run();
    auto root = w.app.visible_rows().back().message;
    ASSERT_TRUE(w.app.dispatch_encoded(
        {"chat.action",
         R"({"SendMessage":{"channel":"c_crit","id":"m_reply1","author":"u_elin","ts":1782477000,"text":"a reply","parent":")" +
             root + R"("}})",
         std::nullopt}));
    w.app.activate({HitKind::OpenThread, root});
    w.run();
    auto tree = w.app.accessibility();
    std::set<std::string> ids;
    size_t nodes = 0;
    std::function<void(vemo_ui::a11y::AccessNode const&)> walk = [&](auto const& n) {
        if (!n.id.empty()) ++nodes, ids.insert(n.id);
        for (auto const& c : n.children) walk(c);
    };
    walk(tree);
    EXPECT_EQ(ids.size(), nodes);
    EXPECT_TRUE(ids.contains("chat.send#2")) << "the thread composer's send button";
    auto const& rows = tree.find("message-list")->children;
    ASSERT_FALSE(rows.empty());
    EXPECT_NE(rows.back().label.find(", 1 reply"), std::string::npos) << rows.back().label;
    EXPECT_TRUE(std::ranges::any_of(
        rows, [](auto const& r) { return r.label.find(" reaction") != std::string::npos; }));
    EXPECT_TRUE(w.app.perform_semantic_action("chat.send#2", "activate"));
}

}  // namespace
