#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "actions/apply.hpp"
#include "doc/seeds.hpp"
#include "search/chat_search.hpp"

namespace chat::search {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> find(ChatSearchProvider const& p, std::string text,
                              std::optional<std::string> collection = std::nullopt) {
    std::vector<std::string> out;
    auto page = p.query_page({std::move(text), std::move(collection), {}}, std::nullopt, {50});
    for (auto const& r : page.results) out.push_back(r.action_address);
    return out;
}

class ProviderTest : public testing::Test {
  protected:
    void SetUp() override {
        doc::demo_seed(doc);
        nav.local = doc::LocalPerson{"u_me", "You", "YU", 0, Presence::Online};
    }
    // What a frame does after the document changed: a new view model, then the search.
    // With `live`, as the app does it: the live view's refresh hands over what it changed.
    void frame() {
        if (live) {
            view = live_view.refresh(doc, nav);
            provider.update(view, live_view.last_change());
        } else {
            view = model::refresh(doc, nav);
            provider.update(view);
        }
        provider.wait_idle();
    }
    void send(std::string id, std::string text, std::string channel = "c_general",
              int64_t ts = 1000) {
        apply_action(doc, action::SendMessage{channel, id, "u_elin", ts, text, {}, {}, {}, {}});
    }

    automerge::AutoCommit doc;
    model::Navigation nav;
    model::ViewModel view;
    ChatSearchProvider provider{std::nullopt};
    bool live = false;
    model::LiveView live_view;
};

// The tests that follow changes run with a full refresh and with the live view's changes.
class ProviderFrames : public ProviderTest, public testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        ProviderTest::SetUp();
        live = GetParam();
    }
};

TEST_F(ProviderTest, AnswersNothingBeforeTheFirstBuild) {
    EXPECT_EQ(provider.name(), "Chat");
    auto page = provider.query_page({"general", {}, {}}, std::nullopt, {10});
    EXPECT_TRUE(page.results.empty());
    EXPECT_EQ(page.status, sp::PageStatus::Complete);
    EXPECT_FALSE(provider.stats());
    EXPECT_FALSE(provider.cursor_is_current(sp::SearchCursor{}));
}

TEST_P(ProviderFrames, FindsEveryKindOfThingAndKeepsUpWithChanges) {
    frame();
    auto stats = provider.stats();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->entries, view.workspaces.size() + view.channels.size() +
                                  view.categories.size() + view.all_messages.size() +
                                  view.directory.size());
    EXPECT_EQ(find(provider, "acme", "Workspaces"),
              std::vector<std::string>{"chat.workspace:ws_acme"});
    EXPECT_FALSE(find(provider, "genera", "Conversations").empty());
    EXPECT_EQ(find(provider, "elin", "People"), std::vector<std::string>{"chat.person:u_elin"});

    // One new message: one entry handed over, and found.
    send("m_new", "Quarterly zeppelin budget");
    frame();
    EXPECT_EQ(provider.last_update().entries, 1u);
    EXPECT_EQ(provider.last_update().removals, 0u);
    EXPECT_EQ(find(provider, "zeppelin"), std::vector<std::string>{"chat.message:m_new"});
    EXPECT_EQ(find(provider, "ZÉPP"), std::vector<std::string>{"chat.message:m_new"});

    // Edited: the old words no longer find it.
    apply_action(doc, action::EditMessage{"c_general", "m_new", "Annual airship plan", 1001});
    frame();
    EXPECT_EQ(provider.last_update().entries, 1u);
    EXPECT_TRUE(find(provider, "zeppelin").empty());
    EXPECT_EQ(find(provider, "airship"), std::vector<std::string>{"chat.message:m_new"});

    // Nothing changed: nothing handed over.
    frame();
    EXPECT_EQ(provider.last_update().entries, 0u);

    apply_action(doc, action::DeleteMessage{"c_general", "m_new"});
    frame();
    EXPECT_EQ(provider.last_update().removals, 1u);
    EXPECT_TRUE(find(provider, "airship").empty());
}

