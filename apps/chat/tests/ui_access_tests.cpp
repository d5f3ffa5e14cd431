// What a screen reader finds beyond the controls: the panels and popovers, the actions a
// message row offers, editing through the text interface and the spoken news.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/composer_text.hpp"
#include "ui_test_support.hpp"

using namespace chat;
using chat::test::Window;
using vemo_ui::a11y::AccessNode;
using vemo_ui::a11y::TextEdit;

namespace {

void post(Window& w, std::string const& id, std::string const& author, std::string const& text,
          std::string const& parent = "", std::string const& channel = "c_crit") {
    std::string json = R"({"SendMessage":{"channel":")" + channel + R"(","id":")" + id +
                       R"(","author":")" + author + R"(","ts":)" + std::to_string(now_seconds()) +
                       R"(,"text":")" + text + "\"" +
                       (parent.empty() ? "" : R"(,"parent":")" + parent + "\"") + "}}";
    ASSERT_TRUE(w.app.dispatch_encoded({"chat.action", json, std::nullopt}));
}

std::string last_row(Window& w) {
    return w.app.visible_rows().back().message;
}

Message const& message(Window& w, std::string const& id) {
    return *std::ranges::find(w.app.view().messages, id, &Message::id);
}

TEST(AccessTree, ThreadPeopleAndEditHistoryAreRead) {
    Window w;
    w.run();
    auto root = last_row(w);
    post(w, "m_reply1", "u_elin", "a reply", root);
    w.app.activate({HitKind::OpenThread, root});
    w.run();
    auto tree = w.app.accessibility();
    auto const* thread = tree.find("thread");
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->live, "polite");
    ASSERT_EQ(thread->children.size(), 2u);
    EXPECT_EQ(thread->children[0].id, "thread-message:" + root);
    EXPECT_NE(thread->children[1].label.find("a reply"), std::string::npos);
    EXPECT_EQ(tree.find("message-list")->live, "polite");
    EXPECT_EQ(tree.find("voice-participants"), nullptr) << "grouped by channel instead";
    // The demonstration's huddle has a muted person, listed under the huddle's channel.
    std::vector<AccessNode const*> voice_channels;
    for (auto const& node : tree.children)
        if (node.id.starts_with("chat.voice-channel:")) voice_channels.push_back(&node);
    ASSERT_FALSE(voice_channels.empty());
    bool muted_found = false;
    for (auto const* channel : voice_channels) {
        std::string prefix = "voice-participant:" + channel->id.substr(19) + ":";
        for (auto const& person : channel->children) {
            EXPECT_TRUE(person.id.starts_with(prefix)) << person.id;
            EXPECT_FALSE(person.label.empty());
            EXPECT_EQ(person.label.find(','), std::string::npos) << "the name alone";
            EXPECT_TRUE(person.description.starts_with("In ")) << person.description;
            muted_found |= person.description.find("muted") != std::string::npos;
        }
    }
    EXPECT_TRUE(muted_found);

    w.app.open_people_panel();
    w.run();
    tree = w.app.accessibility();
    EXPECT_EQ(tree.find("thread"), nullptr);
    auto const* people = tree.find("people");
    ASSERT_NE(people, nullptr);
    EXPECT_EQ(people->children.size(), w.app.view().people.size());
    EXPECT_TRUE(std::ranges::any_of(people->children, [](AccessNode const& p) {
        return p.label.find("(you)") != std::string::npos ||
               p.label.find("You") != std::string::npos;
    }));

    auto edited = std::ranges::find_if(w.app.view().messages, &Message::edited);
    ASSERT_NE(edited, w.app.view().messages.end());
    Message const shown = *edited;  // the view is rebuilt by the next frame
    w.app.activate({HitKind::EditHistory, shown.id});
    w.run();
    tree = w.app.accessibility();
    auto const* history = tree.find("edit-history");
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->children.size(), shown.history.size() + 1);
    EXPECT_EQ(history->children.back().label, "Current: " + shown.text);
    EXPECT_FALSE(history->rect.is_empty());
}

TEST(AccessTree, CategoryTogglesSayWhetherTheyAreExpanded) {
    Window w;
    w.run();
    std::string id = "chat.category-toggle:cat_acme_main";
    ASSERT_NE(w.app.accessibility().find(id), nullptr);
    EXPECT_TRUE(w.app.accessibility().find(id)->states.expanded);
    ASSERT_TRUE(w.app.perform_semantic_action(id, "activate"));
    w.run();
    EXPECT_FALSE(w.app.accessibility().find(id)->states.expanded);
}

