#pragma once

// The operation set: every object, the operations on each map key and list element, and the
// merge rules that decide which values are visible.

#include <automerge/types.hpp>
#include <map>
#include <memory>
#include <unordered_map>

#include "op_set/op_index.hpp"
#include "storage/ops.hpp"
#include "table_allocator.hpp"

namespace automerge::op_set {

using storage::OpRef;  // counter and index into the document's actor table

struct OpRefHash {
    size_t operator()(OpRef const& r) const noexcept {
        return std::hash<uint64_t>{}(r.counter * 0x9e3779b97f4a7c15ull ^ r.actor);
    }
};

enum class ObjKind : uint8_t { Map, Table, List, Text };

// The kind of object an op's action makes, if any.
inline std::optional<ObjKind> kind_made_by(uint64_t action) {
    switch (action) {
        case storage::make_map:
            return ObjKind::Map;
        case storage::make_table:
            return ObjKind::Table;
        case storage::make_list:
            return ObjKind::List;
        case storage::make_text:
            return ObjKind::Text;
        default:
            return std::nullopt;
    }
}

// What readers see of an object kind: tables read as maps.
inline ObjType obj_type_of(ObjKind kind) {
    switch (kind) {
        case ObjKind::List:
            return ObjType::List;
        case ObjKind::Text:
            return ObjType::Text;
        case ObjKind::Map:
        case ObjKind::Table:
            break;
    }
    return ObjType::Map;
}

// One per op of the document, so laid out for size: what only some ops have (successors,
// counter increments, mark names, later ops on an element) lives in side tables.
struct Op {
    static constexpr uint32_t none = UINT32_MAX;
    OpRef id;
    uint32_t obj = 0;
    uint32_t element = 0;  // sequences: index of the element the op belongs to
    // Maps: the interned key. Sequence inserts: the op index of the element inserted after
    // (`none`: the head). Other sequence ops target their own element.
    uint32_t ref = none;
    uint32_t succ = none;  // its successor list, `none` while it has no successors
    uint8_t action = storage::set;
    bool insert = false;
    bool expand = false;
    bool marked = false;   // has a mark name
    uint32_t made = none;  // ops that make an object: the object's index
    ScalarValue value;
};
static_assert(sizeof(Op) <= 80);

// One key of a map: its interned name and its ops. A key with one op (most of them) keeps it
// inline; once a second arrives, the ops move to a list of the op set.
struct MapKey {
    uint32_t name = 0;
    uint32_t op = Op::none;    // the only op while `list` is none
    uint32_t list = Op::none;  // its ops in id order, once it has more than one
};

struct Element {
    uint32_t insert_op = 0;
    uint32_t later = Op::none;  // list of later operations on it, in id order (none: empty)
    uint32_t block = 0;
    uint32_t width = 0;
};

// Elements in document order, cut into blocks so positions are found without walking
// every element.
struct Sequence {
    struct Block {
        std::vector<uint32_t> elems;
        uint64_t width = 0;
    };
    // Texts are read whole far more often than they change; `apply` drops this whenever an
    // op lands on the object or supersedes one of its ops. First, so a read of a cached
    // text touches the start of the sequence only.
    mutable std::string text_cache;
    std::vector<Element> elements;
    std::vector<Block> blocks;       // by block id
    std::vector<uint32_t> order;     // block ids in document order
    std::vector<uint32_t> position;  // block id -> index in `order`
    uint64_t width = 0;
};

// One per object of the document. Whole records are read object after object, so the
// header is kept to one cache line: a sequence's elements live apart, allocated with its
// first element (empty lists, the common case in records, have none).
class Object {
  public:
    Object() = default;
    Object(Object const& other)
        : id(other.id),
          kind(other.kind),
          text_cached(other.text_cached),
          keys(other.keys),
          m_seq(other.m_seq ? std::make_unique<Sequence>(*other.m_seq) : nullptr) {}
    Object(Object&&) noexcept = default;
    Object& operator=(Object const& other) {
        if (this != &other) *this = Object(other);
        return *this;
    }
    Object& operator=(Object&&) noexcept = default;

