#include "op_set/op_set.hpp"

#include <algorithm>
#include <numeric>

namespace automerge::op_set {

namespace {

constexpr size_t max_block = 128;
// Ops keep their action in a byte; actions past the known ones are kept (and written back)
// up to this.
constexpr uint64_t max_action = UINT8_MAX;

bool is_sequence(ObjKind k) {
    return k == ObjKind::List || k == ObjKind::Text;
}

std::optional<int64_t> increment_of(ScalarValue const& v) {
    if (auto const* i = std::get_if<int64_t>(&v)) return *i;
    if (auto const* u = std::get_if<uint64_t>(&v)) return static_cast<int64_t>(*u);
    if (auto const* c = std::get_if<Counter>(&v)) return c->value;
    return std::nullopt;
}

uint32_t utf8_chars(std::string const& s) {
    uint32_t n = 0;
    for (unsigned char c : s) n += (c & 0xc0) != 0x80;
    return n;
}

}  // namespace

OpSet::OpSet() {
    m_objects.push_back(Object{});
    m_object_index.insert(OpRef{}, 0);
    m_obj_order.push_back(0);
}

std::optional<uint32_t> OpSet::object(OpRef id) const {
    return m_object_index.find(id);
}

std::optional<uint32_t> OpSet::find_element(uint32_t obj, OpRef id) const {
    auto i = m_op_index.find(id);
    if (!i || !m_ops[*i].insert || m_ops[*i].obj != obj) return std::nullopt;
    return m_ops[*i].element;
}

Result<void> OpSet::check(storage::OpRow const& row, OpRef, PendingOps const& pending) const {
    if (row.action > max_action) return fail("operation action out of range");
    std::optional<ObjKind> kind;
    if (auto o = object(row.obj)) {
        kind = m_objects[*o].kind;
    } else if (auto const* p = pending.find(row.obj)) {
        kind = kind_made_by(p->action);
    }
    if (!kind) return fail("operation on an unknown object");
    if (is_sequence(*kind)) {
        if (row.key_str) return fail("map key used on a list or text");
        if (row.elem.counter == 0) {
            if (!row.insert) return fail("update of the list head");
        } else {
            bool known = false;
            if (auto o = object(row.obj)) known = find_element(*o, row.elem).has_value();
            if (!known) {
                auto const* p = pending.find(row.elem);
                // Only an element inserted earlier in the same change qualifies.
                known = p && p->insert && p->obj == row.obj;
            }
            if (!known) return fail("operation on an unknown list element");
        }
    } else {
        if (!row.key_str || row.insert) return fail("list key used on a map");
    }
    for (auto const& p : row.refs) {
        if (m_op_index.contains(p)) continue;
        auto const* q = pending.find(p);
        if (!q || q->action == storage::del) return fail("predecessor of an operation is unknown");
    }
    return {};
}

uint32_t OpSet::intern(std::string&& name) {
    auto it = m_name_index.find(name);
    if (it != m_name_index.end()) return it->second;
    auto index = static_cast<uint32_t>(m_names.size());
    m_name_index.emplace(name, index);
    m_names.push_back(std::move(name));
    return index;
}

uint32_t OpSet::add_object(OpRef id, ObjKind kind) {
    auto index = static_cast<uint32_t>(m_objects.size());
    Object& o = m_objects.emplace_back();
    o.id = id;
    o.kind = kind;
    m_object_index.insert(id, index);
    if (m_obj_order.size() == index && less(m_objects[m_obj_order.back()].id, id))
        m_obj_order.push_back(index);
    else
        m_obj_order.clear();
    return index;
}

void OpSet::add_to_sorted(std::vector<uint32_t>& list, uint32_t op_index) {
    OpRef id = m_ops[op_index].id;
    auto pos = list.end();
    while (pos != list.begin() && less(id, m_ops[*(pos - 1)].id)) --pos;
    list.insert(pos, op_index);
}

// Saved documents and most edits bring a map's keys in order or again the last key, so
// those append without a search.
void OpSet::add_to_key(Object& o, uint32_t op_index) {
    uint32_t name = m_ops[op_index].ref;
    auto& keys = o.keys;
    auto pos = keys.end();
    if (!keys.empty() && keys.back().name != name) {
        std::string_view key = m_names[name];
        if (key < std::string_view(m_names[keys.back().name]))
            pos = std::lower_bound(keys.begin(), keys.end(), key,
                                   [&](MapKey const& k, std::string_view want) {
                                       return std::string_view(m_names[k.name]) < want;
                                   });
    } else if (!keys.empty()) {
        pos = keys.end() - 1;
    }
    if (pos == keys.end() || pos->name != name) {
        keys.insert(pos, MapKey{.name = name, .op = op_index});
        return;
    }
    if (pos->list == Op::none) {
        pos->list = static_cast<uint32_t>(m_key_lists.size());
        m_key_lists.push_back({pos->op});
        pos->op = Op::none;
    }
    add_to_sorted(m_key_lists[pos->list], op_index);
}

MapKey const* OpSet::find_key(uint32_t obj, std::string_view key) const {
    auto const& keys = m_objects[obj].keys;
    auto pos = std::lower_bound(keys.begin(), keys.end(), key,
                                [&](MapKey const& k, std::string_view want) {
                                    return std::string_view(m_names[k.name]) < want;
                                });
    if (pos == keys.end() || std::string_view(m_names[pos->name]) != key) return nullptr;
    return &*pos;
}

void OpSet::add_later(Element& e, uint32_t op_index) {
    if (e.later == Op::none) {
        e.later = static_cast<uint32_t>(m_later.size());
        m_later.push_back({op_index});
        return;
    }
    add_to_sorted(m_later[e.later], op_index);
}

void OpSet::add_succ(Op& op, OpRef succ) {
    if (op.succ == Op::none) {
        op.succ = static_cast<uint32_t>(m_succ.size());
        m_succ.push_back({succ});
        m_succ_owner.push_back(static_cast<uint32_t>(&op - m_ops.data()));
        return;
    }
    auto& list = m_succ[op.succ];
    auto pos = list.end();
    while (pos != list.begin() && less(succ, *(pos - 1))) --pos;
    list.insert(pos, succ);
}

void OpSet::apply(storage::OpRow&& row, OpRef id) {
    uint32_t obj = *object(row.obj);
    auto index = static_cast<uint32_t>(m_ops.size());
    m_objects[obj].text_cached = false;
    bool is_inc = row.action == storage::inc;
    int64_t inc_by = is_inc ? increment_of(row.value).value_or(0) : 0;

    for (auto const& p : row.refs) {
        uint32_t target = *m_op_index.find(p);
        Op& pred = m_ops[target];
        m_objects[pred.obj].text_cached = false;
        add_succ(pred, id);
        if (is_inc) {
            auto& inc = m_increments[pred.id];
            ++inc.count;
            inc.total = static_cast<int64_t>(static_cast<uint64_t>(inc.total) +
                                             static_cast<uint64_t>(inc_by));
        }
        if (is_sequence(m_objects[pred.obj].kind)) refresh_width(pred.obj, pred.element);
    }
    if (row.action == storage::del) return;

    Op op;
    op.id = id;
    op.obj = obj;
    op.action = static_cast<uint8_t>(row.action);
    op.insert = row.insert;
    op.expand = row.expand;
    op.value = std::move(row.value);
    if (row.mark_name) {
        op.marked = true;
        m_mark_names[id] = intern(std::move(*row.mark_name));
    }
    if (row.key_str)
        op.ref = intern(std::move(*row.key_str));
    else if (row.insert && row.elem.counter != 0)
        op.ref = *m_op_index.find(row.elem);
    m_ops.push_back(std::move(op));
    m_op_index.insert(id, index);

    Object& o = m_objects[obj];
    if (!is_sequence(o.kind)) {
        add_to_key(o, index);
    } else if (row.insert) {
        insert_element(obj, index, row.elem);
    } else {
        uint32_t e = *find_element(obj, row.elem);
        m_ops[index].element = e;
        add_later(o.seq_mut().elements[e], index);
        refresh_width(obj, e);
    }
    if (auto kind = kind_made_by(row.action)) m_ops[index].made = add_object(id, *kind);
}

Result<void> OpSet::load_row(storage::OpRow&& row, Loading& state) {
    // Objects come in id order and each after the op that made it, so the object of a row
    // is known by the time its first row arrives.
    if (row.obj != state.obj_id) {
        auto o = object(row.obj);
        if (!o) return fail("operation on an unknown object");
        seal_sequence(state);
        state.obj = *o;
        if (is_sequence(m_objects[*o].kind)) {
            // Rows of one object come together, but take them up again if they do not.
            Object& taken = m_objects[*o];
            if (taken.has_seq()) state.elements = std::move(taken.seq_mut().elements);
            taken.drop_seq();
        }
        state.obj_id = row.obj;
        state.objects.push_back(*o);
    }
    uint32_t obj = state.obj;
    bool seq = is_sequence(m_objects[obj].kind);
    if (row.action > max_action) return fail("operation action out of range");
    if (seq ? row.key_str.has_value() : (!row.key_str || row.insert))
        return fail(seq ? "map key used on a list or text" : "list key used on a map");
    auto index = static_cast<uint32_t>(m_ops.size());
    if (!m_op_index.insert(row.id, index)) return fail("duplicate op id in document");
    Op& op = m_ops.emplace_back();
    op.id = row.id;
    op.obj = obj;
    op.action = static_cast<uint8_t>(row.action);
    op.insert = row.insert;
    op.expand = row.expand;
    if (auto* s = std::get_if<std::string>(&row.value))
        op.value.emplace<std::string>(std::move(*s));
    else
        op.value = std::move(row.value);
    if (!row.refs.empty()) {
        auto by_rank = [&](OpRef a, OpRef b) { return less(a, b); };
        if (!std::is_sorted(row.refs.begin(), row.refs.end(), by_rank))
            std::sort(row.refs.begin(), row.refs.end(), by_rank);
        op.succ = static_cast<uint32_t>(m_succ.size());
        m_succ.push_back(std::move(row.refs));
        m_succ_owner.push_back(index);
    }
    state.any_inc |= op.action == storage::inc;
    if (row.mark_name) {
        op.marked = true;
        m_mark_names[row.id] = intern(std::move(*row.mark_name));
    }
    if (row.key_str) op.ref = intern(std::move(*row.key_str));

    Object& o = m_objects[obj];
    if (!seq) {
        add_to_key(o, index);
    } else if (row.insert) {
        if (row.elem.counter != 0) {
            if (!find_element(obj, row.elem)) return fail("operation on an unknown list element");
            m_ops[index].ref = *m_op_index.find(row.elem);
        }
        m_ops[index].element = static_cast<uint32_t>(state.elements.size());
        state.elements.push_back(Element{.insert_op = index});
    } else {
        if (row.elem.counter == 0) return fail("update of the list head");
        auto e = find_element(obj, row.elem);
        if (!e) return fail("operation on an unknown list element");
        m_ops[index].element = *e;
        add_later(state.elements[*e], index);
    }
    if (auto kind = kind_made_by(row.action)) {
        if (m_object_index.contains(row.id)) return fail("duplicate object in document");
        m_ops[index].made = add_object(row.id, *kind);
    }
    return {};
}

void OpSet::finish_load(Loading& state) {
    seal_sequence(state);
    // Documents keep objects in id order, so unless some had no rows, the order they came
    // in is the order saving wants.
    auto by_id = [&](uint32_t a, uint32_t b) { return less(m_objects[a].id, m_objects[b].id); };
    if (state.objects.empty() || state.objects[0] != 0)
        state.objects.insert(state.objects.begin(), 0);
    if (state.objects.size() == m_objects.size() &&
        std::is_sorted(state.objects.begin(), state.objects.end(), by_id))
        m_obj_order = std::move(state.objects);
    if (state.any_inc) {
        for (auto& op : m_ops) {
            for (auto const& s : succ_of(op)) {
                auto i = m_op_index.find(s);
                if (!i || m_ops[*i].action != storage::inc) continue;
                auto& inc = m_increments[op.id];
                ++inc.count;
                inc.total = static_cast<int64_t>(
                    static_cast<uint64_t>(inc.total) +
                    static_cast<uint64_t>(increment_of(m_ops[*i].value).value_or(0)));
            }
        }
    }
    for (uint32_t obj : state.unsized)
        for (uint32_t e = 0; e < m_objects[obj].seq().elements.size(); ++e) refresh_width(obj, e);
}

// Loading: elements arrive in list order; once a sequence's rows are all in, its elements
// are cut into full blocks, every vector allocated once at its size.
void OpSet::seal_sequence(Loading& state) {
    if (state.obj == UINT32_MAX || !is_sequence(m_objects[state.obj].kind)) return;
    if (state.elements.empty()) return;
    Sequence& seq = m_objects[state.obj].seq_mut();
    seq.elements.assign(state.elements.begin(), state.elements.end());
    state.elements.clear();
    size_t n = seq.elements.size();
    size_t num_blocks = (n + max_block - 1) / max_block;
    seq.blocks.resize(num_blocks);
    seq.order.resize(num_blocks);
    seq.position.resize(num_blocks);
    for (uint32_t b = 0; b < num_blocks; ++b) {
        seq.order[b] = b;
        seq.position[b] = b;
        size_t begin = b * max_block;
        size_t end = std::min(n, begin + max_block);
        auto& elems = seq.blocks[b].elems;
        elems.resize(end - begin);
        for (size_t e = begin; e < end; ++e) {
            elems[e - begin] = static_cast<uint32_t>(e);
            seq.elements[e].block = b;
            seq.elements[e].width = 0;
        }
    }
    // An increment is a row of the object its counter is in, so with none read yet, every
    // op here is as visible as it will be once the load is done.
    if (state.any_inc) {
        state.unsized.push_back(state.obj);
        return;
    }
    Object const& o = m_objects[state.obj];
    for (auto& block : seq.blocks) {
        for (uint32_t e : block.elems) {
            Element& el = seq.elements[e];
            el.width = width_of(o, el);
            block.width += el.width;
        }
        seq.width += block.width;
    }
    // The first thing a reader asks of a text is all of it; its ops were just written, so
    // gathering it now costs a fraction of doing so later from cold memory.
    if (o.kind == ObjKind::Text) (void)text(state.obj);
}

void OpSet::insert_element(uint32_t obj, uint32_t op_index, OpRef after) {
    Sequence& seq = m_objects[obj].seq_mut();
    OpRef id = m_ops[op_index].id;
    auto e = static_cast<uint32_t>(seq.elements.size());
    seq.elements.push_back(Element{.insert_op = op_index});
    m_ops[op_index].element = e;

    if (seq.order.empty()) {
        seq.blocks.push_back({});
        seq.order.push_back(0);
        seq.position.push_back(0);
    }
    size_t oi = 0;
    size_t pos = 0;
    if (after.counter != 0) {
        uint32_t ref_index = *find_element(obj, after);
        Element const& ref = seq.elements[ref_index];
        auto const& elems = seq.blocks[ref.block].elems;
        oi = seq.position[ref.block];
        pos =
            static_cast<size_t>(std::find(elems.begin(), elems.end(), ref_index) - elems.begin()) +
            1;
    }
    // Concurrent inserts after the same element: greater ids come first, together with
    // everything inserted after them.
    for (;;) {
        auto const& elems = seq.blocks[seq.order[oi]].elems;
        if (pos >= elems.size()) {
            if (oi + 1 >= seq.order.size()) break;
            ++oi;
            pos = 0;
            continue;
        }
        OpRef other = m_ops[seq.elements[elems[pos]].insert_op].id;
        if (!less(id, other)) break;
        ++pos;
    }
    uint32_t block = seq.order[oi];
    auto& elems = seq.blocks[block].elems;
    elems.insert(elems.begin() + static_cast<ptrdiff_t>(pos), e);
    seq.elements[e].block = block;
    refresh_width(obj, e);
    if (elems.size() > max_block) split_block(seq, block);
}

void OpSet::split_block(Sequence& seq, uint32_t block_id) {
    auto fresh = static_cast<uint32_t>(seq.blocks.size());
    seq.blocks.push_back({});
    auto& old = seq.blocks[block_id];
    auto& added = seq.blocks[fresh];
    size_t half = old.elems.size() / 2;
    added.elems.assign(old.elems.begin() + static_cast<ptrdiff_t>(half), old.elems.end());
    old.elems.resize(half);
    for (uint32_t e : added.elems) {
        seq.elements[e].block = fresh;
        added.width += seq.elements[e].width;
    }
    old.width -= added.width;
    uint32_t at = seq.position[block_id] + 1;
    seq.order.insert(seq.order.begin() + at, fresh);
    seq.position.push_back(0);
    for (size_t i = at; i < seq.order.size(); ++i)
        seq.position[seq.order[i]] = static_cast<uint32_t>(i);
}

ScalarValue OpSet::value_of(Op const& op) const {
    if (auto const* c = std::get_if<Counter>(&op.value))
        return Counter{static_cast<int64_t>(static_cast<uint64_t>(c->value) +
                                            static_cast<uint64_t>(increments(op)))};
    return op.value;
}

uint32_t OpSet::width_of(Object const& o, Element const& e) const {
    uint32_t top = UINT32_MAX;
    if (visible(m_ops[e.insert_op])) top = e.insert_op;
    for (uint32_t i : later_ops(e))
        if (visible(m_ops[i])) top = i;
    if (top == UINT32_MAX) return 0;
    if (o.kind != ObjKind::Text) return 1;
    auto const* s = std::get_if<std::string>(&m_ops[top].value);
    if (s && m_ops[top].action == storage::set) return utf8_chars(*s);
    return 1;
}

void OpSet::refresh_width(uint32_t obj, uint32_t elem) {
    Object& o = m_objects[obj];
    Sequence& seq = o.seq_mut();
    Element& e = seq.elements[elem];
    uint32_t w = width_of(o, e);
    if (w == e.width) return;
    int64_t delta = static_cast<int64_t>(w) - static_cast<int64_t>(e.width);
    e.width = w;
    seq.blocks[e.block].width += static_cast<uint64_t>(delta);
    seq.width += static_cast<uint64_t>(delta);
}

std::vector<uint32_t> OpSet::visible_at(uint32_t obj, std::string_view key) const {
    std::vector<uint32_t> out;
    for_each_visible(obj, key, [&](uint32_t i) { out.push_back(i); });
    return out;
}

std::vector<uint32_t> OpSet::visible_at(Element const& elem) const {
    std::vector<uint32_t> out;
    if (visible(m_ops[elem.insert_op])) out.push_back(elem.insert_op);
    for (uint32_t i : later_ops(elem))
        if (visible(m_ops[i])) out.push_back(i);
    return out;
}

std::optional<uint32_t> OpSet::winner_at(uint32_t obj, std::string_view key) const {
    auto const* k = find_key(obj, key);
    return k ? winner(*k) : std::nullopt;
}

std::optional<uint32_t> OpSet::winner(Element const& elem) const {
    auto later = later_ops(elem);
    for (auto i = later.rbegin(); i != later.rend(); ++i)
        if (visible(m_ops[*i])) return *i;
    if (visible(m_ops[elem.insert_op])) return elem.insert_op;
    return std::nullopt;
}

std::optional<uint32_t> OpSet::element_at(uint32_t obj, uint64_t index) const {
    auto const& seq = m_objects[obj].seq();
    if (index >= seq.width) return std::nullopt;
    for (uint32_t b : seq.order) {
        auto const& block = seq.blocks[b];
        if (index >= block.width) {
            index -= block.width;
            continue;
        }
        for (uint32_t e : block.elems) {
            uint32_t w = seq.elements[e].width;
            if (index < w) return e;
            index -= w;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> OpSet::element_before(uint32_t obj, uint64_t index) const {
    if (index == 0) return std::nullopt;
    return element_at(obj, index - 1);
}

uint64_t OpSet::length(uint32_t obj) const {
    Object const& o = m_objects[obj];
    if (is_sequence(o.kind)) return o.seq_width();
    uint64_t n = 0;
    for (MapKey const& k : o.keys) n += winner(k).has_value();
    return n;
}

std::string const& OpSet::text(uint32_t obj) const {
    Object const& o = m_objects[obj];
    if (!o.has_seq()) {
        static std::string const empty;
        return empty;
    }
    auto const& seq = o.seq();
    if (o.text_cached) return seq.text_cache;
    std::string out;
    // Every visible character takes at least one byte.
    out.reserve(seq.width);
    for_each_element(obj, [&](Element const& e) {
        if (e.width == 0) return;
        // A visible element with no later ops shows its insert.
        auto const& op = m_ops[e.later == Op::none ? e.insert_op : *winner(e)];
        auto const* s = std::get_if<std::string>(&op.value);
        if (s && op.action == storage::set)
            out += *s;
        else
            out += "\xef\xbf\xbc";  // U+FFFC stands in for an embedded object or value
    });
    seq.text_cache = std::move(out);
    o.text_cached = true;
    return seq.text_cache;
}

std::vector<uint32_t> const& OpSet::objects_in_order() const {
    if (m_obj_order.size() == m_objects.size()) return m_obj_order;
    struct Key {
        uint64_t counter;
        uint32_t rank;
        uint32_t index;
    };
    std::vector<Key> keys;
    keys.reserve(m_objects.size());
    for (uint32_t i = 1; i < m_objects.size(); ++i)
        keys.push_back({m_objects[i].id.counter, m_rank[m_objects[i].id.actor], i});
    std::sort(keys.begin(), keys.end(), [](Key const& a, Key const& b) {
        return a.counter != b.counter ? a.counter < b.counter : a.rank < b.rank;
    });
    m_obj_order.assign(1, 0);
    for (auto const& k : keys) m_obj_order.push_back(k.index);
    return m_obj_order;
}

}  // namespace automerge::op_set
