#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vemo_actions/action_context.hpp"

struct sqlite3;

namespace vemo_ui::search::provider {
struct MatchExpressions;
}

// The framework's global search: a full-text catalog of entries an application offers, each
// with the action address that choosing it dispatches.
namespace vemo_ui::search::provider {

// One thing that can be found. `text` is what is indexed (after normalisation); the title
// is indexed too and weighs more in the ranking.
struct SearchEntry {
    std::string collection;
    std::string title;
    std::optional<std::string> kind;
    vemo_actions::ResourceRef resource;
    std::optional<std::string> subtitle;
    std::string action_address;
    std::string text;
    // When the entry was made (Unix seconds); newer entries rank a little higher. 0: timeless.
    int64_t timestamp = 0;
    // A narrower place the entry lives in (a conversation, say), for searches within it.
    std::string scope;

    friend bool operator==(SearchEntry const&, SearchEntry const&) = default;
};

enum class InsertOutcome : uint8_t { Added, Replaced, Unchanged };

struct SearchQuery {
    std::string text;
    std::optional<std::string> collection;  // only this collection
    std::optional<std::string> scope;       // only entries of this scope
};

struct PageLimits {
    size_t page_size = 20;
};

// Where the next page starts. It belongs to the catalog state it was made from: once the
// catalog changes it is stale and query_page refuses it.
//
// Matches are ranked a slice at a time, newest slice first, whole words before substrings:
// the cursor names the slice (its kind and the entry below which it starts) and how far
// into it the list has got, so every page costs one slice however deep it is.
struct SearchCursor {
    uint64_t catalog = 0;
    uint64_t generation = 0;
    std::string query_key;
    size_t offset = 0;  // results on the pages before
    uint8_t tier = 0;   // 0: whole words, 1: substrings
    int64_t below = INT64_MAX;
    size_t slice_start = 0;  // results on the pages before that came from earlier slices

    friend bool operator==(SearchCursor const&, SearchCursor const&) = default;
};

struct SearchResult {
    std::string collection;
    std::string title;
    std::optional<std::string> kind;
    vemo_actions::ResourceRef resource;
    std::optional<std::string> subtitle;
    std::string action_address;
    double score = 0;  // lower is better
};

enum class PageStatus : uint8_t {
    Complete,     // nothing matches beyond this page
    More,         // `next` continues the list
    StaleCursor,  // the cursor no longer describes the catalog: ask again from the start
    Failed,       // the index could not be read (see `error`)
};

struct SearchPage {
    std::vector<SearchResult> results;
    std::optional<SearchCursor> next;
    PageStatus status = PageStatus::Complete;
    size_t total = 0;  // matches in all pages; while More, those known so far
    std::string error;
};

struct CollectionStats {
    std::string collection;
    size_t entries = 0;
    friend bool operator==(CollectionStats const&, CollectionStats const&) = default;
};

struct CatalogStats {
    std::string name;
    std::vector<CollectionStats> collections;  // by name
    size_t entries = 0;
    uint64_t index_bytes = 0;
    uint64_t generation = 0;
};

// Why an opened catalog starts empty.
enum class OpenOutcome : uint8_t {
    Created,   // there was no index
    Reopened,  // the stored index was sound and is used as it stands
    Rebuilt,   // the stored index was damaged or of another schema: it was replaced
};

// Case folded, diacritics removed, compatibility forms composed (NFKC), so that "Café",
// "CAFE" and full-width "ｃａｆｅ" all read "cafe". Invalid UTF-8 is repaired first.
std::string normalize_search_text(std::string_view text);
// The words of a normalised text: runs of letters, digits and marks, in order.
std::vector<std::string> index_tokens(std::string_view normalized);
// The distinct three-character substrings of a normalised text, in first-seen order.
std::vector<std::string> index_grams(std::string_view normalized);
// Byte ranges of `text` (as given, not normalised) that the query's words match; sorted and
// merged. For highlighting results.
std::vector<std::pair<size_t, size_t>> match_ranges(std::string_view text, std::string_view query);

// A reader-writer lock that lets a waiting writer in before readers that come after it
// (glibc's own prefers readers, so steady queries could hold off the indexer forever).
class WriterFirstMutex {
  public:
    void lock() {
        std::lock_guard gate(m_gate);
        m_shared.lock();
    }
    void unlock() { m_shared.unlock(); }
    void lock_shared() {
        std::lock_guard gate(m_gate);
        m_shared.lock_shared();
    }
    void unlock_shared() { m_shared.unlock_shared(); }

