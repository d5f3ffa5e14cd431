#pragma once

#include <automerge/change.hpp>
#include <automerge/read.hpp>
#include <automerge/types.hpp>
#include <memory>
#include <type_traits>
#include <utility>

namespace automerge {

namespace op_set {
class Document;
}

// A document with an implicitly opened transaction: writes accumulate until `commit`
// (or any read of history, save or merge) turns them into one change.
class AutoCommit {
  public:
    AutoCommit();
    explicit AutoCommit(ActorId actor);
    ~AutoCommit();
    AutoCommit(AutoCommit&&) noexcept;
    AutoCommit& operator=(AutoCommit&&) noexcept;
    AutoCommit(AutoCommit const&) = delete;
    AutoCommit& operator=(AutoCommit const&) = delete;

    // Any sequence of document and change chunks.
    static Result<AutoCommit> load(std::span<uint8_t const> bytes);
    // Returns the number of operations applied.
    Result<size_t> load_incremental(std::span<uint8_t const> bytes);
    std::vector<uint8_t> save();
    std::vector<uint8_t> save_incremental();
    // The bytes of save() without moving the point save_incremental continues from, so
    // that a copy for someone else leaves the caller's own persistence untouched.
    std::vector<uint8_t> save_snapshot();

    AutoCommit fork() const;
    // A fork that sees only the history up to `heads`.
    Result<AutoCommit> fork_at(std::span<ChangeHash const> heads) const;
    Result<std::vector<ChangeHash>> merge(AutoCommit& other);

    ActorId const& get_actor() const;
    // Differs between any two documents of the process, a fork and its origin included, and
    // stays with a document when it is moved. Object handles are valid only for the
    // instance that gave them.
    uint64_t instance() const;
    void set_actor(ActorId actor);
    void ensure_transaction_open();
    size_t pending_ops() const;
    std::optional<ChangeHash> commit(std::optional<std::string> message = {},
                                     std::optional<int64_t> time = {});
    std::vector<ChangeHash> get_heads();

    Result<std::optional<std::pair<Value, ObjId>>> get(ObjId const& obj, Prop const& prop);
    Result<std::vector<std::pair<Value, ObjId>>> get_all(ObjId const& obj, Prop const& prop);
    std::vector<std::string> keys(ObjId const& obj);
    size_t length(ObjId const& obj);
    Result<std::string> text(ObjId const& obj);
    std::optional<ObjType> object_type(ObjId const& obj);

    // Cheap reads (see read.hpp). They never commit and see the open transaction's edits.
    // Resolves an id once; nullopt when the document has no such object.
    std::optional<ObjHandle> handle(ObjId const& obj) const;
    ObjId obj_id(ObjHandle obj) const;
    // nullopt for a handle this document does not hold.
    std::optional<ObjType> object_type(ObjHandle obj) const;
    // The winning value at a map key (nullopt: no visible value, or not a map).
    std::optional<ValueRef> read(ObjHandle map, std::string_view key) const;
    // The value at a list position (nullopt: past the end, or not a list or text).
    std::optional<ValueRef> read(ObjHandle list, size_t index) const;
    // Every visible key of a map with its winning value, in key order: one call per record.
    std::vector<MapField> read_map(ObjHandle map) const;
    // Every visible element of a list, in order.
    std::vector<ValueRef> read_list(ObjHandle list) const;
    // The same without building a vector: calls f(std::string_view key, ValueRef const&
    // value) for each visible key of a map, in key order (nothing when `map` is not a map).
    template <class F>
    void for_each_field(ObjHandle map, F&& f) const {
        visit_map(map, &call_field<std::remove_reference_t<F>>, erase(f));
    }
    // Calls f(ValueRef const& value) for each visible element of a list or text, in order.
    template <class F>
    void for_each_element(ObjHandle list, F&& f) const {
        visit_list(list, &call_element<std::remove_reference_t<F>>, erase(f));
    }
    // Asks the memory system early for what a later read of `obj` will touch, one level
    // deeper per call: level 0 is the object itself; each further level is what can only be
    // found once the level before it has arrived (a map's keys, their ops, the objects they
    // made, those objects' keys or elements, …). A loop over many records asks for level 0
    // of a record far ahead and deeper levels of nearer ones, so their fetches overlap. Only
    // a hint: it never reads past what the document holds, and any level may be skipped.
    void prefetch(ObjHandle obj, int level) const;
    // Visible keys of a map, or visible elements (characters for text) of a sequence.
    size_t length(ObjHandle obj) const;
    // A text's content, built once and cached until the text changes; the view is valid
    // until the next write to, merge into or load into the document. Empty for non-texts.
    std::string_view text(ObjHandle text) const;
    // Objects that the changes not reachable from `heads` touched (an op in them, or a
    // successor of an op in them: deletions, overwrites, increments), each once, parents
    // not included. Lets a view refresh only what changed since it last read `heads`.
    std::vector<ObjHandle> objects_changed_since(std::span<ChangeHash const> heads);