TEST_P(ProviderFrames, ARenamedChannelRetitlesItsMessages) {
    send("m_a", "first words");
    send("m_b", "second words");
    frame();
    apply_action(doc, action::RenameChannel{"c_general", "lobby"});
    frame();
    // The channel and both its messages (their subtitle names the channel), nothing else.
    EXPECT_EQ(provider.last_update().entries, 1u + 3u);
    auto page = provider.query_page({"second words", {}, {}}, std::nullopt, {5});
    ASSERT_EQ(page.results.size(), 1u);
    EXPECT_NE(page.results[0].subtitle->find("#lobby"), std::string::npos);
}

TEST_P(ProviderFrames, FindsMessagesReceivedFromAPeer) {
    frame();
    auto peer = doc.fork();
    apply_action(
        peer,
        action::SendMessage{
            "c_general", "m_peer", "u_ravi", 2000, "Received from the far side", {}, {}, {}, {}});
    ASSERT_TRUE(doc.merge(peer));
    frame();
    EXPECT_EQ(provider.last_update().entries, 1u);
    EXPECT_EQ(find(provider, "far side"), std::vector<std::string>{"chat.message:m_peer"});
}

// The first build's entries are made on the indexer's thread from a snapshot: the view can
// change (or go) at once, queries answer while it runs (with what is stored so far) and all
// of it once it is done; changes made meanwhile follow it.
TEST_P(ProviderFrames, AnswersWhileTheFirstBuildRunsAndCompletelyAfterIt) {
    for (int i = 0; i < 600; ++i)
        send("m_bulk" + std::to_string(i), "bulk note number " + std::to_string(i));
    view = live ? live_view.refresh(doc, nav) : model::refresh(doc, nav);
    provider.update(view, live_view.last_change());
    size_t const expected = view.all_messages.size();
    EXPECT_EQ(provider.last_update().entries, expected + view.workspaces.size() +
                                                  view.channels.size() + view.categories.size() +
                                                  view.directory.size());
    view.all_messages.clear();  // the caller's view moves on; the snapshot is the indexer's
    size_t seen_partial = 0;
    while (provider.indexing()) {
        auto page = provider.query_page({"bulk", {}, {}}, std::nullopt, {10});
        EXPECT_NE(page.status, sp::PageStatus::Failed) << page.error;
        seen_partial = std::max(seen_partial, page.results.size());
    }
    EXPECT_LE(seen_partial, 10u);
    send("m_after", "bulk arrived during the build");
    frame();
    size_t found = 0;
    std::optional<sp::SearchCursor> cursor;
    do {
        auto page = provider.query_page({"bulk", {}, {}}, cursor, {500});
        ASSERT_NE(page.status, sp::PageStatus::Failed) << page.error;
        found += page.results.size();
        cursor = page.next;
    } while (cursor);
    EXPECT_EQ(found, 601u);
    EXPECT_EQ(provider.stats()->entries, expected + 1 + view.workspaces.size() +
                                             view.channels.size() + view.categories.size() +
                                             view.directory.size());
}

INSTANTIATE_TEST_SUITE_P(Refreshes, ProviderFrames, testing::Bool(),
                         [](auto const& info) { return info.param ? "Live" : "Full"; });

struct RankCase {
    char const* query;
    std::vector<std::string> first;  // the first results, in order (message ids)
    friend void PrintTo(RankCase const& c, std::ostream* os) { *os << '"' << c.query << '"'; }
};

// Messages as people type them: numbered replies a minute apart, and short words next to the
// longer words they begin, the short word's message days older. A word typed whole ranks its
// own messages first; among equals the newer comes first.
class ProviderRanking : public ProviderTest, public testing::WithParamInterface<RankCase> {
  protected:
    void SetUp() override {
        ProviderTest::SetUp();
        int64_t const day = 86400, at = 2'000'000'000;  // after everything the seed holds
        for (int n = 1; n <= 17; ++n)
            send("m_r" + std::to_string(n), "reply number " + std::to_string(n), "c_general",
                 at + 60 * n);
        send("m_ok", "ok thanks", "c_general", at - 3 * day);
        send("m_okay", "okay then", "c_general", at);
        send("m_test", "run the test", "c_general", at - 5 * day);
        send("m_testing", "testing the run", "c_general", at);
        send("m_tests", "the run tests", "c_general", at);
        send("m_cafe", "meet at the Café", "c_general", at - 6 * day);
        send("m_cafes", "meet at the cafés", "c_general", at);
        frame();
    }
};