TEST(AccessTree, RowActionsReachWhatTheHoverBarAndMenuOffer) {
    Window w;
    w.run();
    auto const& rows = w.app.visible_rows();
    auto own = std::ranges::find_if(
        rows, [&](auto const& r) { return message(w, r.message).author == w.app.identity().id; });
    auto other = std::ranges::find_if(
        rows, [&](auto const& r) { return message(w, r.message).author != w.app.identity().id; });
    ASSERT_NE(own, rows.end());
    ASSERT_NE(other, rows.end());
    std::string own_id = own->message, other_id = other->message;
    auto tree = w.app.accessibility();
    EXPECT_EQ(tree.find("message:" + own_id)->actions,
              (std::vector<std::string>{"react", "reply", "menu", "edit"}));
    EXPECT_EQ(tree.find("message:" + other_id)->actions,
              (std::vector<std::string>{"react", "reply", "menu"}));

    EXPECT_FALSE(w.app.perform_semantic_action("message:" + other_id, "edit"));
    EXPECT_FALSE(w.app.perform_semantic_action("message:m_gone", "reply"));
    EXPECT_FALSE(w.app.perform_semantic_action("message:" + other_id, "dance"));

    ASSERT_TRUE(w.app.perform_semantic_action("message:" + other_id, "react"));
    ASSERT_TRUE(w.app.emoji_picker());
    EXPECT_EQ(w.app.emoji_picker()->message, other_id);

    ASSERT_TRUE(w.app.perform_semantic_action("message:" + other_id, "menu"));
    EXPECT_TRUE(w.app.context_menu().is_open());
    ASSERT_TRUE(w.app.menu_target());
    EXPECT_EQ(w.app.menu_target()->id, other_id);
    w.app.handle_event(chat::test::key(vemo_ui::Key::Escape));
    EXPECT_FALSE(w.app.context_menu().is_open());
    ASSERT_TRUE(w.app.focused_target()) << "the focus goes back to the row";
    EXPECT_EQ(*w.app.focused_target(), (HitTarget{HitKind::MessageMenu, other_id}));

    ASSERT_TRUE(w.app.perform_semantic_action("message:" + own_id, "edit"));
    ASSERT_TRUE(w.app.editing());
    EXPECT_EQ(w.app.editing()->message, own_id);
    w.app.cancel_edit();

    ASSERT_TRUE(w.app.perform_semantic_action("message:" + other_id, "activate"));
    EXPECT_EQ(w.app.navigation().thread_root, other_id);
    EXPECT_TRUE(w.app.thread_composer().is_focused());
    // Activating again keeps the thread open (a click on the reply count would close it).
    ASSERT_TRUE(w.app.perform_semantic_action("message:" + other_id, "reply"));
    EXPECT_EQ(w.app.navigation().thread_root, other_id);
}

// Enough messages that most of the conversation is scrolled out of view.
std::vector<std::string> fill_history(Window& w, int count = 30) {
    std::vector<std::string> ids;
    for (int i = 0; i < count; ++i) {
        ids.push_back("m_fill" + std::to_string(i));
        post(w, ids.back(), "u_elin", "filler number " + std::to_string(i));
    }
    w.run();
    return ids;
}

bool drawn(Window& w, std::string const& id) {
    return std::ranges::any_of(w.app.visible_rows(),
                               [&](auto const& r) { return r.message == id; });
}

TEST(AccessTree, EveryLoadedMessageIsARowAndFocusScrollsItIntoView) {
    Window w;
    w.run();
    fill_history(w);
    auto tree = w.app.accessibility();
    auto const& rows = tree.find("message-list")->children;
    size_t top_level = size_t(std::ranges::count_if(
        w.app.view().messages, [](auto const& m) { return !m.parent.has_value(); }));
    ASSERT_EQ(rows.size(), top_level);
    ASSERT_GT(rows.size(), w.app.visible_rows().size()) << "the history must overflow the list";
    for (auto const& row : rows) {
        bool shown = drawn(w, row.id.substr(row.id.find(':') + 1));
        EXPECT_EQ(row.states.offscreen, !shown) << row.id;
        EXPECT_EQ(row.rect.is_empty(), !shown) << row.id;
    }

    // The screen reader moves to the very first message: it scrolls into view and takes the
    // keyboard focus, and the latest message leaves the screen.
    std::string first = rows.front().id, latest = rows.back().id;
    ASSERT_TRUE(rows.front().states.offscreen);
    ASSERT_TRUE(w.app.perform_semantic_action(first, "focus"));
    w.run();
    tree = w.app.accessibility();
    auto const* now_first = tree.find(first);
    EXPECT_FALSE(now_first->states.offscreen);
    EXPECT_TRUE(now_first->states.focused);
    EXPECT_TRUE(tree.find(latest)->states.offscreen);
    EXPECT_FALSE(w.app.main_composer().is_focused());
    auto list = tree.find("message-list")->rect;
    EXPECT_GE(now_first->rect.y, list.y) << "wholly in view";
    EXPECT_FALSE(w.app.perform_semantic_action("thread-message:" + latest.substr(8), "focus"))
        << "no thread is open";
}

