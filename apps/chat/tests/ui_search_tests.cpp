#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "actions/chat_action.hpp"
#include "doc/seeds.hpp"
#include "ui_test_support.hpp"

using namespace chat;
using chat::test::Window;
using vemo_ui::Key;
namespace sp = vemo_ui::search::provider;

namespace {

vemo_ui::KeyEvent ctrl(char32_t c) {
    auto e = chat::test::key(Key::Character, false, true);
    e.character = c;
    return e;
}

class SearchWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        w.run();
        settle();
    }
    // Until the catalog holds the document, then one frame.
    void settle() {
        for (auto const& p : w.app.search_providers())
            while (p->indexing()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        w.run();
    }
    void type(std::string const& text) {
        w.app.handle_event(vemo_ui::TextEvent{text});
        w.run();
    }
    void press(Key k) {
        w.app.handle_event(chat::test::key(k));
        w.run();
    }
    std::vector<std::string> shown() const {
        std::vector<std::string> out;
        auto const& window = w.app.search_window();
        for (size_t i = 0; i < window.result_count(); ++i)
            out.push_back(window.hit(i)->result.action_address);
        return out;
    }
    bool shows_message(std::string const& id) const {
        for (auto const& row : w.app.visible_rows())
            if (row.message == id) return true;
        return false;
    }
    void shot(char const* name) {
        if (char const* dir = std::getenv("VEMO_SEARCH_SHOTS"))
            (void)w.frame.write_png(std::string(dir) + "/" + name + ".png");
    }
    Window w;
};

TEST_F(SearchWindowTest, EnterOnAMessageOpensItsChannelScrolledToIt) {
    w.app.open_workspace("ws_vemo");
    w.run();
    w.app.handle_event(ctrl('k'));
    ASSERT_TRUE(w.app.search_window().is_open());
    type("promoting");
    shot("search-message");
    ASSERT_FALSE(shown().empty());
    EXPECT_EQ(shown().front(), "chat.message:m_jonah");
    auto const& hit = *w.app.search_window().hit(0);
    EXPECT_FALSE(hit.title_marks.empty());  // the matched word is highlighted
    press(Key::Enter);
    EXPECT_FALSE(w.app.search_window().is_open());
    EXPECT_EQ(w.app.navigation().channel_id, "c_crit");
    EXPECT_TRUE(shows_message("m_jonah"));
}

TEST_F(SearchWindowTest, AReplyOpensInItsThread) {
    w.app.handle_event(ctrl('k'));
    type("legible");
    ASSERT_EQ(shown().size(), 1u);
    press(Key::Enter);
    EXPECT_EQ(w.app.navigation().channel_id, "c_crit");
    EXPECT_EQ(w.app.navigation().thread_root, "m_ravi");
}

TEST_F(SearchWindowTest, GroupsByCollectionAndArrowsMoveTheSelection) {
    w.app.handle_event(ctrl('k'));
    type("ge");  // #general, the word "get" in messages...
    auto const& groups = w.app.search_window().groups();
    ASSERT_GE(groups.size(), 2u);
    EXPECT_EQ(groups.front().collection, "Conversations");
    EXPECT_EQ(w.app.search_window().selected(), 0u);
    press(Key::Down);
    EXPECT_EQ(w.app.search_window().selected(), 1u);
    press(Key::Up);
    press(Key::Up);  // wraps to the last
    EXPECT_EQ(w.app.search_window().selected(), w.app.search_window().result_count() - 1);
    press(Key::Escape);
    EXPECT_FALSE(w.app.search_window().is_open());
}

TEST_F(SearchWindowTest, CtrlFSearchesOnlyTheOpenConversation) {
    w.app.open_channel("ws_acme", "c_general");
    w.run();
    w.app.handle_event(ctrl('f'));
    ASSERT_TRUE(w.app.search_window().scope().has_value());
    type("filmstrip");  // said in #design-crit only
    EXPECT_TRUE(shown().empty());
    for (int i = 0; i < 9; ++i) w.app.handle_event(chat::test::key(Key::Backspace));
    type("rail");
    EXPECT_EQ(shown(), std::vector<std::string>{"chat.message:m_welcome"});
}

