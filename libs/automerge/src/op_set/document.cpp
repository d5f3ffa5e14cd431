#include "op_set/document.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_set>

#include "storage/columns.hpp"

namespace automerge::op_set {

namespace {

using storage::OpRow;

std::string actor_key(ActorId const& a) {
    auto b = a.to_bytes();
    return std::string(b.begin(), b.end());
}

// Doubles compare by value (so 0.0 equals -0.0), everything else by type and value.
bool same_value(ScalarValue const& a, ScalarValue const& b) {
    auto const* x = std::get_if<double>(&a);
    auto const* y = std::get_if<double>(&b);
    if (x && y) return *x == *y;
    return a == b;
}

}  // namespace

Document::Document() : m_actor(ActorId::random()) {}

void Document::set_actor(ActorId actor) {
    m_actor = std::move(actor);
}

uint32_t Document::intern_actor(ActorId const& actor) {
    auto key = actor_key(actor);
    if (auto it = m_actor_index.find(key); it != m_actor_index.end()) return it->second;
    auto index = static_cast<uint32_t>(m_actors.size());
    m_actors.push_back(actor);
    m_actor_index.emplace(std::move(key), index);
    m_actor_changes.emplace_back();
    refresh_ranks();
    return index;
}

void Document::refresh_ranks() {
    std::vector<uint32_t> order(m_actors.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return m_actors[a] < m_actors[b]; });
    std::vector<uint32_t> rank(m_actors.size());
    for (uint32_t i = 0; i < order.size(); ++i) rank[order[i]] = i;
    m_ops.set_actor_ranks(std::move(rank));
}

uint64_t Document::next_seq(uint32_t actor) const {
    return actor < m_actor_changes.size() ? m_actor_changes[actor].size() + 1 : 1;
}

std::optional<uint32_t> Document::change_index(ChangeHash const& h) const {
    auto it = m_change_index.find(h);
    if (it == m_change_index.end()) return std::nullopt;
    return it->second;
}

std::vector<uint32_t> Document::changes_since(std::span<ChangeHash const> have) const {
    std::vector<bool> known(m_changes.size(), false);
    std::vector<uint32_t> stack;
    for (auto const& h : have)
        if (auto i = change_index(h)) stack.push_back(*i);
    while (!stack.empty()) {
        uint32_t i = stack.back();
        stack.pop_back();
        if (known[i]) continue;
        known[i] = true;
        for (uint32_t d : m_changes[i].deps)
            if (!known[d]) stack.push_back(d);
    }
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < m_changes.size(); ++i)
        if (!known[i]) out.push_back(i);
    return out;
}

std::vector<ChangeHash> Document::missing_deps(std::span<ChangeHash const> heads) const {
    std::set<ChangeHash> queued;
    for (auto const& q : m_queue) queued.insert(q.hash);
    std::set<ChangeHash> missing;
    for (auto const& q : m_queue)
        for (auto const& d : q.chunk.deps)
            if (!m_change_index.contains(d) && !queued.contains(d)) missing.insert(d);
    // A head that waits in the queue is held already; what it waits for is listed above.
    for (auto const& h : heads)
        if (!m_change_index.contains(h) && !queued.contains(h)) missing.insert(h);
    return {missing.begin(), missing.end()};
}

Change Document::public_change(uint32_t index) const {
    ChangeRecord const& c = m_changes[index];
    Change out;
    out.hash = c.hash;
    out.actor = m_actors[c.actor];
    out.seq = c.seq;
    out.start_op = c.start_op;
    out.time = c.time;
    // An empty message reads like none, as it does from the change's own bytes.
    if (c.message && !c.message->empty()) out.message = c.message;
    for (uint32_t d : c.deps) out.deps.push_back(m_changes[d].hash);
    out.num_ops = c.num_ops;
    out.raw = c.raw;
    return out;
}

// ---------------------------------------------------------------------------------------
// applying changes

