#pragma once

// The peer-to-peer sync protocol: each side keeps a SyncState per peer and exchanges
// messages (heads, needs, a Bloom filter of what it has, and changes) until both hold the
// same history. Messages and persisted states are byte-compatible with the reference engine.

#include <automerge/automerge.hpp>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <vector>

namespace automerge {

// A probabilistic set of change hashes (about 1% false positives) that tells the peer which
// changes we already have without listing them.
class BloomFilter {
  public:
    BloomFilter() = default;
    static BloomFilter from_hashes(std::span<ChangeHash const> hashes);
    // Reads a filter from its own byte string; bytes after the filter are ignored.
    static Result<BloomFilter> decode(std::span<uint8_t const> bytes);

    // An empty filter encodes as no bytes at all.
    std::vector<uint8_t> encode() const;
    bool contains(ChangeHash const& hash) const;

    uint32_t num_entries() const { return m_num_entries; }
    uint32_t bits_per_entry() const { return m_bits_per_entry; }
    uint32_t num_probes() const { return m_num_probes; }
    std::span<uint8_t const> bits() const { return m_bits; }

    bool operator==(BloomFilter const&) const = default;

  private:
    template <class F>
    void for_each_probe(ChangeHash const& hash, F&& visit) const;

    uint32_t m_num_entries = 0;
    uint32_t m_bits_per_entry = 10;
    uint32_t m_num_probes = 7;
    std::vector<uint8_t> m_bits;
};

// What the sender already has: everything up to `last_sync` plus the filter's contents.
struct SyncHave {
    std::vector<ChangeHash> last_sync;
    BloomFilter bloom;
    bool operator==(SyncHave const&) const = default;
};

enum class SyncMessageVersion : uint8_t {
    V1 = 0x42,
    // Carries its changes as one concatenated chunk, possibly a whole saved document.
    V2 = 0x43,
};

// Bits of the flag byte that follows the message body.
namespace sync_flags {
inline constexpr uint8_t sync_reset = 1 << 0;
inline constexpr uint8_t read_only = 1 << 1;
inline constexpr uint8_t supports_sync_reset = 1 << 2;
}  // namespace sync_flags

struct SyncMessage {
    SyncMessageVersion version = SyncMessageVersion::V1;
    std::vector<ChangeHash> heads;
    std::vector<ChangeHash> need;
    std::vector<SyncHave> have;
    std::vector<std::vector<uint8_t>> changes;
    // Absent in messages from peers that predate the flag section.
    std::optional<uint8_t> flags;

    std::vector<uint8_t> encode() const;
    static Result<SyncMessage> decode(std::span<uint8_t const> bytes);
    bool operator==(SyncMessage const&) const = default;
};

enum class SyncCapability { MessageV1, MessageV2, SyncReset };

// Per-peer sync bookkeeping. Only `shared_heads` survives encode/decode; the rest describes
// the current connection.
struct SyncState {
    std::vector<ChangeHash> shared_heads;
    std::vector<ChangeHash> last_sent_heads;
    std::optional<std::vector<ChangeHash>> their_heads;
    std::optional<std::vector<ChangeHash>> their_need;
    std::optional<std::vector<SyncHave>> their_have;
    std::set<ChangeHash> sent_hashes;
    // A message is on its way and the peer has not answered yet.
    bool in_flight = false;
    // We always answer at least once so the peer learns our heads.
    bool have_responded = false;
    std::optional<std::vector<SyncCapability>> their_capabilities;
    // Incoming changes are not applied (a publish-only peer).
    bool read_only = false;
    bool peer_read_only = false;
    bool needs_reset = false;

    // Leaving read-only mode starts a fresh exchange so the peer resends what we ignored.
    void set_read_only(bool value);
    bool supports_v2_messages() const;
    bool peer_supports_sync_reset() const;

    std::vector<uint8_t> encode() const;
    static Result<SyncState> decode(std::span<uint8_t const> bytes);
};

// The next message for the peer, or nothing when it is up to date or an earlier message
// is still unanswered.
std::optional<std::vector<uint8_t>> generate_sync_message(AutoCommit& doc, SyncState& state);
// Applies a peer's message: its changes go into `doc`, its summary into `state`.
Result<void> receive_sync_message(AutoCommit& doc, SyncState& state,
                                  std::span<uint8_t const> message);

}  // namespace automerge
