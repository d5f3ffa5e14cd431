// The search catalog on SQLite FTS5. Entries live in one table; two external-content FTS5
// tables index their normalised title and text, one by words and one by trigrams, and are
// kept in step by triggers, so removing an entry's row removes its postings.
#include <glib.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>

#include "vemo_ui/search/provider.hpp"

namespace vemo_ui::search::provider {

namespace {

// Bump when the tables change: an index of another version is thrown away and rebuilt.
constexpr int schema_version = 3;
constexpr int application_id = 0x56534331;  // "VSC1"
constexpr double title_weight = 4.0;
constexpr double text_weight = 1.0;
constexpr double recency_half_life = 7 * 86400.0;
constexpr double recency_lift = 0.5;
// Matches ranked per query and kind (words, substrings): the newest this many. Ranking every
// match of a common word would cost milliseconds per thousand; beyond this the list ends.
constexpr int64_t ranked_matches = 1000;

constexpr char const* schema_sql = R"sql(
CREATE TABLE IF NOT EXISTS entries(
    id INTEGER PRIMARY KEY,
    address TEXT NOT NULL UNIQUE,
    collection TEXT NOT NULL,
    title TEXT NOT NULL,
    kind TEXT,
    subtitle TEXT,
    res_kind TEXT NOT NULL,
    res_address TEXT NOT NULL,
    res_label TEXT NOT NULL,
    ts INTEGER NOT NULL,
    scope TEXT NOT NULL,
    digest INTEGER NOT NULL,
    ntitle TEXT NOT NULL,
    nbody TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS entries_collection ON entries(collection);
CREATE VIRTUAL TABLE IF NOT EXISTS words USING fts5(ntitle, nbody, collection, scope,
    content='entries', content_rowid='id', tokenize='unicode61 remove_diacritics 0');
CREATE VIRTUAL TABLE IF NOT EXISTS grams USING fts5(ntitle, nbody, collection, scope,
    content='entries', content_rowid='id', tokenize='trigram', detail='column');
CREATE TRIGGER IF NOT EXISTS entries_ai AFTER INSERT ON entries BEGIN
    INSERT INTO words(rowid, ntitle, nbody, collection, scope)
        VALUES (new.id, new.ntitle, new.nbody, new.collection, new.scope);
    INSERT INTO grams(rowid, ntitle, nbody, collection, scope)
        VALUES (new.id, new.ntitle, new.nbody, new.collection, new.scope);
END;
CREATE TRIGGER IF NOT EXISTS entries_ad AFTER DELETE ON entries BEGIN
    INSERT INTO words(words, rowid, ntitle, nbody, collection, scope)
        VALUES ('delete', old.id, old.ntitle, old.nbody, old.collection, old.scope);
    INSERT INTO grams(grams, rowid, ntitle, nbody, collection, scope)
        VALUES ('delete', old.id, old.ntitle, old.nbody, old.collection, old.scope);
END;
)sql";

// Each kind of match takes the newest `ranked_matches` matches (the index walks its lists
// newest first, so this stops early) and ranks them: whole words above substrings; words by
// BM25 with the title weighing more, lifted for recent entries; substrings by recency alone
// (BM25 over trigrams costs more than it tells).
constexpr char const* filter_sql =
    " AND (?4 IS NULL OR e.collection = ?4) AND (?5 IS NULL OR e.scope = ?5) ";

std::string words_cte() {
    return std::string(
               "w AS MATERIALIZED (SELECT words.rowid AS id, bm25(words, 4.0, 1.0, 0.0, 0.0) "
               "AS base FROM words JOIN entries e ON e.id = words.rowid WHERE words MATCH ?1") +
           filter_sql + "ORDER BY words.rowid DESC LIMIT ?8)";
}

std::string grams_cte() {
    return std::string(
               "g AS MATERIALIZED (SELECT grams.rowid AS id, -1.0 AS base FROM grams JOIN entries "
               "e ON e.id = grams.rowid WHERE grams MATCH ?2 "
               "AND search_contains(e.ntitle, e.nbody, ?9)") +
           filter_sql + "ORDER BY grams.rowid DESC LIMIT ?8)";
}

constexpr char const* select_columns = R"sql(
SELECT e.collection, e.title, e.kind, e.subtitle, e.res_kind, e.res_address, e.res_label,
       e.address, hits.base * search_boost(e.ts, ?3) AS score, COUNT(*) OVER () AS total
FROM hits JOIN entries e ON e.id = hits.id
ORDER BY hits.tier, score, e.id LIMIT ?6 OFFSET ?7
)sql";

std::string words_and_grams_sql() {
    return "WITH " + words_cte() + ", " + grams_cte() +
           ", hits AS (SELECT id, 0 AS tier, base FROM w UNION ALL SELECT id, 1 AS tier, base "
           "FROM g WHERE id NOT IN (SELECT id FROM w))" +
           select_columns;
}

std::string words_only_sql() {
    return "WITH " + words_cte() + ", hits AS (SELECT id, 0 AS tier, base FROM w)" + select_columns;
}

// A prepared statement that finalises itself.
class Statement {
  public:
    Statement() = default;
    Statement(sqlite3* db, std::string_view sql) {
        if (sqlite3_prepare_v3(db, sql.data(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &m_stmt,
                               nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    Statement(Statement&& o) noexcept : m_stmt(std::exchange(o.m_stmt, nullptr)) {}
    Statement& operator=(Statement&& o) noexcept {
        std::swap(m_stmt, o.m_stmt);
        return *this;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt* get() const { return m_stmt; }

    void text(int i, std::string_view s) const {
        sqlite3_bind_text(m_stmt, i, s.data(), int(s.size()), SQLITE_TRANSIENT);
    }
    void optional_text(int i, std::optional<std::string> const& s) const {
        if (s)
            text(i, *s);
        else
            sqlite3_bind_null(m_stmt, i);
    }
    void integer(int i, int64_t v) const { sqlite3_bind_int64(m_stmt, i, v); }
    void real(int i, double v) const { sqlite3_bind_double(m_stmt, i, v); }
    int step() const { return sqlite3_step(m_stmt); }
    void reset() const {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    std::string column_text(int i) const {
        auto const* p = reinterpret_cast<char const*>(sqlite3_column_text(m_stmt, i));
        return p ? std::string(p, size_t(sqlite3_column_bytes(m_stmt, i))) : std::string();
    }
    std::optional<std::string> column_optional(int i) const {
        if (sqlite3_column_type(m_stmt, i) == SQLITE_NULL) return std::nullopt;
        return column_text(i);
    }
    int64_t column_int(int i) const { return sqlite3_column_int64(m_stmt, i); }
    double column_real(int i) const { return sqlite3_column_double(m_stmt, i); }

  private:
    sqlite3_stmt* m_stmt = nullptr;
};

std::string error_of(sqlite3* db, std::string_view what) {
    return std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

bool exec(sqlite3* db, char const* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

int64_t pragma_int(sqlite3* db, char const* sql) {
    Statement s(db, sql);
    if (!s || s.step() != SQLITE_ROW) return -1;
    return s.column_int(0);
}

// 1 for timeless entries; up to 1 + lift for the newest, halving its lift every half-life.
void search_boost(sqlite3_context* ctx, int, sqlite3_value** argv) {
    int64_t ts = sqlite3_value_int64(argv[0]);
    int64_t newest = sqlite3_value_int64(argv[1]);
    if (ts <= 0) {
        sqlite3_result_double(ctx, 1.0);
        return;
    }
    double age = double(std::max<int64_t>(0, newest - ts));
    sqlite3_result_double(ctx, 1.0 + recency_lift * std::exp2(-age / recency_half_life));
}

// Whether every \x1f-separated text of the third argument occurs in the first or second:
// trigram postings without positions narrow the candidates, this confirms them.
void search_contains(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto text = [&](int i) {
        auto const* p = reinterpret_cast<char const*>(sqlite3_value_text(argv[i]));
        return p ? std::string_view(p, size_t(sqlite3_value_bytes(argv[i]))) : std::string_view();
    };
    std::string_view title = text(0), body = text(1), wanted = text(2);
    bool all = true;
    while (all && !wanted.empty()) {
        size_t end = std::min(wanted.find('\x1f'), wanted.size());
        auto part = wanted.substr(0, end);
        all =
            title.find(part) != std::string_view::npos || body.find(part) != std::string_view::npos;
        wanted.remove_prefix(std::min(end + 1, wanted.size()));
    }
    sqlite3_result_int(ctx, all ? 1 : 0);
}

// 64-bit FNV-1a over every field, each length-prefixed so that moving text between
// fields changes the digest. Stored in the file, so it must never change between versions
// without a schema bump.
class Digest {
  public:
    void add(std::string_view s) {
        add_number(s.size());
        for (unsigned char c : s) byte(c);
    }
    void add_optional(std::optional<std::string> const& s) {
        byte(s ? 1 : 0);
        if (s) add(*s);
    }
    void add_number(uint64_t v) {
        for (int i = 0; i < 8; ++i) byte(uint8_t(v >> (8 * i)));
    }
    int64_t value() const { return int64_t(m_hash); }

  private:
    void byte(uint8_t b) {
        m_hash ^= b;
        m_hash *= 0x100000001b3ULL;
    }
    uint64_t m_hash = 0xcbf29ce484222325ULL;
};

int64_t digest_of(SearchEntry const& e) {
    Digest d;
    for (auto const* s : {&e.collection, &e.title, &e.resource.kind, &e.resource.address,
                          &e.resource.label, &e.action_address, &e.text, &e.scope})
        d.add(*s);
    d.add_optional(e.kind);
    d.add_optional(e.subtitle);
    d.add_number(uint64_t(e.timestamp));
    return d.value();
}

// A long title that only repeats the text (a message's first line, say) is not indexed a
// second time: it would double the index of every message for no gain in ranking.
bool repeats_text(std::string_view title, std::string_view body) {
    constexpr size_t long_title = 24;
    if (title.ends_with("...")) title.remove_suffix(3);  // "…" after normalisation
    return title.size() >= long_title && body.find(title) != std::string_view::npos;
}

}  // namespace

struct MatchExpressions {
    std::string words;
    std::string grams;            // empty when a term is too short for substrings
    std::string grams_contained;  // the substrings `grams` stands for, separated by \x1f
};

namespace {

std::string fts_quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    return out + "\"";
}

// Words, with "quoted phrases" kept together; the last word typed also matches as a prefix
// unless the query ends with a space.
MatchExpressions match_expressions(std::string const& normalized, bool ends_with_space) {
    struct Term {
        std::string text;
        bool phrase = false;
    };
    std::vector<Term> terms;
    bool in_phrase = false;
    size_t start = 0;
    auto flush = [&](std::string_view part, bool phrase) {
        auto tokens = index_tokens(part);
        if (tokens.empty()) return;
        if (!phrase) {
            for (auto& t : tokens) terms.push_back({std::move(t), false});
            return;
        }
        std::string joined;
        for (auto const& t : tokens) joined += (joined.empty() ? "" : " ") + t;
        terms.push_back({std::move(joined), true});
    };
    for (size_t i = 0; i <= normalized.size(); ++i) {
        if (i < normalized.size() && normalized[i] != '"') continue;
        flush(std::string_view(normalized).substr(start, i - start), in_phrase);
        in_phrase = !in_phrase;
        start = i + 1;
    }
    MatchExpressions out;
    bool substrings = !terms.empty();
    for (size_t i = 0; i < terms.size(); ++i) {
        auto const& t = terms[i];
        bool last_open =
            i + 1 == terms.size() && !t.phrase && !ends_with_space && normalized.back() != '"';
        if (!out.words.empty()) out.words += " AND ";
        out.words += fts_quoted(t.text) + (last_open ? "*" : "");
        if (g_utf8_strlen(t.text.data(), gssize(t.text.size())) < 3) substrings = false;
    }
    if (substrings) {
        for (auto const& t : terms) {
            for (auto const& gram : index_grams(t.text))
                out.grams += (out.grams.empty() ? "" : " AND ") + fts_quoted(gram);
            out.grams_contained += (out.grams_contained.empty() ? "" : "\x1f") + t.text;
        }
        out.grams = "{ntitle nbody} : (" + out.grams + ")";
    }
    out.words = "{ntitle nbody} : (" + out.words + ")";
    return out;
}

// " AND column : (...)" matching `value` in that column, or nothing when it has no words.
std::string column_filter(char const* column, std::string const& value, bool grams) {
    std::string normalized = normalize_search_text(value);
    std::string expr;
    if (grams) {
        for (auto const& gram : index_grams(normalized))
            expr += (expr.empty() ? "" : " AND ") + fts_quoted(gram);
    } else {
        std::string phrase;
        for (auto const& token : index_tokens(normalized))
            phrase += (phrase.empty() ? "" : " ") + token;
        if (!phrase.empty()) expr = fts_quoted(phrase);
    }
    return expr.empty() ? std::string() : std::string(" AND ") + column + " : (" + expr + ")";
}

std::string query_key(SearchQuery const& q) {
    return normalize_search_text(q.text) + '\x1f' + q.collection.value_or("\x1e") + '\x1f' +
           q.scope.value_or("\x1e");
}

uint64_t random_instance() {
    std::random_device rd;
    return (uint64_t(rd()) << 32) | rd();
}

sqlite3* open_file(std::string const& path) {
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    return db;
}

// A stored index is used only when it is ours, of this version and passes SQLite's check.
bool is_sound(sqlite3* db) {
    if (pragma_int(db, "PRAGMA application_id") != application_id) return false;
    if (pragma_int(db, "PRAGMA user_version") != schema_version) return false;
    Statement check(db, "PRAGMA quick_check");
    if (!check || check.step() != SQLITE_ROW || check.column_text(0) != "ok") return false;
    Statement fts(db, "INSERT INTO words(words) VALUES('integrity-check')");
    Statement fts_grams(db, "INSERT INTO grams(grams) VALUES('integrity-check')");
    return fts && fts.step() == SQLITE_DONE && fts_grams && fts_grams.step() == SQLITE_DONE;
}

void remove_files(std::filesystem::path const& path) {
    std::error_code ec;
    for (char const* suffix : {"", "-wal", "-shm", "-journal"})
        std::filesystem::remove(path.string() + suffix, ec);
}

std::expected<void, std::string> prepare_schema(sqlite3* db, bool on_disk) {
    if (on_disk && !exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL"))
        return std::unexpected(error_of(db, "setting up the search index"));
    if (!exec(db, schema_sql)) return std::unexpected(error_of(db, "creating the search index"));
    std::string stamp = "PRAGMA application_id=" + std::to_string(application_id) +
                        "; PRAGMA user_version=" + std::to_string(schema_version);
    if (!exec(db, stamp.c_str())) return std::unexpected(error_of(db, "stamping the search index"));
    if (sqlite3_create_function(db, "search_boost", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                search_boost, nullptr, nullptr) != SQLITE_OK)
        return std::unexpected(error_of(db, "registering the ranking"));
    if (sqlite3_create_function(db, "search_contains", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                nullptr, search_contains, nullptr, nullptr) != SQLITE_OK)
        return std::unexpected(error_of(db, "registering the substring check"));
    return {};
}

}  // namespace

struct SearchCatalog::Statements {
    explicit Statements(sqlite3* db)
        : find(db, "SELECT id, digest FROM entries WHERE address = ?1"),
          insert(db,
                 "INSERT INTO entries(address, collection, title, kind, subtitle, res_kind, "
                 "res_address, res_label, ts, scope, digest, ntitle, nbody) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)"),
          remove(db, "DELETE FROM entries WHERE address = ?1") {}
    bool ok() const { return find && insert && remove; }
    Statement find, insert, remove;
};

SearchCatalog::SearchCatalog(std::string name, sqlite3* db, std::filesystem::path path,
                             OpenOutcome outcome)
    : m_name(std::move(name)),
      m_db(db),
      m_path(std::move(path)),
      m_outcome(outcome),
      m_instance(random_instance()),
      m_statements(std::make_unique<Statements>(db)) {
    m_newest = std::max<int64_t>(0, pragma_int(db, "SELECT COALESCE(MAX(ts), 0) FROM entries"));
}

SearchCatalog::~SearchCatalog() {
    m_statements.reset();
    sqlite3_close_v2(m_db);
}

std::expected<std::unique_ptr<SearchCatalog>, std::string> SearchCatalog::open(
    std::string name, std::filesystem::path const& path) {
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    if (ec)
        return std::unexpected("cannot create " + path.parent_path().string() + ": " +
                               ec.message());
    bool existed = std::filesystem::exists(path, ec);
    sqlite3* db = open_file(path.string());
    OpenOutcome outcome = existed ? OpenOutcome::Reopened : OpenOutcome::Created;
    if (existed && (!db || !is_sound(db))) {
        sqlite3_close_v2(db);
        remove_files(path);
        db = open_file(path.string());
        outcome = OpenOutcome::Rebuilt;
    }
    if (!db) return std::unexpected("cannot open the search index " + path.string());
    if (auto ready = prepare_schema(db, true); !ready) {
        sqlite3_close_v2(db);
        return std::unexpected(ready.error());
    }
    auto catalog =
        std::unique_ptr<SearchCatalog>(new SearchCatalog(std::move(name), db, path, outcome));
    if (!catalog->m_statements->ok())
        return std::unexpected(error_of(db, "preparing the search index"));
    return catalog;
}

std::unique_ptr<SearchCatalog> SearchCatalog::in_memory(std::string name) {
    sqlite3* db = open_file(":memory:");
    if (!db || !prepare_schema(db, false)) {
        // Only allocation failure gets here; an in-memory index has nothing else to fail on.
        std::abort();
    }
    return std::unique_ptr<SearchCatalog>(
        new SearchCatalog(std::move(name), db, {}, OpenOutcome::Created));
}

std::expected<InsertOutcome, std::string> SearchCatalog::insert(SearchEntry const& entry) {
    auto all = insert_all(std::span(&entry, 1));
    if (!all) return std::unexpected(all.error());
    return all->front();
}

std::expected<std::vector<InsertOutcome>, std::string> SearchCatalog::insert_all(
    std::span<SearchEntry const> entries) {
    std::unique_lock lock(m_lock);
    if (!exec(m_db, "BEGIN IMMEDIATE")) return std::unexpected(error_of(m_db, "starting a change"));
    std::vector<InsertOutcome> outcomes;
    outcomes.reserve(entries.size());
    for (auto const& entry : entries) {
        auto outcome = insert_locked(entry);
        if (!outcome) {
            exec(m_db, "ROLLBACK");
            changed();
            return std::unexpected(outcome.error());
        }
        outcomes.push_back(*outcome);
    }
    if (!exec(m_db, "COMMIT")) {
        auto error = error_of(m_db, "storing search entries");
        exec(m_db, "ROLLBACK");
        return std::unexpected(error);
    }
    return outcomes;
}

std::expected<InsertOutcome, std::string> SearchCatalog::insert_locked(SearchEntry const& e) {
    auto& s = *m_statements;
    int64_t digest = digest_of(e);
    s.find.text(1, e.action_address);
    int rc = s.find.step();
    bool exists = rc == SQLITE_ROW;
    bool same = exists && s.find.column_int(1) == digest;
    s.find.reset();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return std::unexpected(error_of(m_db, "reading the search index"));
    if (same) return InsertOutcome::Unchanged;
    if (exists) {
        auto removed = remove_locked(e.action_address);
        if (!removed) return std::unexpected(removed.error());
    }
    auto const& q = s.insert;
    q.text(1, e.action_address);
    q.text(2, e.collection);
    q.text(3, e.title);
    q.optional_text(4, e.kind);
    q.optional_text(5, e.subtitle);
    q.text(6, e.resource.kind);
    q.text(7, e.resource.address);
    q.text(8, e.resource.label);
    q.integer(9, e.timestamp);
    q.text(10, e.scope);
    q.integer(11, digest);
    std::string body = normalize_search_text(e.text);
    std::string title = normalize_search_text(e.title);
    if (repeats_text(title, body)) title.clear();
    q.text(12, title);
    q.text(13, body);
    rc = q.step();
    q.reset();
    if (rc != SQLITE_DONE) return std::unexpected(error_of(m_db, "storing a search entry"));
    changed();
    if (e.timestamp > m_newest) m_newest = e.timestamp;
    return exists ? InsertOutcome::Replaced : InsertOutcome::Added;
}

std::expected<bool, std::string> SearchCatalog::remove_postings(std::string_view address) {
    std::unique_lock lock(m_lock);
    return remove_locked(address);
}

std::expected<bool, std::string> SearchCatalog::remove_locked(std::string_view address) {
    auto const& q = m_statements->remove;
    q.text(1, address);
    int rc = q.step();
    q.reset();
    if (rc != SQLITE_DONE) return std::unexpected(error_of(m_db, "removing a search entry"));
    bool removed = sqlite3_changes(m_db) > 0;
    if (removed) changed();
    return removed;
}

std::expected<size_t, std::string> SearchCatalog::retain_only(
    std::span<std::string const> keep_sorted) {
    std::vector<std::string> gone;
    for (auto& address : addresses())
        if (!std::binary_search(keep_sorted.begin(), keep_sorted.end(), address))
            gone.push_back(std::move(address));
    if (gone.empty()) return 0;
    std::unique_lock lock(m_lock);
    if (!exec(m_db, "BEGIN IMMEDIATE")) return std::unexpected(error_of(m_db, "starting a change"));
    for (auto const& address : gone) {
        if (auto removed = remove_locked(address); !removed) {
            exec(m_db, "ROLLBACK");
            return std::unexpected(removed.error());
        }
    }
    if (!exec(m_db, "COMMIT")) return std::unexpected(error_of(m_db, "removing search entries"));
    return gone.size();
}

std::vector<std::string> SearchCatalog::addresses() const {
    std::shared_lock lock(m_lock);
    std::vector<std::string> out;
    Statement s(m_db, "SELECT address FROM entries");
    while (s && s.step() == SQLITE_ROW) out.push_back(s.column_text(0));
    return out;
}

std::expected<SearchCatalog::Ranked, std::string> SearchCatalog::run_query(
    MatchExpressions const& match, bool with_grams, SearchQuery const& query, size_t offset,
    size_t limit) const {
    Statement s(m_db, with_grams ? words_and_grams_sql() : words_only_sql());
    if (!s) return std::unexpected(error_of(m_db, "preparing a search"));
    s.text(1, match.words);
    if (with_grams) {
        s.text(2, match.grams);
        s.text(9, match.grams_contained);
    }
    s.integer(3, m_newest.load());
    s.optional_text(4, query.collection);
    s.optional_text(5, query.scope);
    s.integer(6, int64_t(limit));
    s.integer(7, int64_t(offset));
    s.integer(8, ranked_matches);
    Ranked out;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        SearchResult r;
        r.collection = s.column_text(0);
        r.title = s.column_text(1);
        r.kind = s.column_optional(2);
        r.subtitle = s.column_optional(3);
        r.resource = {s.column_text(4), s.column_text(5), s.column_text(6)};
        r.action_address = s.column_text(7);
        r.score = s.column_real(8);
        out.total = size_t(s.column_int(9));
        out.results.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) return std::unexpected(error_of(m_db, "searching"));
    return out;
}

SearchPage SearchCatalog::query_page(SearchQuery const& query,
                                     std::optional<SearchCursor> const& cursor,
                                     PageLimits limits) const {
    SearchPage page;
    std::string key = query_key(query);
    std::shared_lock lock(m_lock);
    uint64_t generation = m_generation.load();
    if (cursor && (cursor->catalog != m_instance || cursor->generation != generation ||
                   cursor->query_key != key)) {
        page.status = PageStatus::StaleCursor;
        return page;
    }
    std::string normalized = normalize_search_text(query.text);
    if (normalized.empty() || limits.page_size == 0) return page;
    bool trailing_space = !query.text.empty() && g_unichar_isspace(query.text.back());
    auto match = match_expressions(normalized, trailing_space);
    if (match.words.empty()) return page;
    // The collection and scope narrow the postings too, so a filtered search of a common word
    // does not walk every match; the exact comparison follows in SQL.
    for (auto const& [column, value] :
         {std::pair{"collection", query.collection}, std::pair{"scope", query.scope}}) {
        if (!value) continue;
        match.words += column_filter(column, *value, false);
        if (!match.grams.empty()) match.grams += column_filter(column, *value, true);
    }

    size_t offset = cursor ? cursor->offset : 0;
    // Whole-word matches come first; when they fill the page the substring matches are not
    // looked for yet (they cost the most), and the total counts what is known so far.
    auto words = run_query(match, false, query, offset, limits.page_size);
    bool full = words && words->results.size() == limits.page_size;
    if (!match.grams.empty() && !full)
        words = run_query(match, true, query, offset, limits.page_size);
    if (!words) {
        page.status = PageStatus::Failed;
        page.error = words.error();
        return page;
    }
    page.results = std::move(words->results);
    page.total = words->total;
    bool maybe_more = full && !match.grams.empty();
    if (page.results.empty()) page.total = offset;  // past the end: nothing more to say
    size_t seen = offset + page.results.size();
    if (seen < page.total || maybe_more) {
        page.status = PageStatus::More;
        page.next = SearchCursor{m_instance, generation, key, seen};
    }
    return page;
}

CatalogStats SearchCatalog::stats() const {
    std::shared_lock lock(m_lock);
    CatalogStats out;
    out.name = m_name;
    out.generation = m_generation.load();
    Statement s(m_db,
                "SELECT collection, COUNT(*) FROM entries GROUP BY collection ORDER BY collection");
    while (s && s.step() == SQLITE_ROW) {
        out.collections.push_back({s.column_text(0), size_t(s.column_int(1))});
        out.entries += out.collections.back().entries;
    }
    int64_t pages = pragma_int(m_db, "PRAGMA page_count");
    int64_t page_size = pragma_int(m_db, "PRAGMA page_size");
    if (pages > 0 && page_size > 0) out.index_bytes = uint64_t(pages * page_size);
    return out;
}

bool SearchCatalog::cursor_is_current(SearchCursor const& cursor) const {
    std::shared_lock lock(m_lock);
    return cursor.catalog == m_instance && cursor.generation == m_generation.load();
}

}  // namespace vemo_ui::search::provider