    Result<void> put(ObjId const& obj, Prop const& prop, ScalarValue value);
    Result<ObjId> put_object(ObjId const& obj, Prop const& prop, ObjType type);
    Result<void> insert(ObjId const& obj, size_t index, ScalarValue value);
    Result<ObjId> insert_object(ObjId const& obj, size_t index, ObjType type);
    Result<void> remove(ObjId const& obj, Prop const& prop);
    Result<void> splice_text(ObjId const& obj, size_t pos, size_t del, std::string_view text);
    Result<void> increment(ObjId const& obj, Prop const& prop, int64_t by);

    // Changes not reachable from `have_deps`, in an order that applies cleanly.
    std::vector<Change> get_changes(std::span<ChangeHash const> have_deps);
    // The hashes of get_changes(have_deps), in the same order, without copying any change.
    std::vector<ChangeHash> get_change_hashes(std::span<ChangeHash const> have_deps);
    // The dependencies of a change in the history (nothing for an unknown one).
    std::vector<ChangeHash> get_change_deps(ChangeHash const& hash) const;
    // Changes in the history (queued ones not counted).
    size_t num_changes() const;
    Result<void> apply_changes(std::span<Change const> changes);
    Result<void> apply_change_bytes(std::span<uint8_t const> bytes);
    // Dependencies of queued changes and of `heads` that this document lacks, sorted. A
    // queued change is not lacked: its own missing dependencies stand for it.
    std::vector<ChangeHash> get_missing_deps(std::span<ChangeHash const> heads);
    // Changes received whose dependencies this document lacks: kept (and saved), but not
    // applied until the missing history arrives.
    size_t queued_changes() const;
    std::optional<Change> get_change_by_hash(ChangeHash const& hash);
    bool has_change(ChangeHash const& hash) const;
    // Where the changes not reachable from `since` wrote, as paths from the root, each once:
    // a map write gives the path to the key written, an element inserted into a list and
    // still there the path to that element, any other list or text write the path to the
    // sequence. Keys and indexes are as the document stands now; writes inside objects that
    // are no longer reachable are left out. Nothing when `since` names an unknown change.
    std::optional<std::vector<std::vector<Prop>>> changed_paths(std::span<ChangeHash const> since);

  private:
    explicit AutoCommit(std::unique_ptr<op_set::Document> doc);
    ValueRef make_value_ref(uint32_t op_index) const;
    using FieldVisitor = void (*)(void* f, std::string_view key, ValueRef const& value);
    using ElementVisitor = void (*)(void* f, ValueRef const& value);
    void visit_map(ObjHandle map, FieldVisitor visit, void* f) const;
    void visit_list(ObjHandle list, ElementVisitor visit, void* f) const;
    template <class F>
    static void* erase(F& f) {
        return const_cast<void*>(static_cast<void const*>(std::addressof(f)));
    }
    template <class F>
    static void call_field(void* f, std::string_view key, ValueRef const& value) {
        (*static_cast<F*>(f))(key, value);
    }
    template <class F>
    static void call_element(void* f, ValueRef const& value) {
        (*static_cast<F*>(f))(value);
    }
    std::unique_ptr<op_set::Document> m_doc;
};

}  // namespace automerge