TEST_F(SearchWindowTest, IsInTheAccessibilityTreeAndTakesSemanticActions) {
    auto closed = w.app.accessibility();
    ASSERT_TRUE(closed.find(search_open_id));
    EXPECT_TRUE(w.app.perform_semantic_action(search_open_id, "activate"));
    type("elin");
    auto open = w.app.accessibility();
    ASSERT_TRUE(open.find("search"));
    ASSERT_TRUE(open.find(search_field_id));
    auto const* first = open.find(std::string(search_result_prefix) + "0");
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->states.selected);
    shot("search-people");
    auto results = shown();
    auto people = std::ranges::find(results, "chat.person:u_elin");
    ASSERT_NE(people, results.end());
    auto index = size_t(people - results.begin());
    EXPECT_TRUE(
        w.app.perform_semantic_action(search_result_prefix + std::to_string(index), "activate"));
    EXPECT_FALSE(w.app.search_window().is_open());
    EXPECT_TRUE(w.app.right_flap().progress > 0);  // the people panel
}

TEST_F(SearchWindowTest, TheSidebarFieldOpensItAndAClickChoosesAResult) {
    auto field = w.app.search_window().sidebar_field;
    ASSERT_FALSE(field.is_empty());
    w.app.handle_event(chat::test::pointer(vemo_ui::PointerEvent::Kind::Press, field.center()));
    ASSERT_TRUE(w.app.search_window().is_open());
    type("kernel");
    ASSERT_FALSE(w.app.search_window().rows.empty());
    auto row = w.app.search_window().rows.front();
    w.app.handle_event(chat::test::pointer(vemo_ui::PointerEvent::Kind::Press, row.rect.center()));
    w.run();
    EXPECT_EQ(w.app.navigation().channel_id, "c_kernel");
}

// A word said in more messages than a page holds: Down past the last result, Page Down and
// "Show more" bring in the following pages until the oldest is listed.
TEST_F(SearchWindowTest, PagesThroughEveryMatchDownToTheOldest) {
    constexpr int count = 70;
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(test::send_message(w.app, "c_random", "m_ledger" + std::to_string(i), "u_elin",
                                       doc::demo_first_ts + i,
                                       "ledger entry " + std::to_string(i)));
    }
    w.app.open_channel("ws_acme", "c_random");
    w.run();
    settle();
    w.app.handle_event(ctrl('f'));
    type("ledger");
    auto const& window = w.app.search_window();
    ASSERT_EQ(window.groups().size(), 1u);
    EXPECT_EQ(window.result_count(), 20u);
    EXPECT_TRUE(window.groups().front().next);
    EXPECT_EQ(shown().front(), "chat.message:m_ledger69") << "the newest first";

    for (int i = 0; i < 19; ++i) press(Key::Down);
    EXPECT_EQ(window.selected(), 19u);
    press(Key::Down);  // past the last: the next page
    EXPECT_EQ(window.result_count(), 40u);
    EXPECT_EQ(window.selected(), 20u);
    shot("search-paging");
    auto const& selected_row =
        std::ranges::find(window.rows, size_t(20), &SearchWindow::RowBox::index);
    ASSERT_NE(selected_row, window.rows.end()) << "the list scrolled to the selection";
    EXPECT_TRUE(window.panel.contains(selected_row->rect.center()));

    for (int i = 0; i < 3; ++i) press(Key::PageDown);  // 28, 36, then 44 of the next page
    EXPECT_EQ(window.result_count(), 60u);
    EXPECT_EQ(window.selected(), 44u);
    // Scrolled to the end, the list offers the rest.
    w.app.handle_event(vemo_ui::WheelEvent{window.panel.center(), 0, 100000, {}});
    w.run();
    shot("search-more");
    // The tree is rebuilt on every call: keep the id, not a pointer into it.
    auto tree = w.app.accessibility();
    auto const* more = tree.find(std::string(search_more_prefix) + "0");
    ASSERT_TRUE(more);
    EXPECT_TRUE(w.app.perform_semantic_action(std::string(more->id), "activate"));
    w.run();
    EXPECT_EQ(window.result_count(), size_t(count));
    EXPECT_FALSE(window.groups().front().next) << "every match is listed";
    EXPECT_EQ(shown().back(), "chat.message:m_ledger0");
    auto all = shown();
    std::set<std::string> distinct(all.begin(), all.end());
    EXPECT_EQ(distinct.size(), size_t(count));
}

