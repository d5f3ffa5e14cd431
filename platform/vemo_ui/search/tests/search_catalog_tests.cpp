#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "vemo_ui/search/catalog_indexer.hpp"
#include "vemo_ui/search/provider.hpp"

namespace vemo_ui::search::provider {
namespace {

namespace fs = std::filesystem;

SearchEntry entry(std::string address, std::string title, std::string text,
                  std::string collection = "Messages", int64_t ts = 0, std::string scope = "") {
    SearchEntry e;
    e.collection = std::move(collection);
    e.title = std::move(title);
    e.resource = {"test", address, e.title};
    e.action_address = std::move(address);
    e.text = std::move(text);
    e.timestamp = ts;
    e.scope = std::move(scope);
    return e;
}

std::vector<std::string> addresses(SearchPage const& page) {
    std::vector<std::string> out;
    for (auto const& r : page.results) out.push_back(r.action_address);
    return out;
}

std::vector<std::string> find(SearchCatalog const& c, std::string text,
                              std::optional<std::string> collection = std::nullopt,
                              std::optional<std::string> scope = std::nullopt) {
    return addresses(c.query_page({std::move(text), std::move(collection), std::move(scope)},
                                  std::nullopt, {100}));
}

class CatalogTest : public testing::Test {
  protected:
    std::unique_ptr<SearchCatalog> catalog = SearchCatalog::in_memory("Test");
};

TEST_F(CatalogTest, InsertReplacesUnderTheSameAddressAndLeavesIdenticalEntriesAlone) {
    auto first = entry("m:1", "hello", "hello world");
    EXPECT_EQ(catalog->insert(first), InsertOutcome::Added);
    auto generation = catalog->stats().generation;
    EXPECT_EQ(catalog->insert(first), InsertOutcome::Unchanged);
    EXPECT_EQ(catalog->stats().generation, generation);

    // An edit: the old words no longer find it, the new ones do.
    EXPECT_EQ(catalog->insert(entry("m:1", "goodbye", "goodbye moon")), InsertOutcome::Replaced);
    EXPECT_GT(catalog->stats().generation, generation);
    EXPECT_TRUE(find(*catalog, "hello").empty());
    EXPECT_TRUE(find(*catalog, "world").empty());
    EXPECT_EQ(find(*catalog, "moon"), std::vector<std::string>{"m:1"});
    EXPECT_EQ(catalog->stats().entries, 1u);

    // Only the subtitle changes: still a replacement, since results show it.
    auto subtitled = entry("m:1", "goodbye", "goodbye moon");
    subtitled.subtitle = "new place";
    EXPECT_EQ(catalog->insert(subtitled), InsertOutcome::Replaced);
}

TEST_F(CatalogTest, RemovedEntriesAreNotFound) {
    catalog->insert(entry("m:1", "alpha", "alpha beta"));
    catalog->insert(entry("m:2", "alpha", "alpha gamma"));
    EXPECT_EQ(catalog->remove_postings("m:1"), true);
    EXPECT_EQ(catalog->remove_postings("m:1"), false);
    EXPECT_EQ(find(*catalog, "alpha"), std::vector<std::string>{"m:2"});
    EXPECT_TRUE(find(*catalog, "beta").empty());

    std::vector<std::string> keep{"m:9"};
    EXPECT_EQ(catalog->retain_only(keep), 1u);
    EXPECT_EQ(catalog->stats().entries, 0u);
}

struct QueryCase {
    char const* query;
    std::vector<std::string> expected;  // in rank order
    friend void PrintTo(QueryCase const& c, std::ostream* os) { *os << '"' << c.query << '"'; }
};

class CatalogQueryTest : public testing::TestWithParam<QueryCase> {
  protected:
    void SetUp() override {
        for (auto const& e : {entry("a", "Café crème", "Café crème is ready", "Messages", 100),
                              entry("b", "deploy", "the deployment finished", "Messages", 100),
                              entry("c", "ｆｕｌｌ width", "ｆｕｌｌ width text", "Messages", 100),
                              entry("d", "quick", "the quick brown fox", "Messages", 100),
                              entry("e", "brown", "a brown quick dog", "Messages", 100),
                              entry("f", "Straße", "Straße nach Köln", "Messages", 100)})
            catalog->insert(e);
    }
    std::unique_ptr<SearchCatalog> catalog = SearchCatalog::in_memory("Test");
};

TEST_P(CatalogQueryTest, FindsWhatPeopleType) {
    // Within a collection too, where a small one is read for substrings rather than the index.
    for (auto collection : {std::optional<std::string>(), std::optional<std::string>("Messages")}) {
        auto found = find(*catalog, GetParam().query, collection);
        EXPECT_EQ(std::set(found.begin(), found.end()),
                  std::set(GetParam().expected.begin(), GetParam().expected.end()))
            << collection.value_or("all");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matching, CatalogQueryTest,
    testing::Values(QueryCase{"cafe", {"a"}}, QueryCase{"CAFÉ CRÈME", {"a"}},
                    QueryCase{"full", {"c"}}, QueryCase{"ＦＵＬＬ", {"c"}},
                    QueryCase{"strasse", {"f"}}, QueryCase{"koln", {"f"}},
                    // prefix of the last word, even below three characters
                    QueryCase{"dep", {"b"}}, QueryCase{"de", {"b"}}, QueryCase{"the dep", {"b"}},
                    // substrings of three characters or more, anywhere in a word
                    QueryCase{"ployme", {"b"}}, QueryCase{"rown", {"d", "e"}},
                    QueryCase{"ow", {}},  // two letters inside a word: no
                    // a finished word is not a prefix
                    QueryCase{"deplo ", {"b"}}, QueryCase{"de ", {}},
                    // phrases keep their order
                    QueryCase{"\"quick brown\"", {"d"}}, QueryCase{"quick brown", {"d", "e"}},
                    QueryCase{"\"brown quick\"", {"e"}}, QueryCase{"\"uick brow\"", {"d"}},
                    QueryCase{"\"own qu\"", {"e"}},
                    // nothing to search for
                    QueryCase{"", {}}, QueryCase{"  ,;  ", {}}, QueryCase{"\"", {}},
                    QueryCase{"zzz", {}}, QueryCase{"\"unterminated phr", {}},
                    // FTS5 syntax in the text is taken literally
                    QueryCase{"NEAR(a b) OR *", {}}, QueryCase{"deploy AND", {}}));

TEST_F(CatalogTest, RanksTitleMatchesAndRecentEntriesHigher) {
    catalog->insert(entry("text-only", "something else", "budget review notes", "Messages", 100));
    catalog->insert(entry("in-title", "budget", "review", "Messages", 100));
    EXPECT_EQ(find(*catalog, "budget").front(), "in-title");

    catalog->insert(entry("old", "release", "release", "Messages", 1000));
    catalog->insert(entry("new", "release", "release", "Messages", 1000 + 30 * 86400));
    EXPECT_EQ(find(*catalog, "release"), (std::vector<std::string>{"new", "old"}));

    // A whole word outranks a substring inside a longer one.
    catalog->insert(entry("sub", "x", "prerelease", "Messages", 1000 + 30 * 86400));
    EXPECT_EQ(find(*catalog, "release").back(), "sub");
}

// A word typed whole next to more completions than the vocabulary lists (70), or a
// one-letter one: the whole word first. Equal scores (the same time or none): the newest
// first, or without a time, by title.
class CatalogOrderTest : public testing::TestWithParam<QueryCase> {
  protected:
    static void SetUpTestSuite() {
        catalog = SearchCatalog::in_memory("Order").release();
        std::vector<SearchEntry> all{entry("code", "c", "code"), entry("x", "y", "x ray")};
        for (int i = 0; i < 70; ++i)
            all.push_back(entry("code" + std::to_string(i), "c", "code" + std::to_string(i)));
        for (char const* address : {"memo:a", "memo:b", "memo:c"})
            all.push_back(entry(address, "memo", "memo"));
        all.push_back(entry("xy", "y", "xy ray"));
        for (auto [address, title] : {std::pair{"p:bo", "Bo"}, {"p:cy", "Cy"}, {"p:al", "al"}})
            all.push_back(entry(address, title, "person", "People"));
        ASSERT_TRUE(catalog->insert_all(all));
    }
    static void TearDownTestSuite() { delete catalog; }
    static SearchCatalog* catalog;
};
SearchCatalog* CatalogOrderTest::catalog = nullptr;

TEST_P(CatalogOrderTest, ListsTheWholeWordFirstAndEqualsInAFixedOrder) {
    auto const& expected = GetParam().expected;
    // One result a page as well: the pages keep the same order.
    std::vector<std::string> paged;
    std::optional<SearchCursor> cursor;
    do {
        auto page = catalog->query_page({GetParam().query, {}, {}}, cursor, {1});
        std::ranges::copy(addresses(page), std::back_inserter(paged));
        cursor = page.next;
    } while (cursor && paged.size() < expected.size());
    for (auto found : {find(*catalog, GetParam().query), paged}) {
        ASSERT_GE(found.size(), expected.size());
        found.resize(expected.size());
        EXPECT_EQ(found, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Ranking, CatalogOrderTest,
                         testing::Values(QueryCase{"code", {"code", "code69", "code68"}},
                                         QueryCase{"cod", {"code69", "code68"}},
                                         QueryCase{"memo", {"memo:c", "memo:b", "memo:a"}},
                                         QueryCase{"person", {"p:al", "p:bo", "p:cy"}},
                                         QueryCase{"x", {"x", "xy"}},
                                         QueryCase{"ray x", {"x", "xy"}}));

// Two entries hold both words, each one of them twice: the one that repeats the rarer word
// ranks first, whichever word that is and however the query names the words.
class CatalogRarityTest : public testing::TestWithParam<char const*> {
  protected:
    void SetUp() override {
        // On a tie the newer one comes first: the second order below would fail.
        catalog->insert(entry("pebble-twice", "x", "pebble pebble amber"));
        catalog->insert(entry("amber-twice", "x", "amber amber pebble"));
    }
    void make_common(char const* word) {
        for (int i = 0; i < 12; ++i)
            catalog->insert(entry("filler:" + std::to_string(i), "x", std::string(word) + " dust"));
    }
    std::unique_ptr<SearchCatalog> catalog = SearchCatalog::in_memory("Test");
};

TEST_P(CatalogRarityTest, TheRarerWordWeighsMore) {
    make_common("pebble");
    EXPECT_EQ(find(*catalog, GetParam()),
              (std::vector<std::string>{"amber-twice", "pebble-twice"}));
    // The same entries now say the other word: the counts follow the replacement.
    make_common("amber");
    EXPECT_EQ(find(*catalog, GetParam()),
              (std::vector<std::string>{"pebble-twice", "amber-twice"}));
    EXPECT_EQ(catalog->documents_with("amber"), 14u);
    EXPECT_EQ(catalog->documents_with("pebble"), 2u);
}

INSTANTIATE_TEST_SUITE_P(Queries, CatalogRarityTest,
                         testing::Values("pebble amber", "amber pebble ", "amber peb", "pebble am",
                                         "\"amber\" \"pebble\""));

// Random additions, replacements and removals: every word's count of entries stays what the
// entries hold, including words that come back after they were gone.
TEST_F(CatalogTest, WordCountsFollowEveryChange) {
    char const* words[] = {"Café", "cafe", "delta", "echo", "fox", "golf", "hotel"};
    std::map<std::string, std::pair<std::string, std::string>> held;  // address -> title, text
    std::mt19937 rng(5);
    auto some_words = [&] {
        std::string text;
        for (int n = 1 + int(rng() % 4); n > 0; --n) text += std::string(words[rng() % 7]) + " ";
        return text;
    };
    for (int step = 0; step < 300; ++step) {
        std::string address = "m:" + std::to_string(rng() % 25);
        switch (rng() % 6) {
            case 0:
                EXPECT_EQ(*catalog->remove_postings(address), held.erase(address) > 0);
                break;
            case 1: {
                std::vector<std::string> keep;
                for (auto const& [a, _] : held)
                    if (rng() % 4) keep.push_back(a);
                ASSERT_TRUE(catalog->retain_only(keep));
                std::erase_if(held, [&](auto const& kv) {
                    return !std::ranges::binary_search(keep, kv.first);
                });
                break;
            }
            default: {
                std::string title = rng() % 2 ? words[rng() % 7] : "";
                std::string text = some_words();
                ASSERT_TRUE(catalog->insert(entry(address, title, text)));
                held[address] = {title, text};
            }
        }
        if (step % 10 != 9) continue;
        for (char const* word : {"cafe", "delta", "echo", "fox", "golf", "hotel", "zulu"}) {
            size_t expected = 0;
            for (auto const& [_, entry] : held) {
                auto has = [&](std::string const& s) {
                    auto tokens = index_tokens(normalize_search_text(s));
                    return std::ranges::find(tokens, word) != tokens.end();
                };
                expected += has(entry.first) || has(entry.second);
            }
            EXPECT_EQ(catalog->documents_with(word), expected) << word << " at step " << step;
        }
    }
}

TEST_F(CatalogTest, FiltersByCollectionAndScope) {
    catalog->insert(entry("w", "Design", "Design", "Workspaces"));
    catalog->insert(entry("m1", "design review", "design review", "Messages", 5, "c_1"));
    catalog->insert(entry("m2", "design notes", "design notes", "Messages", 5, "c_2"));
    EXPECT_EQ(find(*catalog, "design", "Workspaces"), std::vector<std::string>{"w"});
    EXPECT_EQ(find(*catalog, "design", std::nullopt, "c_2"), std::vector<std::string>{"m2"});
    EXPECT_EQ(find(*catalog, "design").size(), 3u);
}

TEST_F(CatalogTest, PagesUntilTheEndAndRefusesAStaleCursor) {
    for (int i = 0; i < 25; ++i)
        catalog->insert(entry("m:" + std::to_string(i), "report", "report", "Messages", 100 + i));
    std::set<std::string> seen;
    std::optional<SearchCursor> cursor;
    std::vector<PageStatus> statuses;
    do {
        auto page = catalog->query_page(SearchQuery{"report", {}, {}}, cursor, {10});
        EXPECT_EQ(page.total, 25u);
        statuses.push_back(page.status);
        for (auto const& r : page.results) EXPECT_TRUE(seen.insert(r.action_address).second);
        cursor = page.next;
        if (cursor) {
            EXPECT_TRUE(catalog->cursor_is_current(*cursor));
        }
    } while (cursor);
    EXPECT_EQ(seen.size(), 25u);
    EXPECT_EQ(statuses, (std::vector{PageStatus::More, PageStatus::More, PageStatus::Complete}));

    auto first = catalog->query_page(SearchQuery{"report", {}, {}}, std::nullopt, {10});
    ASSERT_TRUE(first.next);
    // Another query's cursor does not continue this one.
    EXPECT_EQ(catalog->query_page(SearchQuery{"other", {}, {}}, first.next, {10}).status,
              PageStatus::StaleCursor);
    // An unchanged entry keeps the cursor; a changed one makes it stale.
    catalog->insert(entry("m:0", "report", "report", "Messages", 100));
    EXPECT_TRUE(catalog->cursor_is_current(*first.next));
    catalog->insert(entry("m:new", "report", "report", "Messages", 200));
    EXPECT_FALSE(catalog->cursor_is_current(*first.next));
    auto stale = catalog->query_page(SearchQuery{"report", {}, {}}, first.next, {10});
    EXPECT_EQ(stale.status, PageStatus::StaleCursor);
    EXPECT_TRUE(stale.results.empty());
    // A cursor of another catalog is never current.
    auto other = SearchCatalog::in_memory("Other");
    EXPECT_FALSE(other->cursor_is_current(*first.next));
}

TEST_F(CatalogTest, StatsCountEntriesPerCollection) {
    catalog->insert(entry("w1", "a", "a", "Workspaces"));
    catalog->insert(entry("m1", "a", "a", "Messages"));
    catalog->insert(entry("m2", "b", "b", "Messages"));
    auto stats = catalog->stats();
    EXPECT_EQ(stats.name, "Test");
    EXPECT_EQ(stats.entries, 3u);
    EXPECT_EQ(stats.collections,
              (std::vector<CollectionStats>{{"Messages", 2}, {"Workspaces", 1}}));
    EXPECT_GT(stats.index_bytes, 0u);
}

class CatalogFileTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("search-catalog-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        path = dir / "cache" / "doc.sqlite";
    }
    void TearDown() override { fs::remove_all(dir); }

    void fill() {
        auto catalog = SearchCatalog::open("Chat", path);
        ASSERT_TRUE(catalog) << catalog.error();
        EXPECT_EQ((*catalog)->open_outcome(), OpenOutcome::Created);
        (*catalog)->insert(entry("m:1", "kept", "kept across runs"));
    }
    fs::path dir, path;
};

TEST_F(CatalogFileTest, ReopensAStoredIndexAsItStands) {
    fill();
    auto again = SearchCatalog::open("Chat", path);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ((*again)->open_outcome(), OpenOutcome::Reopened);
    EXPECT_EQ(find(**again, "runs"), std::vector<std::string>{"m:1"});
    EXPECT_EQ((*again)->insert(entry("m:1", "kept", "kept across runs")), InsertOutcome::Unchanged);
}

enum class Damage { Garbage, Truncated, OtherVersion, PreviousVersion, ForeignDatabase };

class CatalogDamageTest : public CatalogFileTest, public testing::WithParamInterface<Damage> {};

TEST_P(CatalogDamageTest, ReplacesADamagedIndexWithAnEmptyWorkingOne) {
    fill();
    switch (GetParam()) {
        case Damage::Garbage: {
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(100);
            std::string junk(8192, '\x5a');
            f.write(junk.data(), std::streamsize(junk.size()));
            break;
        }
        case Damage::Truncated:
            fs::resize_file(path, 1000);
            break;
        case Damage::OtherVersion:
        case Damage::PreviousVersion:
        case Damage::ForeignDatabase: {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            // The version before the words were counted kept only the words.
            char const* sql = GetParam() == Damage::OtherVersion ? "PRAGMA user_version=99"
                              : GetParam() == Damage::PreviousVersion
                                  ? "DROP TABLE terms; CREATE TABLE terms(term TEXT PRIMARY KEY) "
                                    "WITHOUT ROWID; PRAGMA user_version=4"
                                  : "PRAGMA application_id=7";
            sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
            sqlite3_close(db);
            break;
        }
    }
    auto rebuilt = SearchCatalog::open("Chat", path);
    ASSERT_TRUE(rebuilt) << rebuilt.error();
    EXPECT_EQ((*rebuilt)->open_outcome(), OpenOutcome::Rebuilt);
    EXPECT_EQ((*rebuilt)->stats().entries, 0u);
    EXPECT_EQ((*rebuilt)->insert(entry("m:2", "fresh", "fresh start")), InsertOutcome::Added);
    EXPECT_EQ(find(**rebuilt, "fresh"), std::vector<std::string>{"m:2"});
    EXPECT_EQ((*rebuilt)->documents_with("fresh"), 1u);
    EXPECT_EQ((*rebuilt)->documents_with("kept"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CatalogDamageTest,
                         testing::Values(Damage::Garbage, Damage::Truncated, Damage::OtherVersion,
                                         Damage::PreviousVersion, Damage::ForeignDatabase));

TEST_F(CatalogFileTest, FailsClearlyWhenTheFolderCannotBeMade) {
    fs::create_directories(dir);
    std::ofstream(dir / "cache") << "a file where the folder should be";
    auto catalog = SearchCatalog::open("Chat", path);
    EXPECT_FALSE(catalog);
}

TEST(CatalogIndexer, WritesInOrderAndACompleteSetForgetsTheRest) {
    CatalogIndexer indexer([] { return std::shared_ptr(SearchCatalog::in_memory("Chat")); });
    std::vector<SearchEntry> all;
    for (int i = 0; i < 600; ++i)
        all.push_back(entry("m:" + std::to_string(i), "t", "word" + std::to_string(i % 7)));
    indexer.submit_all(all);
    indexer.submit({entry("m:0", "t", "edited")}, {"m:1"});
    indexer.wait_idle();
    auto catalog = indexer.catalog();
    ASSERT_TRUE(catalog);
    EXPECT_FALSE(indexer.busy());
    EXPECT_EQ(catalog->stats().entries, 599u);
    EXPECT_EQ(find(*catalog, "edited"), std::vector<std::string>{"m:0"});

    all.resize(10);
    indexer.submit_all(all);
    indexer.wait_idle();
    EXPECT_EQ(catalog->stats().entries, 10u);
    EXPECT_FALSE(indexer.last_error());
}

TEST(CatalogIndexer, QueriesWhileWritingSeeWholeBatches) {
    auto catalog = std::shared_ptr(SearchCatalog::in_memory("Chat"));
    CatalogIndexer indexer([catalog] { return catalog; });
    std::vector<SearchEntry> all;
    for (int i = 0; i < 2048; ++i)
        all.push_back(entry("m:" + std::to_string(i), "t", "common text " + std::to_string(i)));
    indexer.submit_all(all);
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            while (indexer.busy()) {
                auto page = catalog->query_page(SearchQuery{"common", {}, {}}, std::nullopt, {5});
                EXPECT_NE(page.status, PageStatus::Failed) << page.error;
                EXPECT_EQ(catalog->stats().entries % 256, 0u);  // a batch is all or nothing
            }
        });
    for (auto& t : readers) t.join();
    EXPECT_EQ(catalog->stats().entries, 2048u);
    // A common word's first page ranks its newest thousand matches.
    auto page = catalog->query_page(SearchQuery{"common", {}, {}}, std::nullopt, {5});
    EXPECT_EQ(page.total, 1000u);
    EXPECT_EQ(page.status, PageStatus::More);
    for (auto const& r : page.results) EXPECT_GE(std::stoi(r.action_address.substr(2)), 1048);
}

struct PagingCase {
    char const* query;
    size_t page_size;
    std::optional<std::string> collection;
    size_t expected;  // matches in all pages
};

// A word in thousands of entries (some of them in another collection, some holding it only
// inside a longer word): paging reaches every match once, the oldest last, whole words first.
class CatalogPagingTest : public testing::TestWithParam<PagingCase> {
  protected:
    static void SetUpTestSuite() {
        catalog = SearchCatalog::in_memory("Paging").release();
        std::vector<SearchEntry> all;
        for (int i = 0; i < 2600; ++i) {
            std::string text = i % 13 == 0 ? "the rollout went fine" : "release notes again";
            all.push_back(entry("m:" + std::to_string(i), "note " + std::to_string(i), text,
                                i % 10 == 9 ? "Other" : "Messages", 1000 + i));
        }
        ASSERT_TRUE(catalog->insert_all(all));
    }
    static void TearDownTestSuite() { delete catalog; }
    static SearchCatalog* catalog;
};
SearchCatalog* CatalogPagingTest::catalog = nullptr;

TEST_P(CatalogPagingTest, ReachesEveryMatchDownToTheOldest) {
    auto const& c = GetParam();
    SearchQuery query{c.query, c.collection, {}};
    std::set<std::string> seen;
    std::vector<std::string> order;
    std::optional<SearchCursor> cursor;
    size_t pages = 0, last_total = 0;
    do {
        auto page = catalog->query_page(query, cursor, {c.page_size});
        ASSERT_NE(page.status, PageStatus::Failed) << page.error;
        ASSERT_NE(page.status, PageStatus::StaleCursor);
        EXPECT_LE(page.results.size(), c.page_size);
        EXPECT_GE(page.total, last_total) << "the total only grows as slices are read";
        last_total = page.total;
        for (auto const& r : page.results) {
            EXPECT_TRUE(seen.insert(r.action_address).second) << r.action_address << " twice";
            if (c.collection) {
                EXPECT_EQ(r.collection, *c.collection);
            }
            order.push_back(r.action_address);
        }
        cursor = page.next;
        ASSERT_LT(++pages, 1000u);
    } while (cursor);
    EXPECT_EQ(seen.size(), c.expected);
    EXPECT_EQ(last_total, c.expected);
    ASSERT_FALSE(order.empty());
    // The oldest entry that matches comes last among its kind of match.
    auto first = c.collection == "Other" ? "m:9" : std::string(c.query) == "roll" ? "m:0" : "m:1";
    EXPECT_TRUE(seen.contains(first));
    if (std::string(c.query) == "lease") {
        // Only inside "release": the substring slices list them newest slice first.
        EXPECT_EQ(order.back(), first);
    }
}

// 2600 entries: every 13th says "rollout", the others "release"; every 10th is "Other".
INSTANTIATE_TEST_SUITE_P(
    Deep, CatalogPagingTest,
    testing::Values(PagingCase{"release", 100, std::nullopt, 2400},
                    PagingCase{"release", 7, std::nullopt, 2400},
                    PagingCase{"release", 100, "Messages", 2160},
                    PagingCase{"notes", 1000, std::nullopt, 2400},
                    PagingCase{"lease", 150, std::nullopt, 2400},  // substrings only
                    PagingCase{"roll", 20, std::nullopt, 200},     // a prefix
                    PagingCase{"note", 500, std::nullopt, 2600},   // titles and text
                    // a collection small enough to be read for substrings
                    PagingCase{"lease", 30, "Other", 240}, PagingCase{"ote", 100, "Other", 260}));

}  // namespace
}  // namespace vemo_ui::search::provider