TEST(AccessTree, FocusFromAssistiveTechnologyDoesNotActivate) {
    Window w;
    w.run();
    std::string id = "chat.category-toggle:cat_acme_main";
    ASSERT_TRUE(w.app.perform_semantic_action(id, "focus"));
    w.run();
    auto tree = w.app.accessibility();
    auto const* toggle = tree.find(id);
    ASSERT_NE(toggle, nullptr);
    EXPECT_TRUE(toggle->states.focused);
    EXPECT_TRUE(toggle->states.expanded) << "focusing a toggle must not flip it";
    EXPECT_TRUE(toggle->states.expandable);
    ASSERT_NE(tree.find(search_open_id), nullptr);
    ASSERT_TRUE(w.app.perform_semantic_action(search_open_id, "focus"));
    w.run();
    EXPECT_FALSE(w.app.search_window().is_open()) << "focusing the search opener must not open it";
    EXPECT_TRUE(w.app.accessibility().find(search_open_id)->states.focused);
    w.app.handle_event(chat::test::key(vemo_ui::Key::Enter));
    EXPECT_TRUE(w.app.search_window().is_open()) << "Enter on it opens the search";
}

TEST(AccessTree, TextFieldsShowAndTakeEditsFromAssistiveTechnology) {
    Window w;
    w.run();
    ASSERT_TRUE(w.app.perform_text_edit("chat.composer", TextEdit{0, 0, "héllo world"}));
    ASSERT_TRUE(w.app.perform_text_edit("chat.composer", TextEdit{0, 5, "", true}));
    w.run();
    auto tree = w.app.accessibility();
    auto const* composer = tree.find("chat.composer");
    ASSERT_NE(composer, nullptr);
    ASSERT_TRUE(composer->text);
    EXPECT_EQ(composer->text->text, "héllo world");
    EXPECT_EQ(composer->text->caret, 5);
    EXPECT_EQ(composer->text->selection_start, 0);
    EXPECT_EQ(composer->text->selection_end, 5);
    EXPECT_FALSE(tree.find("chat.send")->text) << "only text fields carry text";

    EXPECT_FALSE(w.app.perform_text_edit("chat.send", TextEdit{0, 0, "x"}));
    EXPECT_FALSE(w.app.perform_text_edit("nothing", TextEdit{0, 0, "x"}));
    EXPECT_FALSE(w.app.perform_text_edit("search-field", TextEdit{0, 0, "x"}))
        << "the search field takes edits only while the search is open";

    auto root = last_row(w);
    w.app.activate({HitKind::OpenThread, root});
    w.run();
    ASSERT_TRUE(w.app.perform_text_edit("chat.thread-composer", TextEdit{0, 0, "in thread"}));
    EXPECT_EQ(w.app.thread_composer().text(), "in thread");
    EXPECT_EQ(w.app.main_composer().text(), "héllo world");
}

TEST(Announcements, NewMessagesFromOthersAreSpokenOnce) {
    Window w;
    w.run();
    EXPECT_TRUE(w.app.take_announcements().empty()) << "what is there at first is not news";
    auto root = last_row(w);

    post(w, "m_new1", "u_elin", "fresh news");
    post(w, "m_mine", w.app.identity().id, "my own words");
    post(w, "m_side", "u_tove", "a reply elsewhere", root);
    w.run();
    auto spoken = w.app.take_announcements();
    ASSERT_EQ(spoken.size(), 1u);
    EXPECT_TRUE(spoken[0].starts_with("Message from ")) << spoken[0];
    EXPECT_TRUE(spoken[0].ends_with(": fresh news")) << spoken[0];
    w.run();
    EXPECT_TRUE(w.app.take_announcements().empty()) << "each message once";

    w.app.activate({HitKind::OpenThread, root});
    w.run();
    EXPECT_TRUE(w.app.take_announcements().empty()) << "opening a thread is not news";
    post(w, "m_reply2", "u_tove", "in the open thread", root);
    w.run();
    spoken = w.app.take_announcements();
    ASSERT_EQ(spoken.size(), 1u);
    EXPECT_TRUE(spoken[0].starts_with("Reply from ")) << spoken[0];

    for (int i = 0; i < 5; ++i) post(w, "m_burst" + std::to_string(i), "u_elin", "burst");
    w.run();
    EXPECT_EQ(w.app.take_announcements(), std::vector<std::string>{"5 new messages"});
}

}  // namespace
