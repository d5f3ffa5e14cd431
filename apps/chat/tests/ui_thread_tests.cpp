// The thread panel scrolls like the conversation: a long thread is read to its end by wheel,
// keyboard and screen reader, and the scrolling arithmetic both lists share.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/list_scroll.hpp"
#include "ui_test_support.hpp"

using namespace chat;
using chat::test::key;
using chat::test::Window;
using vemo_ui::Key;
using vemo_ui::a11y::AccessNode;

namespace {

// --- The shared arithmetic ----------------------------------------------------------------

struct PlaceCase {
    std::string name;
    size_t count;
    double offset;  // scrolled back this far before placing
    bool top_aligned;
    size_t first_shown, last_shown;
    double first_top;  // of the first row shown
    double offset_after;
};

class PlaceTest : public testing::TestWithParam<PlaceCase> {};

// Rows 40 points tall in a view from 100 to 300, 10 above the first and 10 below the latest.
TEST_P(PlaceTest, RowsGoWhereTheOffsetPutsThem) {
    auto const& c = GetParam();
    ListScroll scroll;
    if (c.offset > 0) scroll.scroll_back(c.offset);
    auto placed = scroll.place(
        c.count, [](size_t) { return 40.0; }, 100, 300, {10, 10}, c.top_aligned);
    ASSERT_FALSE(placed.rows.empty());
    EXPECT_EQ(placed.rows.front().index, c.first_shown);
    EXPECT_EQ(placed.rows.back().index, c.last_shown);
    EXPECT_DOUBLE_EQ(placed.rows.front().top, c.first_top);
    EXPECT_DOUBLE_EQ(scroll.offset(), c.offset_after);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PlaceTest,
    testing::Values(
        // A short list sits on the bottom, or at the top when asked (a thread).
        PlaceCase{"ShortAtBottom", 2, 0, false, 0, 1, 210, 0},
        PlaceCase{"ShortAtTop", 2, 0, true, 0, 1, 110, 0},
        // A long list at its latest row: the row under the view's top edge is still placed.
        PlaceCase{"LongAtLatest", 20, 0, true, 15, 19, 90, 0},
        PlaceCase{"ScrolledBack", 20, 100, true, 12, 17, 70, 100},
        // Past the first row the offset is clamped: 20 rows and pads are 820, the view 200.
        PlaceCase{"ClampedAtFirst", 20, 5000, true, 0, 4, 110, 620}),
    [](auto const& info) { return info.param.name; });

struct RevealCase {
    std::string name;
    double offset_before;
    size_t index;
    bool nearest;
    double covered;
    double offset_after;
};

class RevealTest : public testing::TestWithParam<RevealCase> {};

// Twenty rows 40 tall, a view 200 tall, 10 below the latest.
TEST_P(RevealTest, TheRowComesIntoView) {
    auto const& c = GetParam();
    ListScroll scroll;
    if (c.offset_before > 0) scroll.scroll_back(c.offset_before);
    scroll.reveal(
        c.index, 20, [](size_t) { return 40.0; }, 200, {10, 10}, c.nearest, c.covered);
    EXPECT_DOUBLE_EQ(scroll.offset(), c.offset_after);
    EXPECT_EQ(scroll.following(), c.offset_after == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RevealTest,
    testing::Values(
        // Row 10 has 360 below it: centred, its middle is 100 above the view's bottom.
        RevealCase{"Centred", 0, 10, false, 0, 360 + 20 + 10 - 100},
        // Nearest from the latest: just under the view's top edge, room for a focus ring.
        RevealCase{"NearestFromBelow", 0, 10, true, 0, 360 + 40 + 10 + 4 - 200},
        // Nearest from far back: its bottom on the bottom margin...
        RevealCase{"NearestFromAbove", 2000, 10, true, 0, 360},
        // ...or above what covers the view's bottom while scrolled back.
        RevealCase{"ClearOfTheCover", 2000, 10, true, 56, 360 - 46},
        // A row already in view stays where it is.
        RevealCase{"AlreadyShown", 300, 10, true, 56, 300},
        // A row that the cover would hide near the latest: back to the latest instead.
        RevealCase{"NearTheLatest", 60, 18, true, 56, 0},
        RevealCase{"TheLatest", 300, 19, true, 56, 0}),
    [](auto const& info) { return info.param.name; });

// --- The thread panel -----------------------------------------------------------------------

struct LongThread {
    std::string root;
    std::vector<std::string> replies;
};

void reply(Window& w, std::string const& root, std::string const& id, int64_t ts) {
    ASSERT_TRUE(chat::test::send_message(w.app, "c_crit", id, ts / 400 % 2 ? "u_elin" : "u_tove",
                                         ts, "reply " + id + ": **bold** and more words to wrap",
                                         root));
}

LongThread open_long_thread(Window& w, int replies = 60) {
    w.run();
    LongThread t{w.app.visible_rows().back().message, {}};
    for (int i = 0; i < replies; ++i) {
        t.replies.push_back("m_tr" + std::to_string(i));
        reply(w, t.root, t.replies.back(), 1782477000 + i * 400);
    }
    w.app.activate({HitKind::OpenThread, t.root});
    w.run();
    return t;
}

bool shown(Window& w, std::string const& id) {
    return std::ranges::any_of(w.app.visible_thread_rows(),
                               [&](auto const& r) { return r.message == id; });
}

// Wholly inside the thread's list, between its heading and its composer.
bool wholly_shown(Window& w, std::string const& id) {
    auto tree = w.app.accessibility();
    auto const* row = tree.find("thread-message:" + id);
    auto const* composer = tree.find("chat.thread-composer");
    if (!row || !composer || row->states.offscreen) return false;
    return row->rect.y >= w.app.accessibility().find("chat.close-thread")->rect.bottom() &&
           row->rect.bottom() <= composer->rect.y;
}

void wheel(Window& w, double dy, int times) {
    auto over = w.app.accessibility().find("thread")->rect.center();
    for (int i = 0; i < times; ++i) {
        EXPECT_TRUE(w.app.handle_event(vemo_ui::WheelEvent{over, 0, dy, {}}));
        w.run();
    }
}

TEST(ThreadPanel, ALongThreadOpensAtItsLatestAndEveryRowIsInTheTree) {
    Window w;
    auto t = open_long_thread(w);
    EXPECT_TRUE(shown(w, t.replies.back())) << "the thread opens at its latest reply";
    EXPECT_FALSE(shown(w, t.root));
    auto tree = w.app.accessibility();
    auto const* thread = tree.find("thread");
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(thread->children.size(), t.replies.size() + 1);
    EXPECT_EQ(thread->children.front().id, "thread-message:" + t.root);
    size_t on_screen = 0;
    for (auto const& row : thread->children) {
        bool drawn = shown(w, row.id.substr(row.id.find(':') + 1));
        on_screen += drawn;
        EXPECT_EQ(row.states.offscreen, !drawn) << row.id;
        EXPECT_EQ(row.rect.is_empty(), !drawn) << row.id;
        if (drawn) {
            EXPECT_TRUE(thread->rect.contains(row.rect.center())) << row.id;
        }
    }
    EXPECT_GT(on_screen, 2u);
    EXPECT_LT(on_screen, 30u) << "only what fits is drawn";
    // The conversation keeps its own scroll.
    EXPECT_TRUE(w.app.following_latest());
}

TEST(ThreadPanel, TheWheelReachesTheRootAndComesBackToTheLatest) {
    Window w;
    auto t = open_long_thread(w);
    double before = w.app.scroll_offset();
    wheel(w, -400, 60);
    EXPECT_TRUE(wholly_shown(w, t.root)) << "scrolled to the top";
    EXPECT_FALSE(shown(w, t.replies.back()));
    EXPECT_FALSE(w.app.thread_scroll().following());
    EXPECT_EQ(w.app.scroll_offset(), before) << "the conversation did not move";
    wheel(w, 400, 60);
    EXPECT_TRUE(wholly_shown(w, t.replies.back()));
    EXPECT_TRUE(w.app.thread_scroll().following());
}

TEST(ThreadPanel, KeysWalkAndPageTheThread) {
    Window w;
    auto t = open_long_thread(w);
    // A screen reader moves to the root, scrolled out of view: it comes in and takes focus.
    ASSERT_TRUE(w.app.perform_semantic_action("thread-message:" + t.root, "focus"));
    w.run();
    EXPECT_TRUE(wholly_shown(w, t.root));
    EXPECT_TRUE(w.app.accessibility().find("thread-message:" + t.root)->states.focused);
    struct Step {
        vemo_ui::KeyEvent key;
        std::string focused;  // the row the focus is on afterwards
        std::string shown;    // a row wholly in view afterwards
    };
    auto const& last = t.replies.back();
    for (auto const& [k, focused, in_view] : std::vector<Step>{
             {key(Key::End), last, last},
             {key(Key::Home), t.root, t.root},
             {key(Key::Down), t.replies[0], t.replies[0]},
             {key(Key::End), last, last},
             {key(Key::Up), t.replies[58], t.replies[58]},
             // Paging moves the view, not the focus.
             {key(Key::Home, false, true), t.replies[58], t.root},
             {key(Key::End, false, true), t.replies[58], last},
         }) {
        w.app.handle_event(k);
        w.run();
        ASSERT_TRUE(w.app.focused_target());
        EXPECT_EQ(w.app.focused_target()->a, focused);
        EXPECT_TRUE(wholly_shown(w, in_view)) << in_view;
    }
    double main_scroll = w.app.scroll_offset();
    w.app.handle_event(key(Key::PageUp));
    w.run();
    EXPECT_GT(w.app.thread_scroll().offset(), 100);
    w.app.handle_event(key(Key::PageDown));
    w.app.handle_event(key(Key::PageDown));
    w.run();
    EXPECT_TRUE(w.app.thread_scroll().following());
    EXPECT_EQ(w.app.scroll_offset(), main_scroll) << "paging in the thread leaves the history";

    // From the thread's composer too.
    ASSERT_TRUE(w.app.perform_semantic_action("chat.thread-composer", "focus"));
    w.app.handle_event(key(Key::Home, false, true));
    w.run();
    EXPECT_TRUE(wholly_shown(w, t.root));
}

TEST(ThreadPanel, ANewReplyKeepsTheLatestInViewOnlyWhenItWasThere) {
    Window w;
    auto t = open_long_thread(w);
    reply(w, t.root, "m_new1", 1782500000);
    w.run();
    EXPECT_TRUE(wholly_shown(w, "m_new1")) << "pinned to the bottom";
    wheel(w, -400, 3);
    reply(w, t.root, "m_new2", 1782500400);
    w.run();
    EXPECT_FALSE(shown(w, "m_new2")) << "reading further up is not interrupted";
    EXPECT_FALSE(w.app.thread_scroll().following());
    auto tree = w.app.accessibility();
    ASSERT_NE(tree.find("thread-message:m_new2"), nullptr);
    EXPECT_TRUE(tree.find("thread-message:m_new2")->states.offscreen);
}

// The root focused and the thread scrolled to its latest reply: Tab goes on into the replies
// drawn, not back to the first stop of the window.
TEST(ThreadPanel, TabMovesOnFromARowScrolledOutOfView) {
    Window w;
    auto t = open_long_thread(w);
    ASSERT_TRUE(w.app.perform_semantic_action("thread-message:" + t.root, "focus"));
    w.run();
    w.app.handle_event(key(Key::End, false, true));
    w.run();
    ASSERT_FALSE(shown(w, t.root));
    w.app.handle_event(key(Key::Tab));
    w.run();
    auto const& f = w.app.focused_target();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, HitKind::MessageMenu) << semantic_id(*f);
    EXPECT_EQ(f->b, thread_row_tag);
    EXPECT_TRUE(shown(w, f->a));
}

// Scrolled back from its latest reply, the thread offers the same "Jump to latest" button as
// the conversation: drawn over its list, a keyboard stop of the thread, a screen-reader button.
TEST(ThreadPanel, AJumpButtonShowsWhileScrolledBackAndReturnsToTheLatest) {
    Window w;
    auto t = open_long_thread(w);
    auto const id = std::string("chat.thread-jump-to-latest");
    EXPECT_EQ(w.find(id), nullptr) << "at the latest reply there is nothing to jump to";
    wheel(w, -400, 3);
    auto const* jump = w.find(id);
    ASSERT_NE(jump, nullptr);
    EXPECT_TRUE(w.app.accessibility().find("thread")->rect.contains(jump->rect.center()));
    EXPECT_EQ(w.find("chat.jump-to-latest"), nullptr) << "the conversation is at its latest";
    auto tree = w.app.accessibility();
    ASSERT_NE(tree.find(id), nullptr);
    EXPECT_EQ(tree.find(id)->label, "Jump to latest reply");

    // Shift+Tab from the thread's composer reaches it among the thread's last stops.
    ASSERT_TRUE(w.app.perform_semantic_action("chat.thread-composer", "focus"));
    for (int i = 0;
         i < 4 && !(w.app.focused_target() && semantic_id(*w.app.focused_target()) == id); ++i) {
        w.app.handle_event(key(Key::Tab, true));
        w.run();
    }
    ASSERT_TRUE(w.app.focused_target());
    EXPECT_EQ(semantic_id(*w.app.focused_target()), id);
    EXPECT_TRUE(w.app.accessibility().find(id)->states.focused);

    // Enter on it brings the latest reply back and the button goes; the history stays put.
    double main_scroll = w.app.scroll_offset();
    w.app.handle_event(key(Key::Enter));
    w.run();
    EXPECT_TRUE(w.app.thread_scroll().following());
    EXPECT_TRUE(wholly_shown(w, t.replies.back()));
    EXPECT_EQ(w.find(id), nullptr);
    EXPECT_EQ(w.app.scroll_offset(), main_scroll);

    // A screen reader presses it as well.
    wheel(w, -400, 3);
    ASSERT_TRUE(w.app.perform_semantic_action(id, "activate"));
    w.run();
    EXPECT_TRUE(w.app.thread_scroll().following());
}

// Walking down the history from its first message, each focused row ends above the "Jump to
// latest" button while it shows.
TEST(ConversationList, AFocusedRowStaysClearOfTheJumpButton) {
    Window w;
    w.run();
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(chat::test::send_message(w.app, "c_crit", "m_fill" + std::to_string(i),
                                             "u_elin", 1782477000 + i * 400,
                                             "filler with `code` number " + std::to_string(i)));
    w.run();
    auto first = w.app.accessibility().find("message-list")->children.front().id;
    ASSERT_TRUE(w.app.perform_semantic_action(first, "focus"));
    w.run();
    int covered_checks = 0;
    for (int i = 0; i < 40; ++i) {
        w.app.handle_event(key(Key::Down));
        w.run();
        ASSERT_TRUE(w.app.focused_target());
        auto id = w.app.focused_target()->a;
        auto row = std::ranges::find(w.app.visible_rows(), id, &ChatApp::RowBox::message);
        ASSERT_NE(row, w.app.visible_rows().end()) << id;
        if (auto const* jump = w.find("chat.jump-to-latest")) {
            EXPECT_LE(row->rect.bottom(), jump->rect.y) << id;
            ++covered_checks;
        }
    }
    EXPECT_GT(covered_checks, 5);
    EXPECT_TRUE(w.app.following_latest()) << "the walk ends at the latest message";
}

}  // namespace
