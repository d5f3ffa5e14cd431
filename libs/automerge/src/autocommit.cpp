#include <automerge/automerge.hpp>
#include <unordered_set>

#include "op_set/document.hpp"
#include "storage/change_chunk.hpp"

namespace automerge {

using op_set::Document;
using op_set::ObjKind;

namespace {

uint64_t make_action(ObjType type) {
    switch (type) {
        case ObjType::Map:
            return storage::make_map;
        case ObjType::List:
            return storage::make_list;
        case ObjType::Text:
            return storage::make_text;
    }
    return storage::make_map;
}

Result<void> check_value(ScalarValue const& value) {
    if (auto const* s = std::get_if<std::string>(&value); s && !storage::valid_utf8(*s))
        return fail("string value is not valid UTF-8");
    if (auto const* u = std::get_if<Unknown>(&value); u && (u->type_code < 10 || u->type_code > 15))
        return fail("unknown value type code must be 10 to 15");
    return {};
}

Result<void> check_prop(Prop const& prop) {
    if (auto const* key = std::get_if<std::string>(&prop)) {
        if (!storage::valid_utf8(*key)) return fail("map key is not valid UTF-8");
    }
    return {};
}

bool is_sequence(ObjKind k) {
    return k == ObjKind::List || k == ObjKind::Text;
}

Result<op_set::ParsedChange> parse_change(Change const& change) {
    storage::Reader reader(change.raw);
    auto chunk = storage::read_chunk(reader);
    if (!chunk) return std::unexpected(chunk.error());
    if (chunk->type != storage::ChunkType::Change || !reader.done())
        return fail("change bytes are not a single change chunk");
    auto decoded =
        storage::decode_change_body(chunk->body, (uint64_t{1} << 20) + 16 * chunk->body.size());
    if (!decoded) return std::unexpected(decoded.error());
    op_set::ParsedChange parsed;
    parsed.hash = storage::chunk_hash(storage::ChunkType::Change, chunk->body);
    if (parsed.hash != change.hash) return fail("change hash does not match its bytes");
    parsed.raw = chunk->owned_body.empty()
                     ? change.raw
                     : storage::make_chunk(storage::ChunkType::Change, chunk->body);
    parsed.chunk = std::move(*decoded);
    parsed.drop_ops();
    return parsed;
}

}  // namespace

AutoCommit::AutoCommit() : m_doc(std::make_unique<Document>()) {}
AutoCommit::AutoCommit(ActorId actor) : AutoCommit() {
    m_doc->set_actor(std::move(actor));
}
AutoCommit::AutoCommit(std::unique_ptr<Document> doc) : m_doc(std::move(doc)) {}
AutoCommit::~AutoCommit() = default;
AutoCommit::AutoCommit(AutoCommit&&) noexcept = default;
AutoCommit& AutoCommit::operator=(AutoCommit&&) noexcept = default;

uint64_t AutoCommit::instance() const {
    return m_doc ? m_doc->instance() : 0;
}

Result<AutoCommit> AutoCommit::load(std::span<uint8_t const> bytes) {
    auto doc = std::make_unique<Document>();
    auto r = doc->load_bytes(bytes);
    if (!r) return std::unexpected(r.error());
    return AutoCommit(std::move(doc));
}

Result<size_t> AutoCommit::load_incremental(std::span<uint8_t const> bytes) {
    m_doc->commit({}, {});
    return m_doc->load_bytes(bytes);
}

std::vector<uint8_t> AutoCommit::save() {
    m_doc->commit({}, {});
    return m_doc->save();
}

std::vector<uint8_t> AutoCommit::save_snapshot() {
    m_doc->commit({}, {});
    return m_doc->save_snapshot();
}

std::vector<uint8_t> AutoCommit::save_incremental() {
    m_doc->commit({}, {});
    return m_doc->save_incremental();
}

// Forking commits pending edits first so both documents share them; the document is
// logically unchanged by that, hence the const signature.
AutoCommit AutoCommit::fork() const {
    m_doc->commit({}, {});
    auto copy = std::make_unique<Document>(*m_doc);
    copy->set_actor(ActorId::random());
    return AutoCommit(std::move(copy));
}

Result<AutoCommit> AutoCommit::fork_at(std::span<ChangeHash const> heads) const {
    m_doc->commit({}, {});
    for (auto const& h : heads)
        if (!m_doc->change_index(h)) return fail("unknown head " + h.to_hex());
    auto later = m_doc->changes_since(heads);
    std::unordered_set<uint32_t> excluded(later.begin(), later.end());
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < m_doc->num_changes(); ++i) {
        if (excluded.contains(i)) continue;
        auto const& raw = m_doc->change(i).raw;
        bytes.insert(bytes.end(), raw.begin(), raw.end());
    }
    auto doc = std::make_unique<Document>();
    auto r = doc->load_bytes(bytes);
    if (!r) return std::unexpected(r.error());
    return AutoCommit(std::move(doc));
}

