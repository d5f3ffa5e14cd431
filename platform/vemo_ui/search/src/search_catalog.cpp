// The search catalog on SQLite FTS5. Entries live in one table; two external-content FTS5
// tables index their normalised title and text, one by words and one by trigrams, and are
// kept in step by triggers, so removing an entry's row removes its postings.
#include <glib.h>
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <new>
#include <random>
#include <unordered_map>

#include "vemo_ui/search/provider.hpp"

namespace vemo_ui::search::provider {

namespace {

// Bump when the tables change: an index of another version is thrown away and rebuilt.
constexpr int schema_version = 5;
constexpr int application_id = 0x56534331;  // "VSC1"
constexpr double title_weight = 4.0;
constexpr double text_weight = 1.0;
constexpr double rank_k1 = 1.2;
constexpr double rank_b = 0.75;
constexpr double recency_half_life = 7 * 86400.0;
constexpr double recency_lift = 0.5;
// An entry that holds the last typed word as a whole word ranks above one that holds only a
// completion of it ("1" above "10" for "reply 1"): larger than the most the recency lift can
// tell two entries apart, so a completion of equal BM25 never overtakes it however much newer
// it is, while a clearly better BM25 (a title match, a much shorter entry) still does.
constexpr double exact_word_lift = 1.6;
static_assert(exact_word_lift > 1 + recency_lift);
// Matches are ranked a slice at a time: the newest this many of a kind (words, substrings),
// then the next older ones. Ranking every match of a common word at once would cost
// milliseconds per thousand; a slice costs the same on the first page and the hundredth.
constexpr int64_t slice_size = 1000;
// Slices one page may read when they hold too few matches (substring matches that are also
// whole words are left out of the substring slices); the next page carries on.
constexpr int slices_per_page = 8;
// A last word of this many characters or more is looked up in the vocabulary and searched
// as its completions; shorter ones have prefix postings of their own in the index.
constexpr size_t completed_prefix = 3;
constexpr size_t max_completions = 64;
// A collection of at most this many entries is searched for substrings by reading its texts.
constexpr int64_t scanned_collection = 2000;

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
    content='entries', content_rowid='id', tokenize='unicode61 remove_diacritics 0',
    prefix='1 2');
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
-- Every word the titles and texts hold, with how many entries hold it: for completing the
-- last word of a query and for weighing rare words above common ones.
CREATE TABLE IF NOT EXISTS terms(term TEXT PRIMARY KEY, docs INTEGER NOT NULL) WITHOUT ROWID;
)sql";

// One slice of matches, ranked, and the page's part of it. The first two columns describe
// the whole slice (its size and its oldest entry) and come even when the page takes none of
// it. Words rank by BM25 with the title weighing more, lifted for recent entries;
// substrings by recency alone, and only those that are not whole-word matches too (those
// were listed with the words). Equal scores list the newer entry first, and entries without a
// time (the named things: places, people) by their titles.
constexpr char const* slice_select = R"sql(
kept AS (SELECT slice.id, slice.base * search_boost(e.ts, ?4) AS score, e.ts AS ts,
                CASE WHEN e.ts <= 0 THEN e.title END AS name, COUNT(*) OVER () AS kept
         FROM slice JOIN entries e ON e.id = slice.id
         WHERE (?5 IS NULL OR e.collection = ?5) AND (?6 IS NULL OR e.scope = ?6) %s
         ORDER BY score, ts DESC, name COLLATE NOCASE, slice.id DESC LIMIT ?7 OFFSET ?8)
SELECT (SELECT COUNT(*) FROM slice), (SELECT MIN(id) FROM slice), kept.id, e.collection,
       e.title, e.kind, e.subtitle, e.res_kind, e.res_address, e.res_label, e.address,
       kept.score, kept.kept
FROM (SELECT 1) LEFT JOIN kept ON 1 LEFT JOIN entries e ON e.id = kept.id
ORDER BY kept.score, kept.ts DESC, kept.name COLLATE NOCASE, kept.id DESC
)sql";