Result<size_t> Document::apply(std::vector<ParsedChange> changes) {
    // A queued change may have arrived since inside a document chunk.
    std::erase_if(m_queue, [&](ParsedChange const& q) { return m_change_index.contains(q.hash); });
    std::unordered_set<ChangeHash, ChangeHashHasher> queued;
    for (auto const& q : m_queue) queued.insert(q.hash);
    for (auto& c : changes) {
        if (m_change_index.contains(c.hash) || !queued.insert(c.hash).second) continue;
        m_queue.push_back(std::move(c));
    }
    // Kahn's algorithm over the queue, first come first served, so changes enter the
    // history in the same order as in other implementations (which decides saved bytes).
    size_t n = m_queue.size();
    std::vector<uint32_t> unsatisfied(n, 0);
    std::unordered_map<ChangeHash, std::vector<uint32_t>, ChangeHashHasher> waiting_on;
    for (uint32_t i = 0; i < n; ++i) {
        for (auto const& d : m_queue[i].chunk.deps) {
            if (m_change_index.contains(d)) continue;
            ++unsatisfied[i];
            waiting_on[d].push_back(i);
        }
    }
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < n; ++i)
        if (unsatisfied[i] == 0) order.push_back(i);
    for (size_t k = 0; k < order.size(); ++k) {
        auto it = waiting_on.find(m_queue[order[k]].hash);
        if (it == waiting_on.end()) continue;
        for (uint32_t j : it->second)
            if (--unsatisfied[j] == 0) order.push_back(j);
        waiting_on.erase(it);
    }

    size_t incoming = 0;
    for (uint32_t i : order)
        incoming += m_queue[i].ops_dropped ? m_queue[i].num_ops : m_queue[i].chunk.ops.size();
    m_ops.reserve(incoming);
    std::vector<bool> taken(n, false);
    size_t applied_ops = 0;
    std::optional<Error> failure;
    for (uint32_t i : order) {
        taken[i] = true;
        size_t num_ops = m_queue[i].ops_dropped ? m_queue[i].num_ops : m_queue[i].chunk.ops.size();
        auto r = apply_one(m_queue[i]);
        if (!r) {
            failure = r.error();
            break;
        }
        applied_ops += num_ops;
    }
    std::vector<ParsedChange> waiting;
    for (uint32_t i = 0; i < n; ++i)
        if (!taken[i]) waiting.push_back(std::move(m_queue[i]));
    m_queue = std::move(waiting);
    if (failure) return std::unexpected(*failure);
    return applied_ops;
}

Result<size_t> Document::apply_in_order(std::vector<ParsedChange> changes) {
    size_t incoming = 0;
    for (auto const& c : changes) incoming += c.ops_dropped ? c.num_ops : c.chunk.ops.size();
    m_ops.reserve(incoming);
    size_t applied_ops = 0;
    for (auto& c : changes) {
        if (m_change_index.contains(c.hash)) continue;
        bool ready = std::all_of(c.chunk.deps.begin(), c.chunk.deps.end(),
                                 [&](ChangeHash const& d) { return m_change_index.contains(d); });
        if (!ready) return fail("document change depends on a change it does not hold");
        size_t num_ops = c.ops_dropped ? c.num_ops : c.chunk.ops.size();
        auto r = apply_one(c);
        if (!r) return std::unexpected(r.error());
        applied_ops += num_ops;
    }
    return applied_ops;
}

