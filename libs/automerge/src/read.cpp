// Cheap reads: values in place through resolved object handles.

#include <algorithm>
#include <automerge/automerge.hpp>

#include "changed_ops.hpp"
#include "op_set/document.hpp"

namespace automerge {

using op_set::Document;
using op_set::ObjKind;
using op_set::Op;
using op_set::OpSet;

namespace {

bool is_sequence(ObjKind k) {
    return k == ObjKind::List || k == ObjKind::Text;
}

}  // namespace

std::optional<std::string_view> ValueRef::as_string() const {
    if (auto const* s = m_scalar ? std::get_if<std::string>(m_scalar) : nullptr) return *s;
    return std::nullopt;
}

std::optional<int64_t> ValueRef::as_int() const {
    if (!m_scalar) return std::nullopt;
    if (auto const* i = std::get_if<int64_t>(m_scalar)) return *i;
    if (auto const* u = std::get_if<uint64_t>(m_scalar))
        return *u <= static_cast<uint64_t>(INT64_MAX) ? std::optional<int64_t>(*u) : std::nullopt;
    if (auto const* c = std::get_if<Counter>(m_scalar))
        return static_cast<int64_t>(static_cast<uint64_t>(c->value) +
                                    static_cast<uint64_t>(m_increments));
    return std::nullopt;
}

std::optional<uint64_t> ValueRef::as_uint() const {
    if (!m_scalar) return std::nullopt;
    if (auto const* u = std::get_if<uint64_t>(m_scalar)) return *u;
    if (auto const* i = std::get_if<int64_t>(m_scalar))
        return *i >= 0 ? std::optional<uint64_t>(*i) : std::nullopt;
    return std::nullopt;
}

std::optional<double> ValueRef::as_f64() const {
    if (auto const* d = m_scalar ? std::get_if<double>(m_scalar) : nullptr) return *d;
    return std::nullopt;
}

std::optional<bool> ValueRef::as_bool() const {
    if (auto const* b = m_scalar ? std::get_if<bool>(m_scalar) : nullptr) return *b;
    return std::nullopt;
}

std::optional<int64_t> ValueRef::as_timestamp() const {
    if (auto const* t = m_scalar ? std::get_if<Timestamp>(m_scalar) : nullptr) return t->millis;
    return std::nullopt;
}

std::optional<std::span<uint8_t const>> ValueRef::as_bytes() const {
    if (auto const* b = m_scalar ? std::get_if<std::vector<uint8_t>>(m_scalar) : nullptr)
        return std::span<uint8_t const>(*b);
    return std::nullopt;
}

bool ValueRef::is_null() const {
    return m_scalar && std::holds_alternative<std::monostate>(*m_scalar);
}

ScalarValue ValueRef::scalar() const {
    if (!m_scalar) return {};
    if (std::holds_alternative<Counter>(*m_scalar)) return Counter{*as_int()};
    return *m_scalar;
}

std::optional<ObjHandle> AutoCommit::handle(ObjId const& obj) const {
    auto index = m_doc->resolve(obj);
    if (!index) return std::nullopt;
    return ObjHandle(*index);
}

ObjId AutoCommit::obj_id(ObjHandle obj) const {
    auto const& ops = m_doc->ops();
    if (obj.m_index >= ops.num_objects()) return ObjId::root();
    return m_doc->public_id(ops.obj(obj.m_index).id);
}

std::optional<ObjType> AutoCommit::object_type(ObjHandle obj) const {
    auto const& ops = m_doc->ops();
    if (obj.m_index >= ops.num_objects()) return std::nullopt;
    return op_set::obj_type_of(ops.obj(obj.m_index).kind);
}

ValueRef AutoCommit::make_value_ref(uint32_t op_index) const {
    auto const& ops = m_doc->ops();
    Op const& op = ops.op(op_index);
    ValueRef v;
    if (auto t = ops.made_type(op)) {
        v.m_obj_type = *t;
        v.m_obj = op.made;
        return v;
    }
    v.m_scalar = &op.value;
    v.m_increments = ops.increments(op);
    return v;
}

std::optional<ValueRef> AutoCommit::read(ObjHandle map, std::string_view key) const {
    auto const& ops = m_doc->ops();
    if (map.m_index >= ops.num_objects() || is_sequence(ops.obj(map.m_index).kind))
        return std::nullopt;
    auto top = ops.winner_at(map.m_index, key);
    if (!top) return std::nullopt;
    return make_value_ref(*top);
}

std::optional<ValueRef> AutoCommit::read(ObjHandle list, size_t index) const {
    auto const& ops = m_doc->ops();
    if (list.m_index >= ops.num_objects()) return std::nullopt;
    auto const& o = ops.obj(list.m_index);
    if (!is_sequence(o.kind)) return std::nullopt;
    auto e = ops.element_at(list.m_index, index);
    if (!e) return std::nullopt;
    auto top = ops.winner(o.seq().elements[*e]);
    if (!top) return std::nullopt;
    return make_value_ref(*top);
}

// Records are read whole and their ops lie far apart in memory, so every op a read will
// touch is asked for before the first is used: the fetches overlap instead of queueing.
void AutoCommit::visit_map(ObjHandle map, FieldVisitor visit, void* f) const {
    auto const& ops = m_doc->ops();
    if (map.m_index >= ops.num_objects()) return;
    auto const& o = ops.obj(map.m_index);
    if (is_sequence(o.kind)) return;
    for (auto const& k : o.keys) __builtin_prefetch(&ops.op(ops.key_ops(k).back()));
    for (auto const& k : o.keys)
        if (auto top = ops.winner(k)) visit(f, ops.key_name(k), make_value_ref(*top));
}

namespace {

// How far into a sequence a prefetch looks: records hold short lists, and a long one is
// read block by block anyway.
constexpr size_t prefetched_elements = 16;

// Level n of an object: maps go header, keys, ops, then level n-3 of the objects their
// ops made; sequences go header, sequence, its arrays (and cached text), the element list
// of its first block, the elements' ops, then level n-5 of the objects those made.
void prefetch_object(OpSet const& ops, uint32_t index, int level) {
    if (index >= ops.num_objects()) return;
    auto const& o = ops.obj(index);
    if (level == 0) {
        __builtin_prefetch(&o);
        return;
    }
    if (!is_sequence(o.kind)) {
        if (level == 1) {
            auto const* bytes = reinterpret_cast<char const*>(o.keys.data());
            size_t const size = o.keys.size() * sizeof(o.keys[0]);
            for (size_t at = 0; at < size; at += 64) __builtin_prefetch(bytes + at);
            return;
        }
        for (auto const& k : o.keys) {
            Op const& op = ops.op(k.list == Op::none ? k.op : ops.key_ops(k).back());
            if (level == 2)
                __builtin_prefetch(&op);
            else if (op.made != Op::none)
                prefetch_object(ops, op.made, level - 3);
        }
        return;
    }
    if (!o.has_seq()) return;
    auto const& seq = o.seq();
    switch (level) {
        case 1:
            // A cached text is read from the string at the front alone, which may straddle
            // two lines.
            __builtin_prefetch(&seq);
            __builtin_prefetch(reinterpret_cast<char const*>(&seq.text_cache + 1) - 1);
            if (o.text_cached) return;
            __builtin_prefetch(reinterpret_cast<char const*>(&seq) + 64);
            __builtin_prefetch(reinterpret_cast<char const*>(&seq) + 128);
            return;
        case 2:
            if (o.text_cached) {
                __builtin_prefetch(seq.text_cache.data());
                return;
            }
            __builtin_prefetch(seq.order.data());
            __builtin_prefetch(seq.blocks.data());
            __builtin_prefetch(seq.elements.data());
            return;
        case 3:
            if (!o.text_cached && !seq.order.empty())
                __builtin_prefetch(seq.blocks[seq.order[0]].elems.data());
            return;
        default:
            break;
    }
    if (o.text_cached || seq.order.empty()) return;
    auto const& first = seq.blocks[seq.order[0]].elems;
    size_t const n = std::min(first.size(), prefetched_elements);
    for (size_t i = 0; i < n; ++i) {
        Op const& op = ops.op(seq.elements[first[i]].insert_op);
        if (level == 4)
            __builtin_prefetch(&op);
        else if (op.made != Op::none)
            prefetch_object(ops, op.made, level - 5);
    }
}

}  // namespace

void AutoCommit::prefetch(ObjHandle obj, int level) const {
    prefetch_object(m_doc->ops(), obj.m_index, level);
}

void AutoCommit::visit_list(ObjHandle list, ElementVisitor visit, void* f) const {
    auto const& ops = m_doc->ops();
    if (list.m_index >= ops.num_objects()) return;
    auto const& o = ops.obj(list.m_index);
    if (!is_sequence(o.kind) || o.seq_width() == 0) return;
    auto const& seq = o.seq();
    for (uint32_t b : seq.order) {
        auto const& elems = seq.blocks[b].elems;
        for (uint32_t e : elems) __builtin_prefetch(&ops.op(seq.elements[e].insert_op));
        for (uint32_t e : elems) {
            auto const& el = seq.elements[e];
            if (el.width == 0) continue;
            if (auto top = ops.winner(el)) visit(f, make_value_ref(*top));
        }
    }
}

std::vector<MapField> AutoCommit::read_map(ObjHandle map) const {
    std::vector<MapField> out;
    auto const& ops = m_doc->ops();
    if (map.m_index < ops.num_objects()) out.reserve(ops.obj(map.m_index).keys.size());
    for_each_field(map, [&](std::string_view key, ValueRef const& value) {
        out.push_back(MapField{key, value});
    });
    return out;
}

std::vector<ValueRef> AutoCommit::read_list(ObjHandle list) const {
    std::vector<ValueRef> out;
    auto const& ops = m_doc->ops();
    if (list.m_index < ops.num_objects()) out.reserve(ops.obj(list.m_index).seq_width());
    for_each_element(list, [&](ValueRef const& value) { out.push_back(value); });
    return out;
}

size_t AutoCommit::length(ObjHandle obj) const {
    auto const& ops = m_doc->ops();
    if (obj.m_index >= ops.num_objects()) return 0;
    return ops.length(obj.m_index);
}

std::string_view AutoCommit::text(ObjHandle text) const {
    auto const& ops = m_doc->ops();
    if (text.m_index >= ops.num_objects() || ops.obj(text.m_index).kind != ObjKind::Text) return {};
    return ops.text(text.m_index);
}

std::vector<ObjHandle> AutoCommit::objects_changed_since(std::span<ChangeHash const> heads) {
    m_doc->commit({}, {});
    std::vector<uint32_t> objs;
    for_each_op_since(*m_doc, heads, [&](uint32_t obj, storage::OpRow const&, storage::OpRef) {
        objs.push_back(obj);
    });
    std::sort(objs.begin(), objs.end());
    objs.erase(std::unique(objs.begin(), objs.end()), objs.end());
    std::vector<ObjHandle> out;
    out.reserve(objs.size());
    for (uint32_t o : objs) out.push_back(ObjHandle(o));
    return out;
}

}  // namespace automerge