// A catalog that the test fills while it reports that it is still being built.
class FillingProvider final : public vemo_ui::search::provider::SearchProvider {
  public:
    std::shared_ptr<sp::SearchCatalog> catalog = sp::SearchCatalog::in_memory("Filling");
    bool building = true;

    void add(int from, int to) {
        std::vector<sp::SearchEntry> entries;
        for (int i = from; i < to; ++i) {
            sp::SearchEntry e;
            e.collection = "Messages";
            e.title = "ledger " + std::to_string(i);
            e.action_address = "chat.message:m" + std::to_string(i);
            e.text = e.title;
            entries.push_back(std::move(e));
        }
        ASSERT_TRUE(catalog->insert_all(entries));
    }
    std::string name() const override { return "Filling"; }
    sp::SearchPage query_page(sp::SearchQuery const& q, std::optional<sp::SearchCursor> const& c,
                              sp::PageLimits l) const override {
        return catalog->query_page(q, c, l);
    }
    std::optional<sp::CatalogStats> stats() const override { return catalog->stats(); }
    bool cursor_is_current(sp::SearchCursor const& c) const override {
        return catalog->cursor_is_current(c);
    }
    bool indexing() const override { return building; }
    uint64_t generation() const override { return catalog->generation(); }
};

// Results come in as the first build writes them: the open window asks again after each
// stretch of writing, keeping the selected result selected and the pages it loaded.
TEST(SearchWindowBuilding, ResultsFollowTheCatalogWhileItIsBuilt) {
    FillingProvider provider;
    provider.add(0, 3);
    SearchWindow window;
    window.open(std::nullopt, "");
    window.input().set_text("ledger");
    window.refresh(provider, 10.0);
    ASSERT_EQ(window.result_count(), 3u);
    window.select(1);
    auto selected = window.hit(1)->result.action_address;

    provider.add(3, 30);
    EXPECT_FALSE(window.behind(provider, 10.1)) << "not on every frame";
    EXPECT_TRUE(window.behind(provider, 11.0));
    window.refresh(provider, 11.0);
    EXPECT_EQ(window.result_count(), 8u);
    ASSERT_TRUE(window.selected());
    EXPECT_EQ(window.hit(*window.selected())->result.action_address, selected);

    ASSERT_TRUE(window.show_more(provider, 0));
    size_t loaded = window.result_count();
    EXPECT_GT(loaded, 8u);
    provider.add(30, 40);
    window.refresh(provider, 12.0);
    EXPECT_EQ(window.result_count(), loaded) << "the loaded pages stay";

    // The build ends: once more, whatever the time.
    provider.building = false;
    EXPECT_TRUE(window.behind(provider, 12.0));
    window.refresh(provider, 12.0);
    EXPECT_FALSE(window.behind(provider, 12.0));
    EXPECT_EQ(window.hit(*window.selected())->result.action_address, selected);
}

TEST_F(SearchWindowTest, InputMethodsComposeAtTheSearchFieldWhileItIsOpen) {
    w.app.main_composer().set_focused(true);
    w.run();
    auto composer = w.app.text_input_caret_rect();
    ASSERT_TRUE(composer);
    w.app.handle_event(ctrl('k'));
    type("ker");
    ASSERT_TRUE(w.app.text_input_active());
    auto caret = w.app.text_input_caret_rect();
    ASSERT_TRUE(caret);
    auto const& field = w.app.search_window().field;
    EXPECT_TRUE(field.contains(caret->center())) << "the caret is drawn in the search field";
    EXPECT_GT(caret->x, field.x + 20) << "after the typed text";
    press(Key::Escape);
    EXPECT_EQ(w.app.text_input_caret_rect(), composer) << "back to the composer once closed";
}

}  // namespace