Result<void> Document::apply_one(ParsedChange& change) {
    if (change.ops_dropped) {
        storage::Reader reader(change.raw);
        (void)reader.take(9);  // magic, checksum, type: checked when the change was read
        (void)reader.uleb();
        auto decoded = storage::decode_change_body(reader.rest(), UINT64_MAX);
        if (!decoded) return std::unexpected(decoded.error());
        change.chunk.ops = std::move(decoded->ops);
        change.ops_dropped = false;
    }
    auto& chunk = change.chunk;
    std::vector<uint32_t> actor_map;
    actor_map.reserve(chunk.actors.size());
    for (auto const& a : chunk.actors) actor_map.push_back(intern_actor(a));
    uint32_t author = actor_map[0];
    if (chunk.seq != next_seq(author))
        return fail("change " + change.hash.to_hex() + " has sequence number " +
                    std::to_string(chunk.seq) + ", expected " + std::to_string(next_seq(author)));
    if (chunk.start_op > (uint64_t{1} << 62) || chunk.ops.size() > (uint64_t{1} << 32))
        return fail("change op counter out of range");
    // Op ids are (counter, author): starting past the author's last op keeps them unique.
    if (auto const& mine = m_actor_changes[author]; !mine.empty()) {
        auto const& last = m_changes[mine.back()];
        if (chunk.start_op <= last.start_op + last.num_ops - 1 && last.num_ops > 0)
            return fail("change " + change.hash.to_hex() + " reuses op counters of its author");
        if (chunk.start_op < last.start_op)
            return fail("change " + change.hash.to_hex() + " reuses op counters of its author");
    }

    auto map_ref = [&](OpRef r) {
        return r.counter == 0 ? OpRef{} : OpRef{r.counter, actor_map[r.actor]};
    };
    std::vector<OpRow> rows;
    rows.reserve(chunk.ops.size());
    PendingOps pending{.start_op = chunk.start_op, .actor = author, .ops = {}};
    pending.ops.reserve(chunk.ops.size());
    for (size_t i = 0; i < chunk.ops.size(); ++i) {
        OpRow row = std::move(chunk.ops[i]);
        row.obj = map_ref(row.obj);
        row.elem = map_ref(row.elem);
        for (auto& p : row.refs) p = map_ref(p);
        OpRef id{chunk.start_op + i, author};
        auto ok = m_ops.check(row, id, pending);
        if (!ok) return fail("invalid change " + change.hash.to_hex() + ": " + ok.error().message);
        pending.ops.push_back(PendingOp{row.action, row.insert, row.obj});
        rows.push_back(std::move(row));
    }
    std::vector<OpRow>().swap(chunk.ops);  // moved from; free them before the next change
    for (size_t i = 0; i < rows.size(); ++i)
        m_ops.apply(std::move(rows[i]), OpRef{chunk.start_op + i, author});
    if (!rows.empty()) m_max_op = std::max(m_max_op, chunk.start_op + rows.size() - 1);

    add_change_record(change, author, rows.size());
    return {};
}

void Document::add_change_record(ParsedChange& change, uint32_t author, uint64_t num_ops) {
    auto& chunk = change.chunk;
    ChangeRecord rec;
    rec.hash = change.hash;
    rec.actor = author;
    rec.seq = chunk.seq;
    rec.start_op = chunk.start_op;
    rec.num_ops = num_ops;
    rec.time = chunk.time;
    rec.message = std::move(chunk.message);
    rec.extra = std::move(chunk.extra);
    rec.raw = std::move(change.raw);
    rec.deps.reserve(chunk.deps.size());
    for (auto const& d : chunk.deps) {
        rec.deps.push_back(m_change_index.at(d));
        m_heads.erase(d);
    }
    m_heads.insert(change.hash);
    auto index = static_cast<uint32_t>(m_changes.size());
    m_change_index[change.hash] = index;
    m_actor_changes[author].push_back(index);
    m_changes.push_back(std::move(rec));
}

size_t Document::load_fresh(Reconstructed doc) {
    m_ops = std::move(*doc.ops);
    for (auto const& a : doc.actors) {
        m_actor_index.emplace(actor_key(a), static_cast<uint32_t>(m_actors.size()));
        m_actors.push_back(a);
        m_actor_changes.emplace_back();
    }
    m_changes.reserve(doc.changes.size());
    m_change_index.reserve(doc.changes.size());
    size_t total = 0;
    // Runs of changes by one author are the rule.
    ActorId const* last_author = nullptr;
    uint32_t author = 0;
    for (auto& c : doc.changes) {
        if (!last_author || c.chunk.actors[0] != *last_author) {
            last_author = &c.chunk.actors[0];
            author = m_actor_index.find(actor_key(*last_author))->second;
        }
        if (c.num_ops > 0) m_max_op = std::max(m_max_op, c.chunk.start_op + c.num_ops - 1);
        total += c.num_ops;
        add_change_record(c, author, c.num_ops);
    }
    return total;
}

// ---------------------------------------------------------------------------------------
// transactions

void Document::open_transaction() {
    if (m_tx) return;
    uint32_t me = intern_actor(m_actor);
    m_tx = Transaction{.seq = next_seq(me), .start_op = m_max_op + 1, .deps = heads(), .ops = {}};
}