std::string words_slice_sql() {
    std::string sql = R"sql(
WITH slice AS MATERIALIZED (
    SELECT rowid AS id, search_rank(words, ?11, ?12) AS base FROM words
    WHERE words MATCH ?1 AND rowid < ?2 ORDER BY rowid DESC LIMIT ?3),
)sql";
    char buf[1024];
    std::snprintf(buf, sizeof buf, slice_select, "");
    return sql + buf;
}

// How substrings are found: through the trigram index, its candidates confirmed in the
// entries' text (or taken as they are when every term is one trigram long), or, in a
// collection small enough, by reading the collection's texts alone (the trigram index would
// walk the postings of every collection to find its few).
enum class GramSource { Confirmed, Exact, Scan };

std::string grams_slice_sql(GramSource source) {
    std::string sql = source == GramSource::Scan        ? R"sql(
WITH slice AS MATERIALIZED (
    SELECT e.id AS id, -1.0 AS base FROM entries e
    WHERE e.collection = ?5 AND e.id < ?2 AND search_contains(e.ntitle, e.nbody, ?9)
    ORDER BY e.id DESC LIMIT ?3),)sql"
                      : source == GramSource::Confirmed ? R"sql(
WITH slice AS MATERIALIZED (
    SELECT grams.rowid AS id, -1.0 AS base FROM grams JOIN entries e ON e.id = grams.rowid
    WHERE grams MATCH ?1 AND grams.rowid < ?2 AND search_contains(e.ntitle, e.nbody, ?9)
    ORDER BY grams.rowid DESC LIMIT ?3),)sql"
                                                        : R"sql(
WITH slice AS MATERIALIZED (
    SELECT rowid AS id, -1.0 AS base FROM grams
    WHERE grams MATCH ?1 AND rowid < ?2 ORDER BY rowid DESC LIMIT ?3),)sql";
    sql += R"sql(