    Sequence const& seq() const { return m_seq ? *m_seq : empty_sequence(); }
    Sequence& seq_mut() {
        if (!m_seq) m_seq = std::make_unique<Sequence>();
        return *m_seq;
    }
    bool has_seq() const { return m_seq != nullptr; }
    void drop_seq() {
        m_seq.reset();
        text_cached = false;
    }
    // Sequence length without touching the elements.
    uint64_t seq_width() const { return m_seq ? m_seq->width : 0; }

    OpRef id;
    ObjKind kind = ObjKind::Map;
    mutable bool text_cached = false;
    std::vector<MapKey> keys;  // maps: in key order

  private:
    static Sequence const& empty_sequence() {
        static Sequence const empty;
        return empty;
    }
    std::unique_ptr<Sequence> m_seq;
};
static_assert(sizeof(Object) <= 64);

// The ops created earlier in the change being checked: their ids are consecutive
// counters of one actor, so a lookup is arithmetic.
struct PendingOp {
    uint64_t action;
    bool insert;
    OpRef obj;
};
struct PendingOps {
    uint64_t start_op = 0;
    uint32_t actor = 0;
    std::vector<PendingOp> ops;
    PendingOp const* find(OpRef id) const {
        if (id.actor != actor || id.counter < start_op || id.counter - start_op >= ops.size())
            return nullptr;
        return &ops[id.counter - start_op];
    }
};

// Where a local edit points: a map key or a visible index.
struct Found {
    std::vector<uint32_t> visible;  // visible ops at the key or element, in id order
    OpRef elem;                     // sequences: the element
};

class OpSet {
  public:
    OpSet();

    // Actor order decides ties between equal counters.
    void set_actor_ranks(std::vector<uint32_t> ranks) { m_rank = std::move(ranks); }
    bool less(OpRef a, OpRef b) const {
        return a.counter != b.counter ? a.counter < b.counter : m_rank[a.actor] < m_rank[b.actor];
    }

    // Room for `more` ops, so large loads do not copy the op table as it grows.
    void reserve(size_t more) { m_ops.reserve(m_ops.size() + more); }
    // Room in the id index for the ops of `actor` up to `max_counter`, out of `count` ops.
    void reserve_actor(uint32_t actor, uint64_t max_counter, uint64_t count) {
        m_op_index.reserve_actor(actor, max_counter, count);
    }

    std::optional<uint32_t> object(OpRef id) const;
    Object const& obj(uint32_t index) const { return m_objects[index]; }
    size_t num_objects() const { return m_objects.size(); }
    Op const& op(uint32_t index) const { return m_ops[index]; }
    std::optional<uint32_t> find_op(OpRef id) const { return m_op_index.find(id); }
    // Op indices of `actor`'s ops by counter, when the index holds them that way.
    std::optional<std::span<uint32_t const>> ops_by_counter(uint32_t actor) const {
        return m_op_index.by_counter(actor);
    }
    // Calls f(op index) for each op that has successors.
    template <class F>
    void for_each_with_succ(F&& f) const {
        for (uint32_t owner : m_succ_owner) f(owner);
    }
    // Map keys and mark names are stored once and referred to by index.
    std::string const& name(uint32_t index) const { return m_names[index]; }
    std::string const* key_of(Op const& op) const { return &m_names[op.ref]; }
    std::string const* mark_name_of(Op const& op) const {
        return op.marked ? &m_names[m_mark_names.at(op.id)] : nullptr;
    }
    std::string_view key_name(MapKey const& k) const { return m_names[k.name]; }
    // A map key's ops in id order.
    std::span<uint32_t const> key_ops(MapKey const& k) const {
        if (k.list == Op::none) return {&k.op, 1};
        return m_key_lists[k.list];
    }
    // The key of a map, when it has ever had an op.
    MapKey const* find_key(uint32_t obj, std::string_view key) const;
    // The op a read of a key sees (the greatest visible id).
    std::optional<uint32_t> winner(MapKey const& k) const {
        if (k.list == Op::none)
            return visible(m_ops[k.op]) ? std::optional<uint32_t>(k.op) : std::nullopt;
        auto const& list = m_key_lists[k.list];
        for (auto i = list.rbegin(); i != list.rend(); ++i)
            if (visible(m_ops[*i])) return *i;
        return std::nullopt;
    }
    // Successors in id order.
    std::span<OpRef const> succ_of(Op const& op) const {
        if (op.succ == Op::none) return {};
        return m_succ[op.succ];
    }
    // Later ops on an element, in id order.
    std::span<uint32_t const> later_ops(Element const& e) const {
        if (e.later == Op::none) return {};
        return m_later[e.later];
    }
    // Counters: the sum of the increments among the successors.
    int64_t increments(Op const& op) const {
        if (op.succ == Op::none) return 0;
        auto it = m_increments.find(op.id);
        return it == m_increments.end() ? 0 : it->second.total;
    }
    // Sequence ops: the element an insert goes after (counter 0: the head), or the element
    // any other op targets.
    OpRef elem_of(Op const& op) const {
        if (op.insert) return op.ref == Op::none ? OpRef{} : m_ops[op.ref].id;
        return m_ops[m_objects[op.obj].seq().elements[op.element].insert_op].id;
    }
    // The element of `obj` inserted by op `id`.
    std::optional<uint32_t> find_element(uint32_t obj, OpRef id) const;
    size_t num_ops() const { return m_ops.size(); }