// Walks back from the other document's heads to what we have, and applies what it found in
// reverse discovery order; other implementations merge in this order, which decides the
// order of changes in saved documents.
Result<std::vector<ChangeHash>> AutoCommit::merge(AutoCommit& other) {
    m_doc->commit({}, {});
    other.m_doc->commit({}, {});
    Document const& theirs = *other.m_doc;
    std::vector<uint32_t> stack;
    for (auto const& h : theirs.heads()) stack.push_back(*theirs.change_index(h));
    std::vector<bool> seen(theirs.num_changes(), false);
    std::vector<uint32_t> found;
    while (!stack.empty()) {
        uint32_t i = stack.back();
        stack.pop_back();
        if (seen[i] || m_doc->change_index(theirs.change(i).hash)) continue;
        seen[i] = true;
        found.push_back(i);
        for (uint32_t d : theirs.change(i).deps) stack.push_back(d);
    }
    std::vector<Change> changes;
    changes.reserve(found.size());
    for (auto it = found.rbegin(); it != found.rend(); ++it)
        changes.push_back(theirs.public_change(*it));
    auto r = apply_changes(changes);
    if (!r) return std::unexpected(r.error());
    return get_heads();
}

ActorId const& AutoCommit::get_actor() const {
    return m_doc->actor();
}

void AutoCommit::set_actor(ActorId actor) {
    m_doc->commit({}, {});
    m_doc->set_actor(std::move(actor));
}

void AutoCommit::ensure_transaction_open() {
    m_doc->open_transaction();
}

size_t AutoCommit::pending_ops() const {
    return m_doc->pending_ops();
}

std::optional<ChangeHash> AutoCommit::commit(std::optional<std::string> message,
                                             std::optional<int64_t> time) {
    return m_doc->commit(std::move(message), time);
}

std::vector<ChangeHash> AutoCommit::get_heads() {
    m_doc->commit({}, {});
    return m_doc->heads();
}

Result<std::optional<std::pair<Value, ObjId>>> AutoCommit::get(ObjId const& obj, Prop const& prop) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    auto const& ops = m_doc->ops();
    auto const& o = ops.obj(*index);
    std::optional<uint32_t> top;
    if (auto const* key = std::get_if<std::string>(&prop)) {
        if (is_sequence(o.kind)) return fail("a list or text is indexed by position");
        top = ops.winner_at(*index, *key);
    } else {
        if (!is_sequence(o.kind)) return fail("a map is indexed by key");
        if (auto e = ops.element_at(*index, std::get<size_t>(prop)))
            top = ops.winner(o.seq().elements[*e]);
    }
    if (!top) return std::optional<std::pair<Value, ObjId>>{};
    return std::optional<std::pair<Value, ObjId>>{m_doc->value_pair(*top)};
}

Result<std::vector<std::pair<Value, ObjId>>> AutoCommit::get_all(ObjId const& obj,
                                                                 Prop const& prop) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    auto const& ops = m_doc->ops();
    auto const& o = ops.obj(*index);
    std::vector<std::pair<Value, ObjId>> out;
    auto add = [&](uint32_t i) { out.push_back(m_doc->value_pair(i)); };
    if (auto const* key = std::get_if<std::string>(&prop)) {
        if (is_sequence(o.kind)) return fail("a list or text is indexed by position");
        ops.for_each_visible(*index, *key, add);
    } else {
        if (!is_sequence(o.kind)) return fail("a map is indexed by key");
        if (auto e = ops.element_at(*index, std::get<size_t>(prop)))
            ops.for_each_visible(o.seq().elements[*e], add);
    }
    return out;
}

std::vector<std::string> AutoCommit::keys(ObjId const& obj) {
    std::vector<std::string> out;
    auto index = m_doc->resolve(obj);
    if (!index) return out;
    auto const& ops = m_doc->ops();
    auto const& keys = ops.obj(*index).keys;
    out.reserve(keys.size());
    for (auto const& k : keys)
        if (ops.winner(k)) out.emplace_back(ops.key_name(k));
    return out;
}

size_t AutoCommit::length(ObjId const& obj) {
    auto index = m_doc->resolve(obj);
    return index ? m_doc->ops().length(*index) : 0;
}

Result<std::string> AutoCommit::text(ObjId const& obj) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    auto const& ops = m_doc->ops();
    if (ops.obj(*index).kind != ObjKind::Text) return fail("object is not text");
    return ops.text(*index);
}

std::optional<ObjType> AutoCommit::object_type(ObjId const& obj) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::nullopt;
    return op_set::obj_type_of(m_doc->ops().obj(*index).kind);
}