whole AS MATERIALIZED (
    SELECT rowid AS id FROM words WHERE words MATCH ?10
    AND rowid BETWEEN (SELECT MIN(id) FROM slice) AND (SELECT MAX(id) FROM slice)),
)sql";
    char buf[1024];
    std::snprintf(buf, sizeof buf, slice_select, "AND slice.id NOT IN whole");
    return sql + buf;
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
    std::string_view column_view(int i) const {
        auto const* p = reinterpret_cast<char const*>(sqlite3_column_text(m_stmt, i));
        return p ? std::string_view(p, size_t(sqlite3_column_bytes(m_stmt, i)))
                 : std::string_view();
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
    bool column_null(int i) const { return sqlite3_column_type(m_stmt, i) == SQLITE_NULL; }

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

// The inverse document frequency of a word that `documents` of `entries` entries hold, in
// the form that never goes negative (a word most entries hold still counts a little).
double inverse_frequency(double documents, double entries) {
    documents = std::clamp(documents, 0.0, entries);
    return std::log(1.0 + (entries - documents + 0.5) / (documents + 0.5));
}

// What a ranking needs once per search: the average entry length, each phrase's weight and
// the phrase that is the last typed word as a whole word.
struct RankContext {
    double average = 1;
    std::vector<double> weight;  // by phrase; a phrase weighs the sum of its words' weights
    int exact = -1;              // an entry it matches is lifted by exact_word_lift

    static void free(void* p) { delete static_cast<RankContext*>(p); }
};

// The second argument of search_rank describes the query's phrases in the order they come in
// the expression: for each, its number of words and how many entries hold each word (native
// 64-bit integers). Phrases it does not describe (the collection and scope filters) weigh 1.
// The third names the phrase of the exact-word lift (-1 or NULL: none).
RankContext* rank_context(Fts5ExtensionApi const* api, Fts5Context* fts, sqlite3_value* counts,
                          sqlite3_value* exact) {
    auto* context = new (std::nothrow) RankContext;
    if (!context) return nullptr;
    if (exact && sqlite3_value_type(exact) == SQLITE_INTEGER)
        context->exact = int(std::clamp<sqlite3_int64>(sqlite3_value_int64(exact), -1, INT_MAX));
    sqlite3_int64 rows = 0, title = 0, body = 0;
    api->xRowCount(fts, &rows);
    api->xColumnTotalSize(fts, 0, &title);
    api->xColumnTotalSize(fts, 1, &body);
    context->average = rows > 0 ? std::max(1.0, double(title + body) / double(rows)) : 1.0;
    std::vector<int64_t> words;
    if (counts && sqlite3_value_type(counts) == SQLITE_BLOB) {
        words.resize(size_t(sqlite3_value_bytes(counts)) / sizeof(int64_t));
        if (!words.empty()) std::memcpy(words.data(), sqlite3_value_blob(counts), words.size() * 8);
    }
    for (size_t at = 0; at < words.size();) {
        auto n = size_t(std::max<int64_t>(0, words[at++]));
        double weight = 0;
        for (size_t i = 0; i < n && at < words.size(); ++i, ++at)
            weight += inverse_frequency(double(words[at]), double(rows));
        context->weight.push_back(weight);
    }
    return context;
}

// BM25 over the title and the text, the title's term frequencies weighing more, in FTS5's
// own convention (lower is better). The inverse document frequencies come with the query
// (read from the vocabulary's counts, one lookup per word) rather than from walking every
// word's whole posting list, which would cost more than the rest of a search.
void search_rank(Fts5ExtensionApi const* api, Fts5Context* fts, sqlite3_context* ctx, int argc,
                 sqlite3_value** argv) {
    auto* context = static_cast<RankContext*>(api->xGetAuxdata(fts, 0));
    if (!context) {
        context =
            rank_context(api, fts, argc > 0 ? argv[0] : nullptr, argc > 1 ? argv[1] : nullptr);
        if (!context || api->xSetAuxdata(fts, context, &RankContext::free) != SQLITE_OK) {
            sqlite3_result_error_nomem(ctx);
            return;
        }
    }
    constexpr int most_phrases = 128;
    double frequency[most_phrases] = {};
    int phrases = std::min(api->xPhraseCount(fts), most_phrases);
    int instances = 0;
    api->xInstCount(fts, &instances);
    for (int i = 0; i < instances; ++i) {
        int phrase = 0, column = 0, offset = 0;
        if (api->xInst(fts, i, &phrase, &column, &offset) != SQLITE_OK || phrase >= phrases)
            continue;
        if (column == 0) frequency[phrase] += title_weight;
        if (column == 1) frequency[phrase] += text_weight;
    }
    int title = 0, body = 0;
    api->xColumnSize(fts, 0, &title);
    api->xColumnSize(fts, 1, &body);
    double norm = rank_k1 * (1 - rank_b + rank_b * double(title + body) / context->average);
    double score = 0;
    for (int p = 0; p < phrases; ++p) {
        if (frequency[p] <= 0) continue;
        double weight = size_t(p) < context->weight.size() ? context->weight[size_t(p)] : 1.0;
        score += weight * frequency[p] * (rank_k1 + 1) / (frequency[p] + norm);
    }
    if (context->exact >= 0 && context->exact < phrases && frequency[context->exact] > 0)
        score *= exact_word_lift;
    sqlite3_result_double(ctx, -score);
}

fts5_api* fts5_of(sqlite3* db) {
    fts5_api* api = nullptr;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &s, nullptr) != SQLITE_OK) return nullptr;
    sqlite3_bind_pointer(s, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(s);
    sqlite3_finalize(s);
    return api;
}