    // Checks that an op could be applied: its object, element and predecessors exist. The
    // caller guarantees that `id` is new.
    // `pending` holds ids created earlier in the same change.
    Result<void> check(storage::OpRow const& row, OpRef id, PendingOps const& pending) const;
    // Applies a checked op.
    void apply(storage::OpRow&& row, OpRef id);
    // Builds an empty op set from a saved document's rows, one at a time in document order
    // (objects by id, map keys in order, list elements in list order, the ops of a key or
    // element by id), with successors in `refs` and actor indices that are their ranks.
    // Checks what `check` would: objects, keys and elements exist and fit the object's kind.
    // `finish_load` completes counters and widths once every row is in.
    struct Loading {
        uint32_t obj = UINT32_MAX;  // the object of the previous row
        OpRef obj_id{UINT64_MAX, 0};
        bool any_inc = false;
        std::vector<uint32_t> objects;  // in the order their rows came
        // Elements of the sequence being read, laid out into blocks once it is complete.
        std::vector<Element> elements;
        // Sequences laid out while counters could still be incremented: their widths wait
        // for `finish_load`.
        std::vector<uint32_t> unsized;
    };
    Result<void> load_row(storage::OpRow&& row, Loading& state);
    void finish_load(Loading& state);

    // Inline: every read of every key and character asks this.
    bool visible(Op const& op) const {
        if (op.action == storage::inc || op.action >= storage::mark) return false;
        if (op.succ == Op::none) return true;
        if (op.action == storage::set && std::holds_alternative<Counter>(op.value))
            return m_succ[op.succ].size() == increment_count(op);
        return false;
    }
    ScalarValue value_of(Op const& op) const;
    std::optional<ObjType> made_type(Op const& op) const {
        auto kind = kind_made_by(op.action);
        return kind ? std::optional<ObjType>(obj_type_of(*kind)) : std::nullopt;
    }