Result<void> AutoCommit::put(ObjId const& obj, Prop const& prop, ScalarValue value) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    if (auto ok = check_prop(prop); !ok) return ok;
    if (auto ok = check_value(value); !ok) return ok;
    auto r = m_doc->local_op(*index, prop, storage::set, std::move(value), false);
    if (!r) return std::unexpected(r.error());
    return {};
}

Result<ObjId> AutoCommit::put_object(ObjId const& obj, Prop const& prop, ObjType type) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    if (auto ok = check_prop(prop); !ok) return std::unexpected(ok.error());
    auto r = m_doc->local_op(*index, prop, make_action(type), {}, false);
    if (!r) return std::unexpected(r.error());
    return m_doc->public_id(**r);
}

Result<void> AutoCommit::insert(ObjId const& obj, size_t index, ScalarValue value) {
    auto o = m_doc->resolve(obj);
    if (!o) return std::unexpected(o.error());
    if (auto ok = check_value(value); !ok) return ok;
    auto r = m_doc->local_op(*o, Prop{index}, storage::set, std::move(value), true);
    if (!r) return std::unexpected(r.error());
    return {};
}

Result<ObjId> AutoCommit::insert_object(ObjId const& obj, size_t index, ObjType type) {
    auto o = m_doc->resolve(obj);
    if (!o) return std::unexpected(o.error());
    auto r = m_doc->local_op(*o, Prop{index}, make_action(type), {}, true);
    if (!r) return std::unexpected(r.error());
    return m_doc->public_id(**r);
}

Result<void> AutoCommit::remove(ObjId const& obj, Prop const& prop) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    if (auto ok = check_prop(prop); !ok) return ok;
    auto r = m_doc->local_op(*index, prop, storage::del, {}, false);
    if (!r) return std::unexpected(r.error());
    return {};
}

Result<void> AutoCommit::splice_text(ObjId const& obj, size_t pos, size_t del,
                                     std::string_view text) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    return m_doc->splice(*index, pos, del, text);
}

Result<void> AutoCommit::increment(ObjId const& obj, Prop const& prop, int64_t by) {
    auto index = m_doc->resolve(obj);
    if (!index) return std::unexpected(index.error());
    if (auto ok = check_prop(prop); !ok) return ok;
    auto r = m_doc->local_op(*index, prop, storage::inc, ScalarValue{by}, false);
    if (!r) return std::unexpected(r.error());
    return {};
}

std::vector<Change> AutoCommit::get_changes(std::span<ChangeHash const> have_deps) {
    m_doc->commit({}, {});
    std::vector<Change> out;
    for (uint32_t i : m_doc->changes_since(have_deps)) out.push_back(m_doc->public_change(i));
    return out;
}

std::vector<ChangeHash> AutoCommit::get_change_hashes(std::span<ChangeHash const> have_deps) {
    m_doc->commit({}, {});
    auto since = m_doc->changes_since(have_deps);
    std::vector<ChangeHash> out;
    out.reserve(since.size());
    for (uint32_t i : since) out.push_back(m_doc->change(i).hash);
    return out;
}

std::vector<ChangeHash> AutoCommit::get_change_deps(ChangeHash const& hash) const {
    std::vector<ChangeHash> out;
    auto i = m_doc->change_index(hash);
    if (!i) return out;
    for (uint32_t d : m_doc->change(*i).deps) out.push_back(m_doc->change(d).hash);
    return out;
}

size_t AutoCommit::num_changes() const {
    return m_doc->num_changes();
}

Result<void> AutoCommit::apply_changes(std::span<Change const> changes) {
    m_doc->commit({}, {});
    std::vector<op_set::ParsedChange> parsed;
    for (auto const& c : changes) {
        auto p = parse_change(c);
        if (!p) return std::unexpected(p.error());
        parsed.push_back(std::move(*p));
    }
    auto r = m_doc->apply(std::move(parsed));
    if (!r) return std::unexpected(r.error());
    return {};
}

Result<void> AutoCommit::apply_change_bytes(std::span<uint8_t const> bytes) {
    m_doc->commit({}, {});
    auto r = m_doc->load_bytes(bytes);
    if (!r) return std::unexpected(r.error());
    return {};
}

std::vector<ChangeHash> AutoCommit::get_missing_deps(std::span<ChangeHash const> heads) {
    m_doc->commit({}, {});
    return m_doc->missing_deps(heads);
}

size_t AutoCommit::queued_changes() const {
    return m_doc->queued_changes();
}

std::optional<Change> AutoCommit::get_change_by_hash(ChangeHash const& hash) {
    m_doc->commit({}, {});
    auto i = m_doc->change_index(hash);
    if (!i) return std::nullopt;
    return m_doc->public_change(*i);
}

bool AutoCommit::has_change(ChangeHash const& hash) const {
    return m_doc->change_index(hash).has_value();
}

}  // namespace automerge