// The words of titles and texts as the index splits them, with how many entries hold each.
// Changes gather in memory during a transaction and are written once per word at its end, so
// a batch of entries costs one write per distinct word, not one per word of every entry.
// Lives with the writer's statements: only changes (under the exclusive lock) use it.
class Vocabulary {
  public:
    explicit Vocabulary(sqlite3* db)
        : m_add(db,
                "INSERT INTO terms(term, docs) VALUES (?1, ?2) "
                "ON CONFLICT(term) DO UPDATE SET docs = docs + excluded.docs"),
          m_drop(db, "DELETE FROM terms WHERE term = ?1 AND docs <= 0") {
        fts5_api* api = fts5_of(db);
        void* context = nullptr;
        char const* args[] = {"remove_diacritics", "0"};
        if (api && api->xFindTokenizer(api, "unicode61", &context, &m_tokenizer) == SQLITE_OK)
            m_tokenizer.xCreate(context, args, 2, &m_instance);
    }
    ~Vocabulary() {
        if (m_instance) m_tokenizer.xDelete(m_instance);
    }
    Vocabulary(Vocabulary const&) = delete;
    Vocabulary& operator=(Vocabulary const&) = delete;
    bool ok() const { return m_instance && m_add && m_drop; }

    // An entry with this (normalised) title and text came (+1) or went (-1).
    void count(std::string_view title, std::string_view body, int delta) {
        m_words.clear();
        for (auto text : {title, body})
            m_tokenizer.xTokenize(m_instance, this, FTS5_TOKENIZE_DOCUMENT, text.data(),
                                  int(text.size()), &Vocabulary::token);
        std::ranges::sort(m_words);
        auto [end, _] = std::ranges::unique(m_words);
        for (auto it = m_words.begin(); it != end; ++it) m_pending[*it] += delta;
    }

    // Writes the gathered counts; within the writer's transaction, before it commits.
    bool flush() {
        bool ok = true;
        for (auto const& [term, delta] : m_pending) {
            if (delta == 0) continue;
            m_add.text(1, term);
            m_add.integer(2, delta);
            ok = m_add.step() == SQLITE_DONE;
            m_add.reset();
            if (ok && delta < 0) {
                m_drop.text(1, term);
                ok = m_drop.step() == SQLITE_DONE;
                m_drop.reset();
            }
            if (!ok) break;
        }
        m_pending.clear();
        return ok;
    }

    // After a rollback: what was gathered never happened.
    void forget() { m_pending.clear(); }

  private:
    static int token(void* self, int, char const* token, int size, int, int) {
        static_cast<Vocabulary*>(self)->m_words.emplace_back(token, size_t(size));
        return SQLITE_OK;
    }

    Statement m_add, m_drop;
    fts5_tokenizer m_tokenizer{};
    Fts5Tokenizer* m_instance = nullptr;
    std::vector<std::string> m_words;
    std::unordered_map<std::string, int64_t> m_pending;
};

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
    std::string grams;  // empty when a term is too short for substrings
    // The substrings `grams` stands for, separated by \x1f; empty when each is a trigram.
    std::string grams_contained;
    // The same, also when each is a trigram.
    std::string substrings;
    // Substrings are found by reading the (small) filtered collection's texts.
    bool scan = false;
    // Substrings are looked for only when no entry matches whole words.
    bool substrings_when_no_words = false;
    // The phrases of `words` in order, for the ranking: each as its number of words followed
    // by how many entries hold each of them (see rank_context).
    std::vector<int64_t> counts;
    // The phrase that matches the last typed word only as a whole word, when it is one of the
    // vocabulary's: an entry holding it ranks above those holding only completions.
    int64_t exact = -1;
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

// What a query's words are looked up in: the vocabulary and its counts.
struct WordLookup {
    // The words that begin with a prefix and how many entries hold each; at most
    // max_completions + 1 of them.
    std::function<std::vector<std::pair<std::string, int64_t>>(std::string const&)> completions;
    // How many entries hold the word (or, with `prefix`, some word beginning with it).
    std::function<int64_t(std::string const&, bool prefix)> documents;
};