  private:
    std::mutex m_gate;
    std::shared_mutex m_shared;
};

// A full-text index on SQLite FTS5: words (with prefix matching on the last word typed) and
// trigrams (substrings of three characters or more), ranked by BM25 with the title weighing
// more and recent entries lifted. Every member may be called from any thread: queries share
// a reader-writer lock, changes take it exclusively.
class SearchCatalog {
  public:
    // A catalog in the file `path` (created with its folders when missing; replaced when it is
    // damaged or from another schema version).
    static std::expected<std::unique_ptr<SearchCatalog>, std::string> open(
        std::string name, std::filesystem::path const& path);
    // A catalog that lives in memory only.
    static std::unique_ptr<SearchCatalog> in_memory(std::string name);
    ~SearchCatalog();
    SearchCatalog(SearchCatalog const&) = delete;
    SearchCatalog& operator=(SearchCatalog const&) = delete;

    std::string const& name() const { return m_name; }
    OpenOutcome open_outcome() const { return m_outcome; }

    // Stores the entry under its action address. An entry already stored there has its
    // postings replaced; an identical one is left untouched.
    std::expected<InsertOutcome, std::string> insert(SearchEntry const& entry);
    // The same for many entries in one transaction.
    std::expected<std::vector<InsertOutcome>, std::string> insert_all(
        std::span<SearchEntry const> entries);
    // Forgets the entry under `address` and its postings; false when there was none.
    std::expected<bool, std::string> remove_postings(std::string_view address);
    // Forgets every entry whose address is not in `keep` (sorted); answers how many went.
    std::expected<size_t, std::string> retain_only(std::span<std::string const> keep_sorted);
    std::vector<std::string> addresses() const;
    // How many entries hold this word in their title or text.
    size_t documents_with(std::string_view word) const;

    SearchPage query_page(SearchQuery const& query, std::optional<SearchCursor> const& cursor,
                          PageLimits limits) const;
    CatalogStats stats() const;
    bool cursor_is_current(SearchCursor const& cursor) const;
    uint64_t generation() const { return m_generation.load(); }

  private:
    struct Statements;
    struct QueryStatements;
    struct Slice;
    SearchCatalog(std::string name, sqlite3* db, std::filesystem::path path, OpenOutcome outcome);
    std::expected<InsertOutcome, std::string> insert_locked(SearchEntry const& entry);
    std::expected<bool, std::string> remove_locked(std::string_view address);
    std::expected<Slice, std::string> read_slice(MatchExpressions const& match,
                                                 SearchQuery const& query, SearchCursor const& at,
                                                 size_t limit) const;
    std::vector<std::pair<std::string, int64_t>> words_with_prefix(std::string const& prefix) const;
    int64_t documents_locked(std::string const& word, bool prefix) const;
    bool collection_is_small(std::string const& collection) const;
    std::expected<void, std::string> commit_locked(char const* what);
    void roll_back_locked();
    void changed() { m_generation.fetch_add(1); }

    std::string m_name;
    sqlite3* m_db = nullptr;
    std::filesystem::path m_path;
    OpenOutcome m_outcome = OpenOutcome::Created;
    uint64_t m_instance = 0;
    std::atomic<uint64_t> m_generation{1};
    std::atomic<int64_t> m_newest{0};
    std::unique_ptr<Statements> m_statements;
    std::unique_ptr<QueryStatements> m_queries;
    mutable WriterFirstMutex m_lock;
};

// What the framework asks of an application's search provider.
class SearchProvider {
  public:
    virtual ~SearchProvider() = default;
    virtual std::string name() const = 0;
    virtual SearchPage query_page(SearchQuery const& query,
                                  std::optional<SearchCursor> const& cursor,
                                  PageLimits limits) const = 0;
    virtual std::optional<CatalogStats> stats() const = 0;
    virtual bool cursor_is_current(SearchCursor const& cursor) const = 0;
    // True while entries handed over are still being written into the index.
    virtual bool indexing() const { return false; }
    // A number that changes whenever the catalog does; cheap enough to ask on every frame.
    virtual uint64_t generation() const { return 0; }
};

}  // namespace vemo_ui::search::provider