std::optional<ChangeHash> Document::commit(std::optional<std::string> message,
                                           std::optional<int64_t> time) {
    if (!m_tx) return std::nullopt;
    Transaction tx = std::move(*m_tx);
    m_tx.reset();
    if (tx.ops.empty()) return std::nullopt;
    uint32_t me = intern_actor(m_actor);

    // The author is actor 0; every other actor the ops mention follows in byte order.
    std::vector<uint32_t> others;
    auto note = [&](OpRef r) {
        if (r.counter != 0 && r.actor != me) others.push_back(r.actor);
    };
    for (auto const& op : tx.ops) {
        note(op.obj);
        if (!op.key_str) note(op.elem);
        for (auto const& p : op.refs) note(p);
    }
    std::sort(others.begin(), others.end(),
              [&](uint32_t a, uint32_t b) { return m_actors[a] < m_actors[b]; });
    others.erase(std::unique(others.begin(), others.end()), others.end());
    std::unordered_map<uint32_t, uint32_t> local{{me, 0}};
    storage::ChangeChunk chunk;
    chunk.actors.push_back(m_actor);
    for (uint32_t a : others) {
        local[a] = static_cast<uint32_t>(chunk.actors.size());
        chunk.actors.push_back(m_actors[a]);
    }
    auto to_local = [&](OpRef r) {
        return r.counter == 0 ? r : OpRef{r.counter, local.at(r.actor)};
    };
    chunk.deps = tx.deps;
    chunk.seq = tx.seq;
    chunk.start_op = tx.start_op;
    chunk.time = time.value_or(0);
    chunk.message = std::move(message);
    for (auto& op : tx.ops) {
        op.obj = to_local(op.obj);
        op.elem = to_local(op.elem);
        for (auto& p : op.refs) p = to_local(p);
    }
    chunk.ops = std::move(tx.ops);

    auto body = storage::encode_change_body(chunk);
    ChangeRecord rec;
    rec.hash = storage::chunk_hash(storage::ChunkType::Change, body);
    rec.raw = storage::make_chunk(storage::ChunkType::Change, body);
    rec.actor = me;
    rec.seq = chunk.seq;
    rec.start_op = chunk.start_op;
    rec.num_ops = chunk.ops.size();
    rec.time = chunk.time;
    rec.message = chunk.message;
    for (auto const& d : chunk.deps) {
        rec.deps.push_back(m_change_index.at(d));
        m_heads.erase(d);
    }
    m_heads.insert(rec.hash);
    auto index = static_cast<uint32_t>(m_changes.size());
    m_change_index[rec.hash] = index;
    m_actor_changes[me].push_back(index);
    ChangeHash hash = rec.hash;
    m_changes.push_back(std::move(rec));
    return hash;
}

// ---------------------------------------------------------------------------------------
// local edits

Result<std::optional<OpRef>> Document::local_op(uint32_t obj, Prop const& prop, uint64_t action,
                                                ScalarValue value, bool insert) {
    Object const& o = m_ops.obj(obj);
    bool is_seq = o.kind == ObjKind::List || o.kind == ObjKind::Text;
    OpRow row;
    row.obj = o.id;
    row.action = action;
    row.insert = insert;
    row.value = std::move(value);
    std::vector<uint32_t> visible;
    if (auto const* key = std::get_if<std::string>(&prop)) {
        if (is_seq) return fail("a list or text is indexed by position, not by key");
        row.key_str = *key;
        visible = m_ops.visible_at(obj, *key);
    } else {
        if (!is_seq) return fail("a map is indexed by key, not by position");
        size_t index = std::get<size_t>(prop);
        if (insert) {
            if (index > m_ops.length(obj)) return fail("insert position past the end");
            auto before = m_ops.element_before(obj, index);
            row.elem = before ? m_ops.op(o.seq().elements[*before].insert_op).id : OpRef{};
        } else {
            auto e = m_ops.element_at(obj, index);
            if (!e) return fail("index past the end");
            Element const& el = o.seq().elements[*e];
            row.elem = m_ops.op(el.insert_op).id;
            visible = m_ops.visible_at(el);
        }
    }
    if (action == storage::inc) {
        bool any_counter = std::any_of(visible.begin(), visible.end(), [&](uint32_t i) {
            return std::holds_alternative<Counter>(m_ops.op(i).value) &&
                   m_ops.op(i).action == storage::set;
        });
        if (!any_counter) return fail("only a counter can be incremented");
    }
    if (action == storage::del && visible.empty()) return std::optional<OpRef>{};
    if (action == storage::set && !insert && !visible.empty()) {
        Op const& winner = m_ops.op(visible.back());
        if (winner.action == storage::set && same_value(winner.value, row.value)) {
            // Writing the value that already wins changes nothing, unless it is in
            // conflict: then the losing values are deleted.
            if (visible.size() == 1) return std::optional<OpRef>{};
            visible.pop_back();
            row.action = storage::del;
            row.value = ScalarValue{};
        }
    }
    for (uint32_t i : visible) row.refs.push_back(m_ops.op(i).id);

    open_transaction();
    uint32_t me = intern_actor(m_actor);
    OpRef id{m_tx->start_op + m_tx->ops.size(), me};
    auto ok = m_ops.check(row, id, {});
    if (!ok) return std::unexpected(ok.error());
    m_tx->ops.push_back(row);
    m_ops.apply(std::move(row), id);
    m_max_op = std::max(m_max_op, id.counter);
    return std::optional<OpRef>{id};
}

