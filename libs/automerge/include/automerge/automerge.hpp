#pragma once

#include <automerge/change.hpp>
#include <automerge/types.hpp>
#include <memory>
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

    AutoCommit fork() const;
    // A fork that sees only the history up to `heads`.
    Result<AutoCommit> fork_at(std::span<ChangeHash const> heads) const;
    Result<std::vector<ChangeHash>> merge(AutoCommit& other);

    ActorId const& get_actor() const;
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

    Result<void> put(ObjId const& obj, Prop const& prop, ScalarValue value);
    Result<ObjId> put_object(ObjId const& obj, Prop const& prop, ObjType type);
    Result<void> insert(ObjId const& obj, size_t index, ScalarValue value);
    Result<ObjId> insert_object(ObjId const& obj, size_t index, ObjType type);
    Result<void> remove(ObjId const& obj, Prop const& prop);
    Result<void> splice_text(ObjId const& obj, size_t pos, size_t del, std::string_view text);
    Result<void> increment(ObjId const& obj, Prop const& prop, int64_t by);

    // Changes not reachable from `have_deps`, in an order that applies cleanly.
    std::vector<Change> get_changes(std::span<ChangeHash const> have_deps);
    Result<void> apply_changes(std::span<Change const> changes);
    Result<void> apply_change_bytes(std::span<uint8_t const> bytes);
    // Dependencies of queued changes and of `heads` that this document lacks, sorted.
    std::vector<ChangeHash> get_missing_deps(std::span<ChangeHash const> heads);
    // Changes received whose dependencies this document lacks: kept (and saved), but not
    // applied until the missing history arrives.
    size_t queued_changes() const;
    std::optional<Change> get_change_by_hash(ChangeHash const& hash);
    bool has_change(ChangeHash const& hash) const;

  private:
    explicit AutoCommit(std::unique_ptr<op_set::Document> doc);
    std::unique_ptr<op_set::Document> m_doc;
};

}  // namespace automerge