// Words, with "quoted phrases" kept together; the last word typed also matches as a prefix
// unless the query ends with a space.
// A last word long enough is searched as the vocabulary's words that begin with it (at most
// max_completions + 1 of them): the index then walks only as far into their postings as the
// page needs, where a prefix query would gather every posting of every such word first.
MatchExpressions match_expressions(std::string const& normalized, bool ends_with_space,
                                   WordLookup const& lookup) {
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
    int64_t phrases = 0;  // in the order FTS5 numbers them
    for (size_t i = 0; i < terms.size(); ++i) {
        auto const& t = terms[i];
        bool last_open =
            i + 1 == terms.size() && !t.phrase && !ends_with_space && normalized.back() != '"';
        if (!out.words.empty()) out.words += " AND ";
        auto length = size_t(g_utf8_strlen(t.text.data(), gssize(t.text.size())));
        std::vector<std::pair<std::string, int64_t>> words;
        if (last_open && length >= completed_prefix) words = lookup.completions(t.text);
        if (!words.empty() && words.size() <= max_completions) {
            std::string any;
            for (auto const& [w, documents] : words) {
                any += (any.empty() ? "(" : " OR ") + fts_quoted(w);
                out.counts.insert(out.counts.end(), {1, documents});
                if (w == t.text) out.exact = phrases;
                ++phrases;
            }
            out.words += any + ")";
        } else if (last_open && lookup.documents(t.text, false) > 0) {
            // The prefix as before, and the word itself beside it only to mark the entries
            // holding it whole: it weighs nothing in BM25 (its instances are counted already).
            std::string quoted = fts_quoted(t.text);
            out.words += "(" + quoted + "* OR " + quoted + ")";
            out.counts.insert(out.counts.end(), {1, lookup.documents(t.text, true), 0});
            out.exact = phrases + 1;
            phrases += 2;
        } else {
            out.words += fts_quoted(t.text) + (last_open ? "*" : "");
            auto parts = t.phrase ? index_tokens(t.text) : std::vector<std::string>{t.text};
            out.counts.push_back(int64_t(parts.size()));
            for (auto const& part : parts) out.counts.push_back(lookup.documents(part, last_open));
            ++phrases;
        }
        // A quoted phrase is also found inside words ("uick brow"), as its text: its words
        // one space apart, the way the normalised texts hold them. Only when it is nowhere a
        // phrase of whole words: its trigrams are common ones, costly to look for.
        if (length < 3) substrings = false;
        if (t.phrase) out.substrings_when_no_words = true;
    }
    if (substrings) {
        bool exact = true;  // every term is a single trigram
        for (auto const& t : terms) {
            for (auto const& gram : index_grams(t.text))
                out.grams += (out.grams.empty() ? "" : " AND ") + fts_quoted(gram);
            out.grams_contained += (out.grams_contained.empty() ? "" : "\x1f") + t.text;
            exact = exact && g_utf8_strlen(t.text.data(), gssize(t.text.size())) == 3;
        }
        out.substrings = out.grams_contained;
        if (exact) out.grams_contained.clear();
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
    // Queries read the index through a memory map and a page cache large enough for the
    // postings of common words, rather than copying pages in on every search.
    if (on_disk && !exec(db,
                         "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                         "PRAGMA mmap_size=1073741824; PRAGMA cache_size=-32768"))
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
    fts5_api* fts = fts5_of(db);
    if (!fts ||
        fts->xCreateFunction(fts, "search_rank", nullptr, search_rank, nullptr) != SQLITE_OK)
        return std::unexpected(error_of(db, "registering the ranking"));
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
          remove(db, "DELETE FROM entries WHERE address = ?1 RETURNING ntitle, nbody"),
          vocabulary(db) {}
    bool ok() const { return find && insert && remove && vocabulary.ok(); }
    Statement find, insert, remove;
    Vocabulary vocabulary;
};

// The searches' prepared statements, kept for the next search. Queries may run on several
// threads at once (they share the lock), so each takes a statement of its own from the pool
// and gives it back when done.
struct SearchCatalog::QueryStatements {
    enum Kind {
        WordSlice,
        GramSlice,
        TrigramSlice,
        ScanSlice,
        CollectionSize,
        Completions,
        Documents,
        PrefixDocuments,
        kinds
    };

    class Lease {
      public:
        Lease(QueryStatements& pool, Kind kind) : m_pool(pool), m_kind(kind) {
            std::lock_guard lock(pool.m_mutex);
            auto& free = pool.m_free[kind];
            if (!free.empty()) {
                m_statement = std::move(free.back());
                free.pop_back();
            }
        }
        ~Lease() {
            if (!m_statement) return;
            m_statement.reset();
            std::lock_guard lock(m_pool.m_mutex);
            m_pool.m_free[m_kind].push_back(std::move(m_statement));
        }
        Lease(Lease const&) = delete;
        Lease& operator=(Lease const&) = delete;
        Statement const& get() {
            if (!m_statement) m_statement = Statement(m_pool.m_db, sql(m_kind));
            return m_statement;
        }

      private:
        QueryStatements& m_pool;
        Kind m_kind;
        Statement m_statement;
    };

    explicit QueryStatements(sqlite3* db) : m_db(db) {}
    Lease lease(Kind kind) { return Lease(*this, kind); }

  private:
    static std::string const& sql(Kind kind) {
        static std::string const texts[kinds] = {
            words_slice_sql(), grams_slice_sql(GramSource::Confirmed),
            grams_slice_sql(GramSource::Exact), grams_slice_sql(GramSource::Scan),
            "SELECT COUNT(*) FROM (SELECT 1 FROM entries WHERE collection = ?1 LIMIT ?2)",
            "SELECT term, docs FROM terms WHERE term >= ?1 AND term < ?2 ORDER BY term LIMIT ?3",
            "SELECT docs FROM terms WHERE term = ?1",
            // A short prefix may begin thousands of words: their counts are added up to a
            // bound, past which the prefix counts as common anyway.
            "SELECT SUM(docs) FROM (SELECT docs FROM terms WHERE term >= ?1 AND term < ?2 "
            "LIMIT 4096)"};
        return texts[kind];
    }
    sqlite3* m_db;
    std::mutex m_mutex;
    std::vector<Statement> m_free[kinds];
};

struct SearchCatalog::Slice {
    std::vector<SearchResult> results;
    size_t kept = 0;     // matches in the slice that the collection and scope let through
    size_t size = 0;     // matches in the slice
    int64_t oldest = 0;  // where the next slice starts
};

SearchCatalog::SearchCatalog(std::string name, sqlite3* db, std::filesystem::path path,
                             OpenOutcome outcome)
    : m_name(std::move(name)),
      m_db(db),
      m_path(std::move(path)),
      m_outcome(outcome),
      m_instance(random_instance()),
      m_statements(std::make_unique<Statements>(db)),
      m_queries(std::make_unique<QueryStatements>(db)) {
    m_newest = std::max<int64_t>(0, pragma_int(db, "SELECT COALESCE(MAX(ts), 0) FROM entries"));
}

SearchCatalog::~SearchCatalog() {
    m_statements.reset();
    m_queries.reset();
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
            roll_back_locked();
            return std::unexpected(outcome.error());
        }
        outcomes.push_back(*outcome);
    }
    if (auto done = commit_locked("storing search entries"); !done)
        return std::unexpected(done.error());
    return outcomes;
}

std::expected<void, std::string> SearchCatalog::commit_locked(char const* what) {
    if (!m_statements->vocabulary.flush()) {
        auto error = error_of(m_db, "counting the words of search entries");
        roll_back_locked();
        return std::unexpected(error);
    }
    if (!exec(m_db, "COMMIT")) {
        auto error = error_of(m_db, what);
        roll_back_locked();
        return std::unexpected(error);
    }
    return {};
}

void SearchCatalog::roll_back_locked() {
    exec(m_db, "ROLLBACK");
    m_statements->vocabulary.forget();
    changed();
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
    s.vocabulary.count(title, body, +1);
    changed();
    if (e.timestamp > m_newest) m_newest = e.timestamp;
    return exists ? InsertOutcome::Replaced : InsertOutcome::Added;
}

std::expected<bool, std::string> SearchCatalog::remove_postings(std::string_view address) {
    std::unique_lock lock(m_lock);
    if (!exec(m_db, "BEGIN IMMEDIATE")) return std::unexpected(error_of(m_db, "starting a change"));
    auto removed = remove_locked(address);
    if (!removed) {
        roll_back_locked();
        return removed;
    }
    if (auto done = commit_locked("removing a search entry"); !done)
        return std::unexpected(done.error());
    return removed;
}

std::expected<bool, std::string> SearchCatalog::remove_locked(std::string_view address) {
    auto const& q = m_statements->remove;
    q.text(1, address);
    bool removed = false;
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
        m_statements->vocabulary.count(q.column_view(0), q.column_view(1), -1);
        removed = true;
    }
    q.reset();
    if (rc != SQLITE_DONE) return std::unexpected(error_of(m_db, "removing a search entry"));
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
            roll_back_locked();
            return std::unexpected(removed.error());
        }
    }
    if (auto done = commit_locked("removing search entries"); !done)
        return std::unexpected(done.error());
    return gone.size();
}