// Inserts come first, then deletions after the inserted text, the order other
// implementations give these ops (and so the order that decides change hashes).
Result<void> Document::splice(uint32_t obj, size_t pos, size_t del, std::string_view text) {
    Object const& o = m_ops.obj(obj);
    if (o.kind != ObjKind::Text && o.kind != ObjKind::List)
        return fail("splice needs a text or list object");
    if (!storage::valid_utf8(text)) return fail("text is not valid UTF-8");
    uint64_t len = m_ops.length(obj);
    if (pos > len) return fail("splice position past the end of the text");
    size_t inserted = 0;
    if (!text.empty()) {
        auto before = m_ops.element_before(obj, pos);
        OpRef after =
            before ? m_ops.op(m_ops.obj(obj).seq().elements[*before].insert_op).id : OpRef{};
        open_transaction();
        uint32_t me = intern_actor(m_actor);
        size_t i = 0;
        while (i < text.size()) {
            auto c = static_cast<unsigned char>(text[i]);
            size_t n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
            OpRow row;
            row.obj = m_ops.obj(obj).id;
            row.elem = after;
            row.insert = true;
            row.action = storage::set;
            row.value = std::string(text.substr(i, n));
            OpRef id{m_tx->start_op + m_tx->ops.size(), me};
            m_tx->ops.push_back(row);
            m_ops.apply(std::move(row), id);
            m_max_op = std::max(m_max_op, id.counter);
            after = id;
            i += n;
            ++inserted;
        }
    }
    // Deleting past the end stops at the end, like any splice.
    size_t at = pos + inserted;
    for (size_t k = 0; k < del && at < m_ops.length(obj); ++k) {
        auto r = local_op(obj, Prop{at}, storage::del, {}, false);
        if (!r) return std::unexpected(r.error());
    }
    return {};
}

// ---------------------------------------------------------------------------------------
// reads

Result<uint32_t> Document::resolve(ObjId const& obj) const {
    if (obj.is_root()) return 0u;
    auto bytes = obj.actor().to_bytes();
    ResolvedObj& slot = m_resolved[(obj.counter() ^ (obj.counter() >> 4)) % m_resolved.size()];
    if (slot.counter == obj.counter() && std::ranges::equal(slot.actor, bytes)) return slot.index;
    if (m_last_actor == UINT32_MAX || !std::ranges::equal(m_last_actor_bytes, bytes)) {
        auto it = m_actor_index.find(
            std::string_view(reinterpret_cast<char const*>(bytes.data()), bytes.size()));
        if (it == m_actor_index.end()) return fail("unknown object " + obj.to_string());
        m_last_actor_bytes.assign(bytes.begin(), bytes.end());
        m_last_actor = it->second;
    }
    auto index = m_ops.object(OpRef{obj.counter(), m_last_actor});
    if (!index) return fail("unknown object " + obj.to_string());
    slot.counter = obj.counter();
    slot.actor.assign(bytes.begin(), bytes.end());
    slot.index = *index;
    return *index;
}

ObjId Document::public_id(OpRef id) const {
    if (id.counter == 0) return ObjId::root();
    return ObjId(id.counter, m_actors[id.actor]);
}

std::pair<Value, ObjId> Document::value_pair(uint32_t op_index) const {
    Op const& op = m_ops.op(op_index);
    if (auto t = m_ops.made_type(op)) return {Value{*t}, public_id(op.id)};
    return {Value{m_ops.value_of(op)}, public_id(op.id)};
}

}  // namespace automerge::op_set
