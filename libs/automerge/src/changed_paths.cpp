// Where a run of changes wrote, so a reader can refresh only what they touched.
#include <automerge/automerge.hpp>
#include <set>
#include <unordered_map>

#include "changed_ops.hpp"
#include "op_set/document.hpp"
#include "storage/change_chunk.hpp"
#include "storage/chunk.hpp"
#include "storage/leb128.hpp"

namespace automerge {

namespace {

using op_set::Document;
using op_set::ObjKind;
using op_set::OpSet;
using storage::OpRef;

// The visible index of a sequence element: the widths of the blocks before it, then of the
// elements before it in its own block.
size_t element_index(op_set::Object const& o, uint32_t elem) {
    auto const& seq = o.seq();
    uint32_t block = seq.elements[elem].block;
    uint64_t index = 0;
    for (uint32_t k = 0; k < seq.position[block]; ++k) index += seq.blocks[seq.order[k]].width;
    for (uint32_t e : seq.blocks[block].elems) {
        if (e == elem) break;
        index += seq.elements[e].width;
    }
    return size_t(index);
}

// Where a list insert's element stands now, when it is still there.
std::optional<size_t> inserted_index(OpSet const& ops, uint32_t obj, storage::OpRow const& row,
                                     OpRef id) {
    auto const& o = ops.obj(obj);
    if (!row.insert || o.kind != ObjKind::List) return std::nullopt;
    auto op = ops.find_op(id);
    if (!op) return std::nullopt;
    auto const& elem = o.seq().elements[ops.op(*op).element];
    if (!ops.winner(elem)) return std::nullopt;
    return element_index(o, ops.op(*op).element);
}

class PathFinder {
  public:
    explicit PathFinder(OpSet const& ops) : m_ops(ops) {}

    // The path from the root to object `obj`, or nothing when a reader cannot reach it.
    std::optional<std::vector<Prop>> const& path(uint32_t obj) {
        if (auto it = m_paths.find(obj); it != m_paths.end()) return it->second;
        auto found = compute(obj);
        return m_paths.emplace(obj, std::move(found)).first->second;
    }

  private:
    std::optional<std::vector<Prop>> compute(uint32_t obj) {
        if (obj == 0) return std::vector<Prop>{};
        auto made = m_ops.find_op(m_ops.obj(obj).id);
        if (!made) return std::nullopt;
        auto const& op = m_ops.op(*made);
        auto const& parent = m_ops.obj(op.obj);
        Prop prop;
        if (parent.kind == ObjKind::List || parent.kind == ObjKind::Text) {
            auto const& elem = parent.seq().elements[op.element];
            if (m_ops.winner(elem) != *made) return std::nullopt;
            prop = element_index(parent, op.element);
        } else {
            auto const& key = *m_ops.key_of(op);
            if (m_ops.winner_at(op.obj, key) != *made) return std::nullopt;
            prop = key;
        }
        auto up = path(op.obj);
        if (!up) return std::nullopt;
        auto out = *up;
        out.push_back(std::move(prop));
        return out;
    }

    OpSet const& m_ops;
    std::unordered_map<uint32_t, std::optional<std::vector<Prop>>> m_paths;
};

}  // namespace

void for_each_op_since(
    Document& doc, std::span<ChangeHash const> since,
    std::function<void(uint32_t obj, storage::OpRow const& row, OpRef id)> const& f) {
    auto const& ops = doc.ops();
    for (uint32_t i : doc.changes_since(since)) {
        auto const& change = doc.change(i);
        storage::Reader reader(change.raw);
        (void)reader.take(9);  // magic, checksum, type: checked when the change was read
        (void)reader.uleb();
        auto decoded = storage::decode_change_body(reader.rest(), UINT64_MAX);
        if (!decoded) continue;  // every stored change was decoded once already
        std::vector<uint32_t> actors;
        actors.reserve(decoded->actors.size());
        for (auto const& a : decoded->actors) actors.push_back(doc.intern_actor(a));
        for (size_t k = 0; k < decoded->ops.size(); ++k) {
            auto const& row = decoded->ops[k];
            uint32_t obj = 0;
            if (row.obj.counter != 0) {
                auto found = ops.object(OpRef{row.obj.counter, actors[row.obj.actor]});
                if (!found) continue;
                obj = *found;
            }
            f(obj, row, OpRef{change.start_op + k, change.actor});
        }
    }
}

std::optional<std::vector<std::vector<Prop>>> AutoCommit::changed_paths(
    std::span<ChangeHash const> since) {
    m_doc->commit({}, {});
    for (auto const& h : since)
        if (!m_doc->change_index(h)) return std::nullopt;
    auto const& ops = m_doc->ops();
    PathFinder finder(ops);
    std::set<std::vector<Prop>> out;
    for_each_op_since(*m_doc, since, [&](uint32_t obj, storage::OpRow const& row, OpRef id) {
        auto const& base = finder.path(obj);
        if (!base) return;
        auto path = *base;
        if (row.key_str)
            path.emplace_back(*row.key_str);
        else if (auto index = inserted_index(ops, obj, row, id))
            path.emplace_back(*index);
        out.insert(std::move(path));
    });
    return std::vector<std::vector<Prop>>(out.begin(), out.end());
}

}  // namespace automerge