std::vector<std::string> SearchCatalog::addresses() const {
    std::shared_lock lock(m_lock);
    std::vector<std::string> out;
    Statement s(m_db, "SELECT address FROM entries");
    while (s && s.step() == SQLITE_ROW) out.push_back(s.column_text(0));
    return out;
}

std::vector<std::pair<std::string, int64_t>> SearchCatalog::words_with_prefix(
    std::string const& prefix) const {
    auto lease = m_queries->lease(QueryStatements::Completions);
    auto const& s = lease.get();
    std::vector<std::pair<std::string, int64_t>> out;
    if (!s) return out;
    s.text(1, prefix);
    s.text(2, prefix + '\xff');  // no UTF-8 text continues with this byte
    s.integer(3, int64_t(max_completions + 1));
    while (s.step() == SQLITE_ROW) out.emplace_back(s.column_text(0), s.column_int(1));
    return out;
}

int64_t SearchCatalog::documents_locked(std::string const& word, bool prefix) const {
    auto lease =
        m_queries->lease(prefix ? QueryStatements::PrefixDocuments : QueryStatements::Documents);
    auto const& s = lease.get();
    if (!s) return 0;
    s.text(1, word);
    if (prefix) s.text(2, word + '\xff');
    return s.step() == SQLITE_ROW ? s.column_int(0) : 0;
}