TEST_P(ProviderRanking, AWordTypedWholeComesFirst) {
    auto found = find(provider, GetParam().query, "Messages");
    std::vector<std::string> expected;
    for (auto const& id : GetParam().first) expected.push_back("chat.message:" + id);
    ASSERT_GE(found.size(), expected.size());
    found.resize(expected.size());
    EXPECT_EQ(found, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, ProviderRanking,
    testing::Values(
        // the last word is a prefix: its whole word first, then its completions, newer first
        RankCase{"reply 1", {"m_r1", "m_r17", "m_r16", "m_r15"}},
        RankCase{"reply number 1", {"m_r1", "m_r17"}}, RankCase{"REPLY 1", {"m_r1", "m_r17"}},
        RankCase{"reply 12", {"m_r12"}}, RankCase{"reply 1 ", {"m_r1"}},  // a finished word
        RankCase{"number reply 1", {"m_r1", "m_r17"}},
        // no whole word typed yet: the newest first
        RankCase{"repl", {"m_r17", "m_r16", "m_r15"}}, RankCase{"reply", {"m_r17", "m_r16"}},
        // short prefixes, and words with completions of their own
        RankCase{"ok", {"m_ok", "m_okay"}}, RankCase{"test", {"m_test"}},
        RankCase{"tes", {"m_tests", "m_testing", "m_test"}}, RankCase{"run test", {"m_test"}},
        RankCase{"the run t", {"m_tests", "m_testing"}}, RankCase{"CAFE", {"m_cafe", "m_cafes"}},
        RankCase{"meet caf", {"m_cafes", "m_cafe"}}),
    [](auto const& info) { return "case" + std::to_string(info.index); });

class StoredIndexTest : public ProviderTest {
  protected:
    void SetUp() override {
        ProviderTest::SetUp();
        dir = fs::temp_directory_path() / ("chat-search-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        file = dir / "index.sqlite";
        view = model::refresh(doc, nav);
    }
    void TearDown() override { fs::remove_all(dir); }
    sp::CatalogStats build_once() {
        ChatSearchProvider stored(file);
        stored.update(view);
        stored.wait_idle();
        EXPECT_FALSE(stored.last_error());
        EXPECT_FALSE(find(stored, "acme").empty());
        return *stored.stats();
    }
    fs::path dir, file;
};

TEST_F(StoredIndexTest, ARestartLeavesTheStoredIndexUntouched) {
    auto first = build_once();
    auto second = build_once();
    EXPECT_EQ(second.entries, first.entries);
    EXPECT_EQ(second.generation, 1u);  // nothing was written again
}

TEST_F(StoredIndexTest, ADamagedIndexIsRebuiltFromTheDocument) {
    auto first = build_once();
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "definitely not an index";
    auto rebuilt = build_once();
    EXPECT_EQ(rebuilt.entries, first.entries);
    EXPECT_GT(rebuilt.generation, 1u);
}

TEST(IndexFile, LivesInTheCacheDirectoryOnePerDocument) {
    ::setenv("XDG_CACHE_HOME", "/tmp/cache-test", 1);
    auto a = index_file_for("/data/one/workspace.automerge");
    auto b = index_file_for("/data/two/workspace.automerge");
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(a->parent_path(), fs::path("/tmp/cache-test/vemo-chat/search"));
    EXPECT_EQ(index_file_for("/data/one/workspace.automerge"), a);
    ::unsetenv("XDG_CACHE_HOME");
}

}  // namespace
}  // namespace chat::search
