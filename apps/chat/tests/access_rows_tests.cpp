// Screen-reader rows kept between tree builds: a row is made again exactly when something
// its label or actions read changed, and the window's tree follows edits, reactions, replies,
// pins, deletions and scrolling as a tree built from scratch would.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "app/access_rows.hpp"
#include "app/composer_text.hpp"
#include "ui_test_support.hpp"
#include "vemo_ui/access_refresh.hpp"

using namespace chat;
using chat::test::Window;
using vemo_ui::a11y::AccessNode;

namespace {

Message sample() {
    Message m;
    m.id = "m_1";
    m.author = "u_elin";
    m.ts = 1782464400;
    m.text = "the **overlay** grid";
    m.reactions = {{"👍", {"u_ravi"}}};
    return m;
}

std::vector<Person> directory() {
    Person elin, me;
    elin.id = "u_elin", elin.name = "Elin";
    me.id = "u_me", me.name = "Me";
    return {elin, me};
}

// One build of a one-row list: the row as it comes out.
AccessNode build(AccessRows& rows, RowContext const& context, Message const& m,
                 size_t replies = 0) {
    rows.begin(context);
    rows.add(m, replies, {}, {});
    auto list = rows.end();
    EXPECT_EQ(list.size(), 1u);
    return list[0];
}

// One build of a list of these messages; `moved` rows are drawn at another place.
vemo_ui::a11y::NodeList build_list(AccessRows& rows, std::vector<Person> const& people,
                                   std::vector<Message> const& messages,
                                   std::string_view moved = {}) {
    rows.begin({people, "u_me", true});
    for (auto const& m : messages) {
        vemo_ui::a11y::States states;
        states.offscreen = m.id != moved;
        rows.add(m, 0, m.id == moved ? vemo_ui::Rect{0, 100, 600, 40} : vemo_ui::Rect{}, states);
    }
    return rows.end();
}

struct RowCase {
    char const* name;
    std::function<void(Message&, size_t&, std::vector<Person>&, bool&)> change;
    bool made_again;
    std::string expect_in_label;  // after the change; empty for no check
};

TEST(AccessRows, RowIsMadeAgainExactlyWhenWhatItReadsChanged) {
    std::vector<RowCase> const cases = {
        {"nothing", [](Message&, size_t&, std::vector<Person>&, bool&) {}, false, "👍 1 reaction"},
        {"history_entry_added",  // not read by the label
         [](Message& m, size_t&, std::vector<Person>&, bool&) { m.history.push_back({}); }, false,
         ""},
        {"text_edited",
         [](Message& m, size_t&, std::vector<Person>&, bool&) {
             m.text = "the list grid";
             m.edited = true;
         },
         true, "the list grid, edited"},
        {"reaction_added",
         [](Message& m, size_t&, std::vector<Person>&, bool&) {
             m.reactions[0].users.push_back("u_me");
         },
         true, "👍 2 reactions"},
        {"reaction_of_another_emoji",
         [](Message& m, size_t&, std::vector<Person>&, bool&) { m.reactions[0].emoji = "🔥"; }, true,
         "🔥 1 reaction"},
        {"reactions_removed",
         [](Message& m, size_t&, std::vector<Person>&, bool&) { m.reactions.clear(); }, true, ""},
        {"pinned", [](Message& m, size_t&, std::vector<Person>&, bool&) { m.pinned = true; }, true,
         ", pinned"},
        {"reply_arrived",
         [](Message&, size_t& replies, std::vector<Person>&, bool&) { replies = 1; }, true,
         ", 1 reply"},
        {"mention_added",
         [](Message& m, size_t&, std::vector<Person>&, bool&) {
             m.mentions.push_back({"u_me", 0, 3, false});
         },
         true, ""},
        {"later_minute", [](Message& m, size_t&, std::vector<Person>&, bool&) { m.ts += 3600; },
         true, clock_time(1782464400 + 3600)},
        {"author_renamed",
         [](Message&, size_t&, std::vector<Person>& people, bool&) { people[0].name = "Elín"; },
         true, "Elín, "},
        {"person_joined",
         [](Message&, size_t&, std::vector<Person>& people, bool&) {
             people.push_back({"u_new", "New", "N", 0, Presence::Online, false});
         },
         true, "Elin, "},
        {"presence_changed",  // names alone are read
         [](Message&, size_t&, std::vector<Person>& people, bool&) {
             people[0].status = Presence::Idle;
         },
         false, ""},
        {"write_permission_lost",
         [](Message&, size_t&, std::vector<Person>&, bool& can_write) { can_write = false; }, true,
         ""},
        {"author_changed",
         [](Message& m, size_t&, std::vector<Person>&, bool&) { m.author = "u_me"; }, true, "Me, "},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        AccessRows rows(message_row_prefix);
        Message m = sample();
        size_t replies = 0;
        auto people = directory();
        bool can_write = true;
        AccessNode before = build(rows, {people, "u_me", can_write}, m, replies);
        c.change(m, replies, people, can_write);
        uint64_t made = rows.made();
        AccessNode after = build(rows, {people, "u_me", can_write}, m, replies);
        EXPECT_EQ(rows.made() - made, c.made_again ? 1u : 0u);
        EXPECT_EQ(after.content == before.content, !c.made_again);
        EXPECT_EQ(after.id, "message:m_1");
        // Kept or not, the row reads as one made from scratch.
        AccessRows fresh(message_row_prefix);
        AccessNode scratch = build(fresh, {people, "u_me", can_write}, m, replies);
        EXPECT_EQ(after.label, scratch.label);
        EXPECT_EQ(after.actions, scratch.actions);
        if (!c.expect_in_label.empty()) {
            EXPECT_NE(after.label.find(c.expect_in_label), std::string::npos) << after.label;
        }
    }
}

TEST(AccessRows, ActionsFollowAuthorAndPermission) {
    auto people = directory();
    AccessRows rows(thread_row_prefix);
    Message mine = sample(), theirs = sample();
    mine.id = "m_mine", mine.author = "u_me";
    rows.begin({people, "u_me", true});
    rows.add(mine, 0, {}, {});
    rows.add(theirs, 0, {}, {});
    auto list = rows.end();
    EXPECT_EQ(list[0].actions, (std::vector<std::string>{"react", "reply", "menu", "edit"}));
    EXPECT_EQ(list[1].actions, (std::vector<std::string>{"react", "reply", "menu"}));
    EXPECT_EQ(list[0].id, "thread-message:m_mine");
    EXPECT_EQ(build(rows, {people, "u_me", false}, mine).actions,
              (std::vector<std::string>{"reply", "menu"}));
}

std::vector<std::string> ids_of(vemo_ui::a11y::NodeList const& list) {
    std::vector<std::string> out;
    for (auto const& row : list) out.push_back(row.id);
    return out;
}

// The list a build hands over: the last one itself when nothing changed, else a new one in
// which the rows still as they were keep their stamps.
TEST(AccessRows, ListIsHandedOverWholeOrRowByRow) {
    auto people = directory();
    std::vector<Message> base(5, sample());
    for (size_t i = 0; i < base.size(); ++i) base[i].id = "m_" + std::to_string(i);
    struct Case {
        char const* name;
        std::function<void(std::vector<Message>&)> change;
        std::string moved;  // a row drawn somewhere new
        std::vector<std::string> ids;
        size_t made;
    };
    std::vector<std::string> const all = {"message:m_0", "message:m_1", "message:m_2",
                                          "message:m_3", "message:m_4"};
    std::vector<Case> const cases = {
        {"nothing", [](auto&) {}, "", all, 0},
        {"scrolled_into_view", [](auto&) {}, "m_3", all, 0},
        {"deleted_in_the_middle",
         [](auto& ms) { ms.erase(ms.begin() + 2); },
         "",
         {"message:m_0", "message:m_1", "message:m_3", "message:m_4"},
         0},
        {"deleted_at_the_end",
         [](auto& ms) { ms.pop_back(); },
         "",
         {"message:m_0", "message:m_1", "message:m_2", "message:m_3"},
         0},
        {"sent",
         [](auto& ms) { ms.push_back(ms[0]), ms.back().id = "m_new"; },
         "",
         {"message:m_0", "message:m_1", "message:m_2", "message:m_3", "message:m_4",
          "message:m_new"},
         1},
        {"arrived_earlier",
         [](auto& ms) { ms.insert(ms.begin(), ms[0]), ms[0].id = "m_old"; },
         "",
         {"message:m_old", "message:m_0", "message:m_1", "message:m_2", "message:m_3",
          "message:m_4"},
         1},
        {"edited", [](auto& ms) { ms[1].text = "other", ms[1].edited = true; }, "", all, 1},
        {"moved_to_the_front",
         [](auto& ms) { std::rotate(ms.begin(), ms.begin() + 4, ms.end()); },
         "",
         {"message:m_4", "message:m_0", "message:m_1", "message:m_2", "message:m_3"},
         0},
        {"listed_twice",
         [](auto& ms) { ms.push_back(ms[2]); },
         "",
         {"message:m_0", "message:m_1", "message:m_2", "message:m_3", "message:m_4", "message:m_2"},
         1},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        AccessRows rows(message_row_prefix);
        // Const: changing a list, or taking a changeable row, gives it storage of its own.
        auto const before = build_list(rows, people, base);
        auto messages = base;
        c.change(messages);
        uint64_t made = rows.made();
        auto const after = build_list(rows, people, messages, c.moved);
        EXPECT_EQ(ids_of(after), c.ids);
        EXPECT_EQ(rows.made() - made, c.made);
        bool unchanged = c.moved.empty() && c.ids == all && c.made == 0;
        EXPECT_EQ(after.shares(before), unchanged);
        EXPECT_EQ(after == before, unchanged);
        AccessRows fresh(message_row_prefix);
        auto const scratch = build_list(fresh, people, messages, c.moved);
        std::set<std::string> seen;
        for (size_t i = 0; i < after.size(); ++i) {
            SCOPED_TRACE(after[i].id);
            EXPECT_EQ(after[i].label, scratch[i].label);
            EXPECT_EQ(after[i].actions, scratch[i].actions);
            EXPECT_EQ(after[i].rect, scratch[i].rect);
            EXPECT_EQ(after[i].states, scratch[i].states);
            auto old = std::ranges::find(before, after[i].id, &AccessNode::id);
            bool remade = old == before.end() || old->label != after[i].label ||
                          !seen.insert(after[i].id).second;
            if (!remade) {
                EXPECT_EQ(after[i].content, old->content) << "kept, with its stamp";
            }
        }
        // The next build with nothing new hands the same list over again.
        EXPECT_TRUE(build_list(rows, people, messages, c.moved).shares(after));
    }
}

// ---- the window's tree ----

void act(Window& w, std::string const& json) {
    ASSERT_TRUE(w.app.dispatch_encoded({"chat.action", json, std::nullopt})) << json;
}

void fill(Window& w, int count) {
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(chat::test::send_message(w.app, "c_crit", "m_fill" + std::to_string(i),
                                             "u_elin", now_seconds() - 600 + i,
                                             "filler number " + std::to_string(i)));
    w.run();
}

std::vector<AccessNode> const& rows_of(AccessNode const& tree) {
    return tree.find("message-list")->children;
}

struct WindowCase {
    char const* name;
    std::string json;             // done to m_fill3, a row out of view
    std::string expect_in_label;  // empty: the row is gone
};

TEST(AccessRows, WindowTreeFollowsChangesToKeptRows) {
    std::string const target = "m_fill3";
    std::vector<WindowCase> const cases = {
        {"edited",
         R"({"EditMessage":{"channel":"c_crit","id":"m_fill3","text":"new words","ts":)" +
             std::to_string(now_seconds()) + "}}",
         "new words, edited"},
        {"reaction",
         R"({"AddReaction":{"channel":"c_crit","msg":"m_fill3","emoji":"🎉","user":"u_tove"}})",
         "🎉 1 reaction"},
        {"pinned", R"({"PinMessage":{"channel":"c_crit","msg":"m_fill3","pinned":true}})",
         ", pinned"},
        {"reply",
         R"({"SendMessage":{"channel":"c_crit","id":"m_r","author":"u_tove","ts":)" +
             std::to_string(now_seconds()) + R"(,"text":"hi","parent":"m_fill3"}})",
         ", 1 reply"},
        {"deleted", R"({"DeleteMessage":{"channel":"c_crit","id":"m_fill3"}})", ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        Window w;
        w.run();
        fill(w, 30);
        vemo_ui::a11y::AccessRefresh refresh;
        AccessNode before = w.app.accessibility();
        ASSERT_TRUE(refresh.offer(before));
        ASSERT_FALSE(refresh.offer(w.app.accessibility())) << "nothing changed";
        act(w, c.json);
        w.run();
        AccessNode after = w.app.accessibility();
        auto const* row = after.find("message:" + target);
        if (c.expect_in_label.empty()) {
            EXPECT_EQ(row, nullptr);
            EXPECT_EQ(rows_of(after).size() + 1, rows_of(before).size());
        } else {
            ASSERT_NE(row, nullptr);
            EXPECT_NE(row->label.find(c.expect_in_label), std::string::npos) << row->label;
            EXPECT_TRUE(row->states.offscreen);
            EXPECT_TRUE(row->rect.is_empty());
        }
        // Every other row reads as before and kept its stamp.
        for (auto const& old : rows_of(before)) {
            if (old.id == "message:" + target) continue;
            auto const* now = after.find(old.id);
            ASSERT_NE(now, nullptr) << old.id;
            EXPECT_EQ(now->label, old.label) << old.id;
            EXPECT_EQ(now->content, old.content) << old.id;
        }
        EXPECT_TRUE(refresh.offer(after));
    }
}

TEST(AccessRows, ScrollingMovesKeptRowsInAndOutOfView) {
    Window w;
    w.run();
    fill(w, 30);
    AccessNode before = w.app.accessibility();
    auto const& rows = rows_of(before);
    std::string first = rows.front().id, latest = rows.back().id;
    ASSERT_TRUE(rows.front().states.offscreen);
    ASSERT_FALSE(rows.back().states.offscreen);

    ASSERT_TRUE(w.app.perform_semantic_action(first, "focus"));
    w.run();
    AccessNode after = w.app.accessibility();
    auto const* now_first = after.find(first);
    auto const* now_latest = after.find(latest);
    EXPECT_FALSE(now_first->states.offscreen);
    EXPECT_FALSE(now_first->rect.is_empty());
    EXPECT_TRUE(now_first->states.focused);
    EXPECT_TRUE(now_latest->states.offscreen);
    EXPECT_TRUE(now_latest->rect.is_empty());
    EXPECT_EQ(now_first->content, rows.front().content) << "its label is kept";
    EXPECT_EQ(now_first->label, rows.front().label);
    for (auto const& row : rows_of(after)) {
        bool drawn = std::ranges::any_of(
            w.app.visible_rows(), [&](auto const& r) { return "message:" + r.message == row.id; });
        EXPECT_EQ(row.states.offscreen, !drawn) << row.id;
        EXPECT_EQ(row.rect.is_empty(), !drawn) << row.id;
    }
    vemo_ui::a11y::AccessRefresh refresh;
    ASSERT_TRUE(refresh.offer(before));
    EXPECT_TRUE(refresh.offer(after)) << "only places and states changed, and that counts";
}

}  // namespace