bool SearchCatalog::collection_is_small(std::string const& collection) const {
    auto lease = m_queries->lease(QueryStatements::CollectionSize);
    auto const& s = lease.get();
    if (!s) return false;
    s.text(1, collection);
    s.integer(2, scanned_collection + 1);
    return s.step() == SQLITE_ROW && s.column_int(0) <= scanned_collection;
}

size_t SearchCatalog::documents_with(std::string_view word) const {
    auto tokens = index_tokens(normalize_search_text(word));
    if (tokens.size() != 1) return 0;
    std::shared_lock lock(m_lock);
    return size_t(std::max<int64_t>(0, documents_locked(tokens.front(), false)));
}

std::expected<SearchCatalog::Slice, std::string> SearchCatalog::read_slice(
    MatchExpressions const& match, SearchQuery const& query, SearchCursor const& at,
    size_t limit) const {
    bool words = at.tier == 0;
    auto kind = words                           ? QueryStatements::WordSlice
                : match.scan                    ? QueryStatements::ScanSlice
                : match.grams_contained.empty() ? QueryStatements::TrigramSlice
                                                : QueryStatements::GramSlice;
    auto lease = m_queries->lease(kind);
    auto const& s = lease.get();
    if (!s) return std::unexpected(error_of(m_db, "preparing a search"));
    if (words) {
        s.text(1, match.words);
        sqlite3_bind_blob(s.get(), 11, match.counts.data(), int(match.counts.size() * 8),
                          SQLITE_TRANSIENT);
        s.integer(12, match.exact);
    } else if (match.scan) {
        s.text(9, match.substrings);
        s.text(10, match.words);
    } else {
        s.text(1, match.grams);
        if (!match.grams_contained.empty()) s.text(9, match.grams_contained);
        s.text(10, match.words);
    }
    size_t skip = at.offset - at.slice_start;
    s.integer(2, at.below);
    s.integer(3, slice_size);
    s.integer(4, m_newest.load());
    s.optional_text(5, query.collection);
    s.optional_text(6, query.scope);
    s.integer(7, int64_t(limit));
    s.integer(8, int64_t(skip));
    Slice out;
    out.kept = skip;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        out.size = size_t(s.column_int(0));
        out.oldest = s.column_int(1);
        if (s.column_null(2)) continue;  // the page takes nothing of this slice
        SearchResult r;
        r.collection = s.column_text(3);
        r.title = s.column_text(4);
        r.kind = s.column_optional(5);
        r.subtitle = s.column_optional(6);
        r.resource = {s.column_text(7), s.column_text(8), s.column_text(9)};
        r.action_address = s.column_text(10);
        r.score = s.column_real(11);
        out.kept = size_t(s.column_int(12));
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
    WordLookup lookup{
        [&](std::string const& prefix) { return words_with_prefix(prefix); },
        [&](std::string const& word, bool prefix) { return documents_locked(word, prefix); }};
    auto match = match_expressions(normalized, trailing_space, lookup);
    if (match.words.empty()) return page;
    // The collection and scope narrow the postings too, so a filtered search of a common word
    // does not walk every match; the exact comparison follows in SQL.
    for (auto const& [column, value] :
         {std::pair{"collection", query.collection}, std::pair{"scope", query.scope}}) {
        if (!value) continue;
        match.words += column_filter(column, *value, false);
        if (!match.grams.empty()) match.grams += column_filter(column, *value, true);
    }

    // Whole-word matches come first, substrings after; when the words fill the page the
    // substrings are not looked for yet (they cost the most). The total counts the matches
    // of the slices read so far.
    match.scan = !match.grams.empty() && query.collection && collection_is_small(*query.collection);
    uint8_t tiers = match.grams.empty() ? 1 : 2;
    SearchCursor at = cursor.value_or(SearchCursor{m_instance, generation, key});
    size_t known = at.slice_start;
    for (int read = 0;
         at.tier < tiers && page.results.size() < limits.page_size && read < slices_per_page;
         ++read) {
        auto slice = read_slice(match, query, at, limits.page_size - page.results.size());
        if (!slice) {
            page.status = PageStatus::Failed;
            page.error = slice.error();
            page.results.clear();
            return page;
        }
        at.offset += slice->results.size();
        std::ranges::move(slice->results, std::back_inserter(page.results));
        known = at.slice_start + slice->kept;
        if (at.offset < known) break;  // the page is full and the slice goes on
        at.slice_start = known;
        if (slice->size == size_t(slice_size)) {
            at.below = slice->oldest;
        } else {
            ++at.tier;
            at.below = INT64_MAX;
            if (match.substrings_when_no_words && known > 0) at.tier = tiers;
        }
    }
    page.total = known;
    if (at.tier < tiers) {
        page.status = PageStatus::More;
        page.next = at;
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
