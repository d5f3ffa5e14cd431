// Reading and writing documents: document chunks (rebuilding their changes so hashes can be
// checked) and change chunks.

#include <algorithm>
#include <numeric>

#include "op_set/document.hpp"
#include "storage/columns.hpp"

namespace automerge::op_set {

namespace {

using storage::OpRow;
using storage::RawColumn;

constexpr uint64_t base_item_limit = uint64_t{1} << 20;
constexpr uint64_t items_per_byte = 16;

namespace change_column {
constexpr uint32_t actor = 0x01, seq = 0x03, max_op = 0x13, time = 0x23, message = 0x35,
                   deps_count = 0x40, deps_index = 0x43, extra_meta = 0x56, extra_raw = 0x57;
}

struct MetaRow {
    uint32_t actor = 0;
    uint64_t seq = 0;
    uint64_t max_op = 0;
    int64_t time = 0;
    std::optional<std::string> message;
    std::vector<uint64_t> deps;
    std::vector<uint8_t> extra;
};

std::span<uint8_t const> column(storage::ColumnMap const& m, uint32_t s) {
    auto it = m.find(s);
    return it == m.end() ? std::span<uint8_t const>{} : it->second;
}

Result<std::vector<MetaRow>> decode_change_meta(storage::ColumnMap const& cols, size_t num_actors,
                                                uint64_t limit) {
    using namespace storage;
    auto count = RleDecoder<uint64_t>::count(column(cols, change_column::actor), limit);
    if (!count) return fail("malformed change metadata");
    RleDecoder<uint64_t> actor(column(cols, change_column::actor));
    DeltaDecoder seq(column(cols, change_column::seq));
    DeltaDecoder max_op(column(cols, change_column::max_op));
    DeltaDecoder time(column(cols, change_column::time));
    RleDecoder<std::string> message(column(cols, change_column::message));
    RleDecoder<uint64_t> deps_count(column(cols, change_column::deps_count));
    DeltaDecoder deps_index(column(cols, change_column::deps_index));
    RleDecoder<uint64_t> extra_meta(column(cols, change_column::extra_meta));
    Reader extra_raw(column(cols, change_column::extra_raw));

    std::vector<MetaRow> rows;
    for (uint64_t i = 0; i < *count; ++i) {
        MetaRow row;
        std::optional<uint64_t> a, nd, em;
        std::optional<int64_t> s, m, t;
        std::optional<std::string> msg;
        if (!actor.next(a) || !seq.next(s) || !max_op.next(m) || !time.next(t) ||
            !message.next(msg) || !deps_count.next(nd) || !extra_meta.next(em))
            return fail("malformed change metadata");
        if (!a || *a >= num_actors || !s || *s <= 0 || !m || *m < 0)
            return fail("change metadata refers to an unknown actor or bad counter");
        row.actor = static_cast<uint32_t>(*a);
        row.seq = static_cast<uint64_t>(*s);
        row.max_op = static_cast<uint64_t>(*m);
        row.time = t.value_or(0);
        if (msg && !valid_utf8(*msg)) return fail("change message is not UTF-8");
        if (msg) row.message = std::move(msg);
        for (uint64_t d = 0; d < nd.value_or(0); ++d) {
            std::optional<int64_t> dep;
            if (!deps_index.next(dep) || !dep || *dep < 0 || static_cast<uint64_t>(*dep) >= i)
                return fail("change dependency refers to a later or unknown change");
            row.deps.push_back(static_cast<uint64_t>(*dep));
        }
        auto extra = extra_raw.take(em.value_or(0) >> 4);
        if (!extra) return fail("change extra bytes past the end of their column");
        row.extra.assign(extra->begin(), extra->end());
        rows.push_back(std::move(row));
    }
    return rows;
}

// A document's ops, whether decoded into rows or already built into an op set, seen the same
// way by the code that rebuilds the document's changes from them.
struct RowOps {
    std::vector<OpRow> const& rows;
    OpIndex by_id;
    static Result<RowOps> make(std::vector<OpRow> const& rows) {
        RowOps out{rows, {}};
        for (uint32_t i = 0; i < rows.size(); ++i)
            if (!out.by_id.insert(rows[i].id, i)) return fail("duplicate op id in document");
        return out;
    }
    std::optional<uint32_t> find(OpRef id) const { return by_id.find(id); }
    std::optional<std::span<uint32_t const>> by_counter(uint32_t actor) const {
        return by_id.by_counter(actor);
    }
    template <class F>
    void for_each_with_succ(F&& f) const {
        for (uint32_t i = 0; i < rows.size(); ++i)
            if (!rows[i].refs.empty()) f(i);
    }
    size_t size() const { return rows.size(); }
    OpRow const& at(size_t i) const { return rows[i]; }
    OpRef id(size_t i) const { return rows[i].id; }
    OpRef obj(size_t i) const { return rows[i].obj; }
    std::string const* key(size_t i) const { return rows[i].key_str ? &*rows[i].key_str : nullptr; }
    OpRef elem(size_t i) const { return rows[i].elem; }
    bool insert(size_t i) const { return rows[i].insert; }
    uint64_t action(size_t i) const { return rows[i].action; }
    ScalarValue const& value(size_t i) const { return rows[i].value; }
    std::span<OpRef const> succ(size_t i) const { return rows[i].refs; }
    bool expand(size_t i) const { return rows[i].expand; }
    std::string const* mark_name(size_t i) const {
        return rows[i].mark_name ? &*rows[i].mark_name : nullptr;
    }
};

struct SetOps {
    OpSet const& ops;
    std::optional<uint32_t> find(OpRef id) const { return ops.find_op(id); }
    std::optional<std::span<uint32_t const>> by_counter(uint32_t actor) const {
        return ops.ops_by_counter(actor);
    }
    template <class F>
    void for_each_with_succ(F&& f) const {
        ops.for_each_with_succ(f);
    }
    size_t size() const { return ops.num_ops(); }
    OpRef id(size_t i) const { return op(i).id; }
    OpRef obj(size_t i) const { return ops.obj(op(i).obj).id; }
    std::string const* key(size_t i) const {
        auto kind = ops.obj(op(i).obj).kind;
        return kind == ObjKind::List || kind == ObjKind::Text ? nullptr : ops.key_of(op(i));
    }
    OpRef elem(size_t i) const {
        auto kind = ops.obj(op(i).obj).kind;
        return kind == ObjKind::List || kind == ObjKind::Text ? ops.elem_of(op(i)) : OpRef{};
    }
    bool insert(size_t i) const { return op(i).insert; }
    uint64_t action(size_t i) const { return op(i).action; }
    ScalarValue const& value(size_t i) const { return op(i).value; }
    std::span<OpRef const> succ(size_t i) const { return ops.succ_of(op(i)); }
    bool expand(size_t i) const { return op(i).expand; }
    std::string const* mark_name(size_t i) const { return ops.mark_name_of(op(i)); }
    Op const& op(size_t i) const { return ops.op(static_cast<uint32_t>(i)); }
};

// Rebuilds a document's changes from its ops and change metadata, checking that they hash
// to the document's heads.
template <class Ops>
Result<std::vector<ParsedChange>> rebuild_changes(Ops const& ops,
                                                  std::vector<ActorId> const& actors,
                                                  std::vector<MetaRow>& metas,
                                                  std::set<ChangeHash> const& heads,
                                                  uint64_t limit) {
    using namespace storage;
    size_t n = ops.size();
    // Predecessors are the inverse of successors; a successor that is not itself an op is
    // a deletion, which documents store only in this form. Targets are ops (by index) and
    // then deletions; their predecessors are kept in one array, a slice per target.
    struct Deletion {
        OpRef id;
        uint32_t source;  // an op it deletes: the deletion targets the same key or element
    };
    OpIndex delete_index;
    std::vector<Deletion> deletes;
    std::vector<uint32_t> pred_start(n + 1, 0);  // counts first, then offsets
    std::vector<uint32_t> delete_count;
    bool too_large = false;
    ops.for_each_with_succ([&](uint32_t i) {
        for (auto const& s : ops.succ(i)) {
            if (auto it = ops.find(s)) {
                ++pred_start[*it];
                continue;
            }
            auto di = static_cast<uint32_t>(deletes.size());
            if (delete_index.insert(s, di)) {
                if (deletes.size() >= limit) too_large = true;
                deletes.push_back({s, i});
                delete_count.push_back(0);
            } else {
                di = *delete_index.find(s);
            }
            ++delete_count[di];
        }
    });
    if (too_large) return fail("document too large");
    pred_start.insert(pred_start.end() - 1, delete_count.begin(), delete_count.end());
    uint32_t total_preds = 0;
    for (auto& count : pred_start) {
        uint32_t c = count;
        count = total_preds;
        total_preds += c;
    }
    std::vector<OpRef> pred_list(total_preds);
    {
        std::vector<uint32_t> fill(pred_start.begin(), pred_start.end() - 1);
        ops.for_each_with_succ([&](uint32_t i) {
            for (auto const& s : ops.succ(i)) {
                auto it = ops.find(s);
                size_t target = it ? *it : n + *delete_index.find(s);
                pred_list[fill[target]++] = ops.id(i);
            }
        });
    }
    auto lamport = [](OpRef a, OpRef b) {
        return a.counter != b.counter ? a.counter < b.counter : a.actor < b.actor;
    };
    for (size_t t = 0; t + 1 < pred_start.size(); ++t)
        if (pred_start[t + 1] - pred_start[t] > 1)
            std::sort(pred_list.begin() + pred_start[t], pred_list.begin() + pred_start[t + 1],
                      lamport);
    auto preds_of = [&](size_t j) {
        return std::span<OpRef const>(pred_list).subspan(pred_start[j],
                                                         pred_start[j + 1] - pred_start[j]);
    };

    // Every op and deletion (index n + k) of the document, bucketed by actor and sorted by
    // counter. An actor's ops come straight from the id index when it holds them by counter;
    // otherwise, as its deletions, they are placed by counter when dense and sorted if not.
    auto counter_of = [&](uint32_t j) {
        return j < n ? ops.id(j).counter : deletes[j - n].id.counter;
    };
    using Entry = std::pair<uint64_t, uint32_t>;
    auto in_order = [](std::vector<Entry>& list) {
        if (list.empty()) return;
        auto [lo, hi] = std::minmax_element(list.begin(), list.end());
        uint64_t first = lo->first;
        uint64_t range = hi->first - first + 1;
        if (range > 2 * uint64_t{list.size()} + 64) {
            std::sort(list.begin(), list.end());
            return;
        }
        std::vector<Entry> placed(range, {0, UINT32_MAX});
        for (auto const& entry : list) placed[entry.first - first] = entry;
        std::erase_if(placed, [](Entry const& e) { return e.second == UINT32_MAX; });
        list = std::move(placed);
    };
    std::vector<std::optional<std::span<uint32_t const>>> indexed(actors.size());
    std::vector<std::vector<Entry>> listed(actors.size());
    bool any_listed = false;
    for (uint32_t a = 0; a < actors.size(); ++a) any_listed |= !(indexed[a] = ops.by_counter(a));
    if (any_listed)
        for (uint32_t i = 0; i < n; ++i)
            if (!indexed[ops.id(i).actor])
                listed[ops.id(i).actor].emplace_back(ops.id(i).counter, i);
    std::vector<std::vector<Entry>> deleted(actors.size());
    for (uint32_t k = 0; k < deletes.size(); ++k)
        deleted[deletes[k].id.actor].emplace_back(deletes[k].id.counter,
                                                  static_cast<uint32_t>(n + k));
    std::vector<std::vector<uint32_t>> by_actor(actors.size());
    for (uint32_t a = 0; a < actors.size(); ++a) {
        auto& list = listed[a];
        auto& dels = deleted[a];
        auto& out = by_actor[a];
        if (!indexed[a]) {
            list.insert(list.end(), dels.begin(), dels.end());
            in_order(list);
            out.reserve(list.size());
            for (auto const& e : list) out.push_back(e.second);
            continue;
        }
        in_order(dels);
        auto d = dels.begin();
        auto slots = *indexed[a];
        for (uint64_t c = 0; c < slots.size(); ++c) {
            if (slots[c] == OpIndex::empty) continue;
            while (d != dels.end() && d->first < c) out.push_back((d++)->second);
            out.push_back(slots[c]);
        }
        while (d != dels.end()) out.push_back((d++)->second);
    }

    // One op or deletion of a change, as the change stores it.
    static ScalarValue const null_value;
    struct View {
        OpRef obj;
        std::string const* key;
        OpRef elem;
        bool insert;
        uint64_t action;
        ScalarValue const* value;
        bool expand;
        std::string const* mark_name;
    };
    auto view = [&](uint32_t j) -> View {
        if (j < n)
            return {ops.obj(j),    ops.key(j),    ops.elem(j),   ops.insert(j),
                    ops.action(j), &ops.value(j), ops.expand(j), ops.mark_name(j)};
        uint32_t src = deletes[j - n].source;
        std::string const* key = ops.key(src);
        OpRef elem = key ? OpRef{} : ops.insert(src) ? ops.id(src) : ops.elem(src);
        return {ops.obj(src), key, elem, false, del, &null_value, false, nullptr};
    };

    std::vector<size_t> cursor(actors.size(), 0);
    std::vector<uint64_t> last_seq(actors.size(), 0);
    std::vector<uint64_t> last_max(actors.size(), 0);
    std::vector<uint32_t> local(actors.size(), 0);
    std::vector<ParsedChange> out;
    out.reserve(metas.size());
    // The heads are the changes no later change depends on.
    std::vector<bool> depended_on(metas.size(), false);
    std::vector<OpRef> local_preds;
    std::vector<uint32_t> others;
    std::vector<View> views;
    std::vector<std::string const*> chain;
    OpColumnsWriter writer(OpLayout::Change);
    std::vector<uint8_t> columns;
    std::vector<uint8_t> encoded;
    for (auto& meta : metas) {
        uint32_t a = meta.actor;
        if (meta.seq != last_seq[a] + 1) return fail("document changes out of order");
        if (meta.max_op < last_max[a]) return fail("document change max op goes backwards");
        last_seq[a] = meta.seq;
        last_max[a] = meta.max_op;
        auto& list = by_actor[a];
        size_t begin = cursor[a];
        size_t end = begin;
        while (end < list.size() && counter_of(list[end]) <= meta.max_op) ++end;
        cursor[a] = end;
        uint64_t count = end - begin;
        uint64_t start_op = meta.max_op - count + 1;
        if (count > meta.max_op) return fail("document change holds more ops than its counters");
        for (size_t k = begin; k < end; ++k)
            if (counter_of(list[k]) != start_op + (k - begin))
                return fail("document ops have gaps");

        ChangeChunk chunk;
        chunk.seq = meta.seq;
        chunk.start_op = start_op;
        chunk.time = meta.time;
        chunk.message = std::move(meta.message);
        chunk.extra = std::move(meta.extra);
        chunk.deps.reserve(meta.deps.size());
        for (uint64_t d : meta.deps) {
            chunk.deps.push_back(out[d].hash);
            depended_on[d] = true;
        }
        others.clear();
        auto note = [&](OpRef ref) {
            if (ref.counter != 0 && ref.actor != a) others.push_back(ref.actor);
        };
        views.clear();
        for (size_t k = begin; k < end; ++k) {
            View const& v = views.emplace_back(view(list[k]));
            note(v.obj);
            if (!v.key) note(v.elem);
            for (auto const& p : preds_of(list[k])) note(p);
        }
        std::sort(others.begin(), others.end(),
                  [&](uint32_t x, uint32_t y) { return actors[x] < actors[y]; });
        others.erase(std::unique(others.begin(), others.end()), others.end());
        chunk.actors.push_back(actors[a]);
        local[a] = 0;
        for (uint32_t o : others) {
            local[o] = static_cast<uint32_t>(chunk.actors.size());
            chunk.actors.push_back(actors[o]);
        }
        auto to_local = [&](OpRef ref) {
            return ref.counter == 0 ? ref : OpRef{ref.counter, local[ref.actor]};
        };
        // A character typed right after the op before it in the change (the commonest op
        // of a text's changes): such runs go to the writer as one chain.
        auto typed_after_previous = [&](size_t i) -> std::string const* {
            View const& v = views[i];
            uint64_t counter = start_op + i;
            if (!v.insert || v.action != set || v.expand || v.mark_name || counter < 2 ||
                v.elem != OpRef{counter - 1, a} || !preds_of(list[begin + i]).empty())
                return nullptr;
            return std::get_if<std::string>(v.value);
        };
        for (size_t i = 0; i < views.size();) {
            View const& v = views[i];
            if (auto const* text = typed_after_previous(i)) {
                chain.assign(1, text);
                size_t j = i + 1;
                for (; j < views.size() && views[j].obj == v.obj; ++j) {
                    auto const* next = typed_after_previous(j);
                    if (!next) break;
                    chain.push_back(next);
                }
                writer.add_string_chain(to_local(v.obj), OpRef{start_op + i, 0}, chain);
                i = j;
                continue;
            }
            local_preds.clear();
            for (auto const& p : preds_of(list[begin + i])) local_preds.push_back(to_local(p));
            writer.add(to_local(v.obj), v.key, to_local(v.elem), OpRef{}, v.insert, v.action,
                       *v.value, local_preds, v.expand, v.mark_name);
            ++i;
        }
        columns.clear();
        writer.finish_into(columns);
        encode_change_body(chunk, columns, encoded);
        ParsedChange parsed;
        parsed.raw = make_chunk(ChunkType::Change, encoded, parsed.hash);
        parsed.chunk = std::move(chunk);
        parsed.num_ops = count;
        parsed.ops_dropped = true;
        out.push_back(std::move(parsed));
    }
    for (size_t a = 0; a < actors.size(); ++a)
        if (cursor[a] != by_actor[a].size()) return fail("document ops belong to no change");
    std::set<ChangeHash> derived_heads;
    for (size_t i = 0; i < out.size(); ++i)
        if (!depended_on[i]) derived_heads.insert(out[i].hash);
    if (derived_heads != heads) return fail("document heads do not match its changes");
    return out;
}

}  // namespace

Result<Document::Reconstructed> Document::reconstruct(std::span<uint8_t const> body,
                                                      std::span<uint8_t const> chunk_raw,
                                                      bool build_ops) {
    using namespace storage;
    uint64_t limit = base_item_limit + items_per_byte * chunk_raw.size();
    Reader r(body);
    auto num_actors = r.uleb();
    if (!num_actors || *num_actors > r.remaining()) return fail("bad document actor list");
    Reconstructed out;
    auto& actors = out.actors;
    for (uint64_t i = 0; i < *num_actors; ++i) {
        auto len = r.uleb();
        if (!len) return fail("bad document actor list");
        auto bytes = r.take(*len);
        if (!bytes) return fail("bad document actor list");
        actors.emplace_back(std::vector<uint8_t>(bytes->begin(), bytes->end()));
    }
    auto num_heads = r.uleb();
    if (!num_heads || *num_heads > r.remaining() / 32) return fail("bad document heads");
    std::set<ChangeHash> heads;
    for (uint64_t i = 0; i < *num_heads; ++i) {
        ChangeHash h;
        auto bytes = r.take(32);
        std::copy(bytes->begin(), bytes->end(), h.bytes.begin());
        heads.insert(h);
    }
    auto change_meta = read_column_meta(r);
    if (!change_meta) return std::unexpected(change_meta.error());
    auto op_meta = read_column_meta(r);
    if (!op_meta) return std::unexpected(op_meta.error());

    // Column data, inflated where needed. Inflated sizes share one budget. The cache of
    // deflated columns holds this document's alone, so what it keeps stays bounded by one
    // document however many arrive.
    m_deflated.clear();
    size_t budget = max_inflated_size;
    auto read_columns = [&](auto const& meta) -> Result<ColumnMap> {
        ColumnMap cols;
        for (auto [s, len] : meta) {
            auto data = r.take(len);
            if (!data) return fail("column length past the end of the document");
            if (s & column_id::deflate_bit) {
                auto raw = inflate_raw(*data, budget);
                if (!raw) return std::unexpected(raw.error());
                budget -= raw->size();
                // Moving the entry keeps the inflated bytes where the span points.
                m_deflated.push_back({std::move(*raw), {data->begin(), data->end()}});
                cols[s & ~column_id::deflate_bit] = m_deflated.back().inflated;
            } else {
                cols[s] = *data;
            }
        }
        return cols;
    };
    auto change_cols = read_columns(*change_meta);
    if (!change_cols) return std::unexpected(change_cols.error());
    auto op_cols = read_columns(*op_meta);
    if (!op_cols) return std::unexpected(op_cols.error());
    // What follows (head indices) is redundant with the heads; it is regenerated on save.

    auto metas = decode_change_meta(*change_cols, actors.size(), limit);
    if (!metas) return std::unexpected(metas.error());

    // Actor indices double as ranks in an op set built here only when the table is in byte
    // order, as saved documents keep it.
    for (size_t i = 1; build_ops && i < actors.size(); ++i) build_ops = actors[i - 1] < actors[i];
    if (build_ops) {
        // Each row goes straight into the op set, which the changes are then rebuilt from.
        OpSet ops;
        std::vector<uint32_t> ranks(actors.size());
        std::iota(ranks.begin(), ranks.end(), 0u);
        ops.set_actor_ranks(std::move(ranks));
        auto count = count_ops(*op_cols, limit);
        if (!count) return fail("malformed or oversized action column");
        size_t bytes = 0;
        for (auto const& [id, data] : *op_cols) bytes += data.size();
        uint64_t expected = std::min<uint64_t>(*count, 4 * uint64_t{bytes} + 1024);
        ops.reserve(expected);
        // Counters of a document's actors are mostly dense: size their id tables up front,
        // within about two slots per op in all.
        std::vector<uint64_t> max_counter(actors.size(), 0);
        for (auto const& m : *metas)
            max_counter[m.actor] = std::max(max_counter[m.actor], m.max_op);
        uint64_t budget = 2 * expected + 4096;
        for (uint32_t a = 0; a < actors.size(); ++a) {
            if (max_counter[a] + 1 > budget) continue;
            budget -= max_counter[a] + 1;
            ops.reserve_actor(a, max_counter[a], expected);
        }
        OpSet::Loading loading;
        bool general = false;
        auto decoded = decode_ops_each(*op_cols, OpLayout::Document, actors.size(), limit,
                                       [&](OpRow& row) -> Result<void> {
                                           // Deletions are never rows of a saved document;
                                           // the general path copes with them.
                                           if (row.action == del) general = true;
                                           if (general) return {};
                                           return ops.load_row(std::move(row), loading);
                                       });
        if (!decoded) return std::unexpected(decoded.error());
        if (!general) {
            ops.finish_load(loading);
            auto changes = rebuild_changes(SetOps{ops}, actors, *metas, heads, limit);
            if (!changes) return std::unexpected(changes.error());
            out.changes = std::move(*changes);
            out.ops = std::move(ops);
            return out;
        }
    }
    auto rows = decode_ops(*op_cols, OpLayout::Document, actors.size(), limit);
    if (!rows) return std::unexpected(rows.error());
    auto row_ops = RowOps::make(*rows);
    if (!row_ops) return std::unexpected(row_ops.error());
    auto changes = rebuild_changes(*row_ops, actors, *metas, heads, limit);
    if (!changes) return std::unexpected(changes.error());
    out.changes = std::move(*changes);
    return out;
}

// Whether every head a document chunk names is in our history already, read from its
// header alone: the chunk then holds nothing new (our history is closed under
// dependencies). A peer that sends the whole document twice, as crossing sync messages
// make it do, costs only this.
bool Document::holds_heads_of(std::span<uint8_t const> body) const {
    storage::Reader r(body);
    auto num_actors = r.uleb();
    if (!num_actors || *num_actors > r.remaining()) return false;
    for (uint64_t i = 0; i < *num_actors; ++i) {
        auto len = r.uleb();
        if (!len || !r.take(*len)) return false;
    }
    auto num_heads = r.uleb();
    if (!num_heads || *num_heads == 0 || *num_heads > r.remaining() / 32) return false;
    for (uint64_t i = 0; i < *num_heads; ++i) {
        ChangeHash h;
        auto bytes = r.take(32);
        std::copy(bytes->begin(), bytes->end(), h.bytes.begin());
        if (!m_change_index.contains(h)) return false;
    }
    return true;
}

Result<size_t> Document::load_bytes(std::span<uint8_t const> bytes) {
    using namespace storage;
    Reader reader(bytes);
    std::vector<ParsedChange> changes;
    uint64_t limit = base_item_limit + items_per_byte * bytes.size();
    size_t applied_ops = 0;
    while (!reader.done()) {
        auto chunk = read_chunk(reader);
        if (!chunk) return std::unexpected(chunk.error());
        if (chunk->type == ChunkType::Document) {
            // Change chunks read so far come first: the document may build on them.
            if (!changes.empty()) {
                auto r = apply(std::move(changes));
                if (!r) return std::unexpected(r.error());
                applied_ops += *r;
                changes.clear();
            }
            if (holds_heads_of(chunk->body)) continue;
            // Into an empty document the op set is built straight from the document's rows.
            bool fresh = m_changes.empty() && m_queue.empty() && m_actors.empty() && !m_tx &&
                         m_ops.num_ops() == 0;
            auto rebuilt = reconstruct(chunk->body, chunk->raw, fresh);
            if (!rebuilt) return std::unexpected(rebuilt.error());
            if (rebuilt->ops) {
                applied_ops += load_fresh(std::move(*rebuilt));
                continue;
            }
            auto r = apply_in_order(std::move(rebuilt->changes));
            if (!r) return std::unexpected(r.error());
            applied_ops += *r;
            continue;
        }
        auto decoded = decode_change_body(chunk->body, limit);
        if (!decoded) return std::unexpected(decoded.error());
        ParsedChange parsed;
        parsed.hash = chunk_hash(ChunkType::Change, chunk->body);
        parsed.raw = chunk->owned_body.empty()
                         ? std::vector<uint8_t>(chunk->raw.begin(), chunk->raw.end())
                         : make_chunk(ChunkType::Change, chunk->body);
        parsed.chunk = std::move(*decoded);
        parsed.drop_ops();
        changes.push_back(std::move(parsed));
    }
    auto r = apply(std::move(changes));
    if (!r) return std::unexpected(r.error());
    return applied_ops + *r;
}

// ---------------------------------------------------------------------------------------
// saving

namespace {

void push(std::vector<RawColumn>& out, uint32_t s, std::vector<uint8_t> data) {
    if (!data.empty()) out.push_back({s, std::move(data)});
}

}  // namespace

std::vector<uint8_t> Document::save() {
    using namespace storage;
    // Actors that authored changes, in byte order; ops mention no others.
    std::vector<uint32_t> used;
    for (uint32_t a = 0; a < m_actors.size(); ++a)
        if (!m_actor_changes[a].empty()) used.push_back(a);
    std::sort(used.begin(), used.end(),
              [&](uint32_t x, uint32_t y) { return m_actors[x] < m_actors[y]; });
    std::vector<uint32_t> remap(m_actors.size(), 0);
    for (uint32_t i = 0; i < used.size(); ++i) remap[used[i]] = i;

    std::vector<RawColumn> change_cols;
    {
        RleEncoder<uint64_t> actor, deps_count, extra_meta;
        DeltaEncoder seq, max_op, time, deps_index;
        RleEncoder<std::string> message;
        std::vector<uint8_t> extra_raw;
        for (auto const& c : m_changes) {
            actor.append(uint64_t{remap[c.actor]});
            seq.append(static_cast<int64_t>(c.seq));
            max_op.append(static_cast<int64_t>(c.max_op()));
            time.append(c.time);
            message.append(c.message);
            deps_count.append(uint64_t{c.deps.size()});
            for (uint32_t d : c.deps) deps_index.append(static_cast<int64_t>(d));
            extra_meta.append((uint64_t{c.extra.size()} << 4) | 7);
            extra_raw.insert(extra_raw.end(), c.extra.begin(), c.extra.end());
        }
        push(change_cols, 0x01, actor.finish());
        push(change_cols, 0x03, seq.finish());
        push(change_cols, 0x13, max_op.finish());
        push(change_cols, 0x23, time.finish());
        push(change_cols, 0x35, message.finish());
        push(change_cols, 0x40, deps_count.finish());
        push(change_cols, 0x43, deps_index.finish());
        push(change_cols, 0x56, extra_meta.finish());
        push(change_cols, 0x57, std::move(extra_raw));
    }

    std::vector<RawColumn> op_cols;
    {
        OpColumnsWriter writer(OpLayout::Document);
        auto map_ref = [&](OpRef r) {
            return r.counter == 0 ? r : OpRef{r.counter, remap[r.actor]};
        };
        // Usually every actor authored changes and the table is in byte order already.
        bool same_actors = used.size() == m_actors.size();
        for (uint32_t i = 0; same_actors && i < used.size(); ++i) same_actors = used[i] == i;
        std::vector<OpRef> succ;
        std::vector<std::string const*> chain;
        OpRef chain_first;
        for (uint32_t oi : m_ops.objects_in_order()) {
            Object const& o = m_ops.obj(oi);
            bool seq = o.kind == ObjKind::List || o.kind == ObjKind::Text;
            OpRef obj = map_ref(o.id);
            auto write = [&](Op const& op) {
                std::span<OpRef const> succ_of = m_ops.succ_of(op);
                if (!same_actors) {
                    succ.clear();
                    for (auto const& s : m_ops.succ_of(op)) succ.push_back(map_ref(s));
                    succ_of = succ;
                }
                writer.add(obj, seq ? nullptr : m_ops.key_of(op),
                           seq ? map_ref(m_ops.elem_of(op)) : OpRef{}, map_ref(op.id), op.insert,
                           op.action, op.value, succ_of, op.expand, m_ops.mark_name_of(op));
            };
            if (!seq) {
                m_ops.for_each_op(oi, write);
                continue;
            }
            // Runs of characters typed one after another (each inserted right after the one
            // before, with the next counter, never changed since) go in as one chain.
            auto flush_chain = [&] {
                writer.add_string_chain(obj, map_ref(chain_first), chain);
                chain.clear();
            };
            uint32_t prev = Op::none;  // insert op of the previous element
            auto const& sequence = o.seq();
            for (uint32_t b : sequence.order) {
                for (uint32_t e : sequence.blocks[b].elems) {
                    Element const& el = sequence.elements[e];
                    Op const& op = m_ops.op(el.insert_op);
                    auto const* text = std::get_if<std::string>(&op.value);
                    bool chained = text && prev != Op::none && op.ref == prev &&
                                   el.later == Op::none && op.succ == Op::none &&
                                   op.action == storage::set && !op.marked && !op.expand &&
                                   m_ops.op(prev).id == OpRef{op.id.counter - 1, op.id.actor};
                    prev = el.insert_op;
                    if (chained) {
                        if (chain.empty()) chain_first = op.id;
                        chain.push_back(text);
                        continue;
                    }
                    flush_chain();
                    write(op);
                    for (uint32_t i : m_ops.later_ops(el)) write(m_ops.op(i));
                }
            }
            flush_chain();
        }
        op_cols = writer.finish();
    }

    auto compress = [&](std::vector<RawColumn>& cols) {
        for (auto& c : cols) {
            if (c.data.size() < deflate_min_size) continue;
            auto cached =
                std::find_if(m_deflated.begin(), m_deflated.end(),
                             [&](DeflatedColumn const& d) { return d.inflated == c.data; });
            c.data = cached != m_deflated.end() ? cached->deflated : deflate_raw(c.data);
            c.id |= column_id::deflate_bit;
        }
    };
    compress(change_cols);
    compress(op_cols);

    std::vector<uint8_t> body;
    write_uleb(body, used.size());
    for (uint32_t a : used) {
        auto b = m_actors[a].to_bytes();
        write_uleb(body, b.size());
        body.insert(body.end(), b.begin(), b.end());
    }
    write_uleb(body, m_heads.size());
    for (auto const& h : m_heads) body.insert(body.end(), h.bytes.begin(), h.bytes.end());
    write_column_meta(body, change_cols);
    write_column_meta(body, op_cols);
    for (auto const& c : change_cols) body.insert(body.end(), c.data.begin(), c.data.end());
    for (auto const& c : op_cols) body.insert(body.end(), c.data.begin(), c.data.end());
    for (auto const& h : m_heads) write_uleb(body, m_change_index.at(h));

    auto out = make_chunk(ChunkType::Document, body);
    // Changes still waiting for their dependencies are kept after the document.
    for (auto const& q : m_queue) out.insert(out.end(), q.raw.begin(), q.raw.end());
    m_saved_changes = m_changes.size();
    return out;
}

std::vector<uint8_t> Document::save_incremental() {
    std::vector<uint8_t> out;
    for (size_t i = m_saved_changes; i < m_changes.size(); ++i)
        out.insert(out.end(), m_changes[i].raw.begin(), m_changes[i].raw.end());
    m_saved_changes = m_changes.size();
    return out;
}

std::vector<uint8_t> Document::save_since(std::span<ChangeHash const> heads) const {
    std::vector<uint8_t> out;
    for (uint32_t i : changes_since(heads))
        out.insert(out.end(), m_changes[i].raw.begin(), m_changes[i].raw.end());
    return out;
}

}  // namespace automerge::op_set
