#pragma once

// The whole document: actor table, operation set, change history, the open transaction
// and changes waiting for their dependencies.

#include <array>
#include <atomic>
#include <automerge/automerge.hpp>
#include <set>
#include <unordered_map>

#include "op_set/op_set.hpp"
#include "storage/change_chunk.hpp"

namespace automerge::op_set {

struct ChangeRecord {
    ChangeHash hash;
    uint32_t actor = 0;
    uint64_t seq = 0;
    uint64_t start_op = 0;
    uint64_t num_ops = 0;
    int64_t time = 0;
    std::optional<std::string> message;
    std::vector<uint32_t> deps;  // indices of earlier changes, in the change's order
    std::vector<uint8_t> extra;
    std::vector<uint8_t> raw;  // uncompressed change chunk
    uint64_t max_op() const { return start_op + num_ops - 1; }
};

// A change chunk read but not yet applied. Changes read from bytes were checked in full,
// but their ops are decoded again from `raw` when applied, so a large batch does not hold
// every op in decoded form at once.
struct ParsedChange {
    ChangeHash hash;
    storage::ChangeChunk chunk;
    std::vector<uint8_t> raw;
    size_t num_ops = 0;
    bool ops_dropped = false;

    // Keeps the header fields and forgets the decoded ops.
    void drop_ops() {
        num_ops = chunk.ops.size();
        std::vector<storage::OpRow>().swap(chunk.ops);
        ops_dropped = true;
    }
};

// A number no other document of this process had, drawn again when a document is copied:
// tells readers that keep object handles whether they still look at the same document.
class InstanceSerial {
  public:
    InstanceSerial() : m_value(next()) {}
    InstanceSerial(InstanceSerial const&) : m_value(next()) {}
    InstanceSerial& operator=(InstanceSerial const&) {
        m_value = next();
        return *this;
    }
    uint64_t value() const { return m_value; }

  private:
    static uint64_t next() {
        static std::atomic<uint64_t> counter{0};
        return ++counter;
    }
    uint64_t m_value;
};

// Lets the actor table be searched by a view of an id's bytes, so a read does not build a
// string key for every object it resolves.
struct BytesHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

class Document {
  public:
    Document();

    ActorId const& actor() const { return m_actor; }
    uint64_t instance() const { return m_instance.value(); }
    void set_actor(ActorId actor);

    // history
    std::vector<ChangeHash> heads() const { return {m_heads.begin(), m_heads.end()}; }
    size_t num_changes() const { return m_changes.size(); }
    ChangeRecord const& change(size_t i) const { return m_changes[i]; }
    std::optional<uint32_t> change_index(ChangeHash const& h) const;
    std::vector<uint32_t> changes_since(std::span<ChangeHash const> have) const;
    std::vector<ChangeHash> missing_deps(std::span<ChangeHash const> heads) const;
    size_t queued_changes() const { return m_queue.size(); }
    Change public_change(uint32_t index) const;

    // Applies changes whose dependencies are present; queues the rest.
    Result<size_t> apply(std::vector<ParsedChange> changes);
    // Applies a document's changes in its own (dependency-respecting) order.
    Result<size_t> apply_in_order(std::vector<ParsedChange> changes);
    Result<size_t> load_bytes(std::span<uint8_t const> bytes);
    std::vector<uint8_t> save();
    std::vector<uint8_t> save_incremental();
    std::vector<uint8_t> save_since(std::span<ChangeHash const> heads) const;
    // The bytes of save(), leaving the point save_incremental continues from where it was.
    std::vector<uint8_t> save_snapshot() {
        auto keep = m_saved_changes;
        auto out = save();
        m_saved_changes = keep;
        return out;
    }

    // transaction
    size_t pending_ops() const { return m_tx ? m_tx->ops.size() : 0; }
    void open_transaction();
    std::optional<ChangeHash> commit(std::optional<std::string> message,
                                     std::optional<int64_t> time);

    // reads
    Result<uint32_t> resolve(ObjId const& obj) const;
    ObjId public_id(OpRef id) const;
    OpSet const& ops() const { return m_ops; }
    std::pair<Value, ObjId> value_pair(uint32_t op_index) const;

    // writes (inside the open transaction)
    Result<std::optional<OpRef>> local_op(uint32_t obj, Prop const& prop, uint64_t action,
                                          ScalarValue value, bool insert);
    Result<void> splice(uint32_t obj, size_t pos, size_t del, std::string_view text);

    uint32_t intern_actor(ActorId const& actor);

  private:
    struct Transaction {
        uint64_t seq;
        uint64_t start_op;
        std::vector<ChangeHash> deps;
        std::vector<storage::OpRow> ops;  // document actor indices
    };

    Result<void> apply_one(ParsedChange& change);
    // A document chunk read: its changes (checked against its heads) and, when asked for and
    // possible, its op set built straight from its rows.
    struct Reconstructed {
        std::vector<ActorId> actors;
        std::vector<ParsedChange> changes;
        std::optional<OpSet> ops;  // actor indices as in `actors`
    };
    bool holds_heads_of(std::span<uint8_t const> document_body) const;
    Result<Reconstructed> reconstruct(std::span<uint8_t const> body,
                                      std::span<uint8_t const> chunk_raw, bool build_ops);
    // Takes over a reconstructed op set and its changes into this empty document; returns
    // the number of ops.
    size_t load_fresh(Reconstructed doc);
    void add_change_record(ParsedChange& change, uint32_t author, uint64_t num_ops);
    void refresh_ranks();
    uint64_t next_seq(uint32_t actor) const;

    ActorId m_actor;
    InstanceSerial m_instance;
    std::vector<ActorId> m_actors;
    std::unordered_map<std::string, uint32_t, BytesHash, std::equal_to<>> m_actor_index;
    OpSet m_ops;
    uint64_t m_max_op = 0;

    std::vector<ChangeRecord> m_changes;
    std::unordered_map<ChangeHash, uint32_t, ChangeHashHasher> m_change_index;
    std::vector<std::vector<uint32_t>> m_actor_changes;  // per actor, in seq order
    std::set<ChangeHash> m_heads;
    std::vector<ParsedChange> m_queue;
    std::optional<Transaction> m_tx;
    size_t m_saved_changes = 0;

    // Deflated columns of the last document chunk read (with their inflated bytes, which
    // are compared on save), reused when the same column bytes are saved again so an
    // unchanged document saves to the bytes it was read from.
    struct DeflatedColumn {
        std::vector<uint8_t> inflated;
        std::vector<uint8_t> deflated;
    };
    std::vector<DeflatedColumn> m_deflated;

    // Readers resolve the same few objects over and over (a record, then its lists). Objects
    // and actors are only ever added, so a resolved index stays right for the document's
    // life and copies of it; misses and unknown ids simply take the full lookup.
    struct ResolvedObj {
        uint64_t counter = 0;  // 0: empty slot (the root never goes through the cache)
        std::vector<uint8_t> actor;
        uint32_t index = 0;
    };
    mutable std::array<ResolvedObj, 16> m_resolved;
    // Most objects a read meets were made by one or two actors.
    mutable std::vector<uint8_t> m_last_actor_bytes;
    mutable uint32_t m_last_actor = UINT32_MAX;
};

}  // namespace automerge::op_set