    std::vector<uint32_t> visible_at(uint32_t obj, std::string_view key) const;
    std::vector<uint32_t> visible_at(Element const& elem) const;
    // The op whose value a read sees (the greatest visible id), without building the list.
    std::optional<uint32_t> winner_at(uint32_t obj, std::string_view key) const;
    // Calls f(key, op index) for each key of a map that has a visible op, with its winner,
    // in key order.
    template <class F>
    void for_each_winner(uint32_t obj, F&& f) const {
        for (MapKey const& k : m_objects[obj].keys)
            if (auto top = winner(k)) f(m_names[k.name], *top);
    }
    std::optional<uint32_t> winner(Element const& elem) const;
    // Calls f(op index) for each visible op at a key or element, in id order.
    template <class F>
    void for_each_visible(uint32_t obj, std::string_view key, F&& f) const {
        if (auto const* k = find_key(obj, key))
            for (uint32_t i : key_ops(*k))
                if (visible(m_ops[i])) f(i);
    }
    template <class F>
    void for_each_visible(Element const& elem, F&& f) const {
        if (visible(m_ops[elem.insert_op])) f(elem.insert_op);
        for (uint32_t i : later_ops(elem))
            if (visible(m_ops[i])) f(i);
    }
    // The element at a visible index (counting widths), with the offset into it.
    std::optional<uint32_t> element_at(uint32_t obj, uint64_t index) const;
    // The last visible element before `index` (nullopt: insert at the head).
    std::optional<uint32_t> element_before(uint32_t obj, uint64_t index) const;
    uint64_t length(uint32_t obj) const;
    // A text object's content; an embedded object or non-string value reads as U+FFFC.
    std::string const& text(uint32_t obj) const;

    // Every element in order, for reading whole lists and texts.
    template <class F>
    void for_each_element(uint32_t obj, F&& f) const {
        auto const& seq = m_objects[obj].seq();
        for (uint32_t b : seq.order)
            for (uint32_t e : seq.blocks[b].elems) f(seq.elements[e]);
    }

    // Rows in document order, actors as stored (the caller remaps them).
    // Objects in id order (the root first).
    std::vector<uint32_t> const& objects_in_order() const;
    // Calls f(op) for each op of one object in document order: maps by key, sequences by
    // element (its insert, then later ops on it).
    template <class F>
    void for_each_op(uint32_t obj, F&& f) const {
        Object const& o = m_objects[obj];
        if (o.kind != ObjKind::List && o.kind != ObjKind::Text) {
            for (MapKey const& k : o.keys)
                for (uint32_t i : key_ops(k)) f(m_ops[i]);
            return;
        }
        auto const& seq = o.seq();
        for (uint32_t b : seq.order) {
            for (uint32_t e : seq.blocks[b].elems) {
                Element const& el = seq.elements[e];
                f(m_ops[el.insert_op]);
                for (uint32_t i : later_ops(el)) f(m_ops[i]);
            }
        }
    }

  private:
    uint32_t add_object(OpRef id, ObjKind kind);
    void insert_element(uint32_t obj, uint32_t op_index, OpRef after);
    void refresh_width(uint32_t obj, uint32_t elem);
    uint32_t width_of(Object const& o, Element const& e) const;
    void split_block(Sequence& seq, uint32_t block_id);
    void seal_sequence(Loading& state);
    void add_to_sorted(std::vector<uint32_t>& list, uint32_t op_index);
    void add_to_key(Object& o, uint32_t op_index);
    void add_later(Element& e, uint32_t op_index);
    void add_succ(Op& op, OpRef succ);
    uint32_t increment_count(Op const& op) const {
        auto it = m_increments.find(op.id);
        return it == m_increments.end() ? 0 : it->second.count;
    }

    std::vector<Op, TableAllocator<Op>> m_ops;
    OpIndex m_op_index;
    std::vector<std::vector<OpRef>> m_succ;          // successor lists
    std::vector<uint32_t> m_succ_owner;              // the op of each
    std::vector<std::vector<uint32_t>> m_later;      // later ops on an element
    std::vector<std::vector<uint32_t>> m_key_lists;  // ops of map keys that have several
    // Counters with increments among their successors.
    struct Increments {
        uint32_t count = 0;
        int64_t total = 0;
    };
    std::unordered_map<OpRef, Increments, OpRefHash> m_increments;
    std::unordered_map<OpRef, uint32_t, OpRefHash> m_mark_names;  // interned, by op id
    std::vector<Object> m_objects;
    OpIndex m_object_index;
    uint32_t intern(std::string&& name);

    std::vector<uint32_t> m_rank;
    // Objects in id order (the root first) while it covers every object. Actor ranks only
    // ever keep the relative order of known actors, so it stays right as actors come.
    mutable std::vector<uint32_t> m_obj_order;
    std::vector<std::string> m_names;
    std::unordered_map<std::string, uint32_t> m_name_index;
};

}  // namespace automerge::op_set
