#include <algorithm>
#include <automerge/sync.hpp>
#include <unordered_map>
#include <unordered_set>

namespace automerge {

namespace {

using HashSet = std::unordered_set<ChangeHash, ChangeHashHasher>;

std::vector<ChangeHash> known_only(AutoCommit& doc, std::span<ChangeHash const> hashes) {
    std::vector<ChangeHash> out;
    for (auto const& h : hashes) {
        if (doc.has_change(h)) out.push_back(h);
    }
    return out;
}

void sort_unique(std::vector<ChangeHash>& hashes) {
    std::ranges::sort(hashes);
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
}

// What we must ask for to reach the peer's heads. Only the peer's heads count: changes we
// queued from elsewhere may wait on dependencies this peer has never seen, and asking for
// those would stall the exchange. A head that is itself queued leads through the queue,
// which only the document can walk, so then its full missing-dependency answer is used.
std::vector<ChangeHash> needed_for(AutoCommit& doc, std::vector<ChangeHash> const& their_heads) {
    std::vector<ChangeHash> unknown;
    for (auto const& h : their_heads) {
        if (!doc.has_change(h)) unknown.push_back(h);
    }
    if (unknown.empty()) return {};
    auto missing = doc.get_missing_deps(their_heads);
    bool head_is_queued = std::ranges::any_of(
        unknown, [&](ChangeHash const& h) { return !std::ranges::binary_search(missing, h); });
    if (head_is_queued) return missing;
    sort_unique(unknown);
    return unknown;
}

SyncHave make_have(AutoCommit& doc, std::vector<ChangeHash> const& last_sync) {
    auto hashes = doc.get_change_hashes(known_only(doc, last_sync));
    return SyncHave{last_sync, BloomFilter::from_hashes(hashes)};
}

// Changes the peer lacks: the ones it asked for by hash, then everything since the common
// point that none of its filters claims, plus all descendants of those (a change whose
// dependency the peer lacks could not be applied there anyway). Only hashes: the changes
// themselves are copied once it is settled that they go out one by one.
std::vector<ChangeHash> hashes_to_send(AutoCommit& doc, std::vector<SyncHave> const& have,
                                       std::vector<ChangeHash> const& need) {
    std::vector<ChangeHash> needed = known_only(doc, need);
    if (have.empty()) return needed;

    std::vector<ChangeHash> last_sync;
    for (auto const& h : have)
        last_sync.insert(last_sync.end(), h.last_sync.begin(), h.last_sync.end());
    sort_unique(last_sync);
    auto since = doc.get_change_hashes(known_only(doc, last_sync));

    std::unordered_map<ChangeHash, std::vector<ChangeHash>, ChangeHashHasher> dependents;
    HashSet to_send;
    for (auto const& hash : since) {
        for (auto const& dep : doc.get_change_deps(hash)) dependents[dep].push_back(hash);
        bool claimed =
            std::ranges::any_of(have, [&](SyncHave const& h) { return h.bloom.contains(hash); });
        if (!claimed) to_send.insert(hash);
    }
    std::vector<ChangeHash> stack(to_send.begin(), to_send.end());
    while (!stack.empty()) {
        auto hash = stack.back();
        stack.pop_back();
        auto it = dependents.find(hash);
        if (it == dependents.end()) continue;
        for (auto const& d : it->second) {
            if (to_send.insert(d).second) stack.push_back(d);
        }
    }

    std::vector<ChangeHash> out;
    for (auto const& h : needed) {
        if (!to_send.contains(h)) out.push_back(h);
    }
    for (auto const& h : since) {
        if (to_send.contains(h)) out.push_back(h);
    }
    return out;
}

struct Outgoing {
    SyncMessageVersion version = SyncMessageVersion::V1;
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<ChangeHash> hashes;
};

Outgoing as_changes(AutoCommit& doc, std::vector<ChangeHash> const& hashes,
                    SyncState const& state) {
    Outgoing out;
    bool joined = state.supports_v2_messages();
    if (joined) out.version = SyncMessageVersion::V2;
    std::vector<uint8_t> chunk;
    for (auto const& h : hashes) {
        auto c = doc.get_change_by_hash(h);
        if (!c) continue;
        out.hashes.push_back(h);
        if (joined) {
            chunk.insert(chunk.end(), c->raw.begin(), c->raw.end());
        } else {
            out.chunks.push_back(std::move(c->raw));
        }
    }
    if (!chunk.empty()) out.chunks.push_back(std::move(chunk));
    return out;
}

// The whole document as one saved chunk. The caller's document keeps its incremental-save
// point, so its own append-only persistence skips nothing.
Outgoing as_document(AutoCommit& doc) {
    Outgoing out;
    out.version = SyncMessageVersion::V2;
    auto bytes = doc.save_snapshot();
    if (!bytes.empty()) {
        out.hashes = doc.get_change_hashes({});
        out.chunks.push_back(std::move(bytes));
    }
    return out;
}

// As the reference does: a peer with nothing, or one that lacks more than a third of the
// history, gets the whole document when it reads version 2 messages.
Outgoing plan_outgoing(AutoCommit& doc, SyncState const& state) {
    if (state.peer_read_only || !state.their_have || !state.their_need) {
        return as_changes(doc, {}, state);
    }
    bool peer_is_empty = state.their_heads && state.their_heads->empty();
    if (peer_is_empty && state.supports_v2_messages()) return as_document(doc);

    auto hashes = hashes_to_send(doc, *state.their_have, *state.their_need);
    std::erase_if(hashes, [&](ChangeHash const& h) { return state.sent_hashes.contains(h); });
    if (state.supports_v2_messages() && hashes.size() > doc.num_changes() / 3) {
        return as_document(doc);
    }
    return as_changes(doc, hashes, state);
}

std::vector<uint8_t> reset_message(std::vector<ChangeHash> heads) {
    SyncMessage msg;
    msg.heads = std::move(heads);
    msg.have.push_back(SyncHave{});
    msg.flags = sync_flags::supports_sync_reset;
    return msg.encode();
}

std::vector<ChangeHash> advance_heads(HashSet const& old_heads,
                                      std::vector<ChangeHash> const& new_heads,
                                      std::vector<ChangeHash> const& old_shared) {
    HashSet now(new_heads.begin(), new_heads.end());
    std::vector<ChangeHash> out;
    for (auto const& h : new_heads) {
        if (!old_heads.contains(h)) out.push_back(h);
    }
    for (auto const& h : old_shared) {
        if (now.contains(h)) out.push_back(h);
    }
    sort_unique(out);
    return out;
}

// Forget sent changes the peer's heads already cover; what remains may still be missing there.
void drop_acknowledged(AutoCommit& doc, std::vector<ChangeHash> const& their_heads,
                       std::set<ChangeHash>& sent) {
    if (sent.empty()) return;
    auto known = known_only(doc, their_heads);
    if (known.empty()) return;
    auto later = doc.get_change_hashes(known);
    HashSet unseen(later.begin(), later.end());
    std::erase_if(sent,
                  [&](ChangeHash const& h) { return doc.has_change(h) && !unseen.contains(h); });
}

void record_capabilities(SyncState& state, uint8_t flags) {
    std::vector<SyncCapability> caps{SyncCapability::MessageV2};
    if (flags & sync_flags::supports_sync_reset) caps.push_back(SyncCapability::SyncReset);
    state.their_capabilities = std::move(caps);
    if (flags & sync_flags::sync_reset) state.sent_hashes.clear();
    state.peer_read_only = (flags & sync_flags::read_only) != 0;
}

Result<void> apply_incoming(AutoCommit& doc, SyncState& state, SyncMessage const& msg,
                            std::vector<ChangeHash> const& before_heads) {
    std::vector<uint8_t> joined;
    for (auto const& chunk : msg.changes) joined.insert(joined.end(), chunk.begin(), chunk.end());
    auto applied = doc.load_incremental(joined);
    if (!applied) return std::unexpected(applied.error());
    HashSet before(before_heads.begin(), before_heads.end());
    state.shared_heads = advance_heads(before, doc.get_heads(), state.shared_heads);
    return {};
}

}  // namespace

std::optional<std::vector<uint8_t>> generate_sync_message(AutoCommit& doc, SyncState& state) {
    auto our_heads = doc.get_heads();
    std::vector<ChangeHash> our_need;
    if (!state.read_only && state.their_heads) our_need = needed_for(doc, *state.their_heads);

    HashSet their_heads;
    if (state.their_heads) their_heads.insert(state.their_heads->begin(), state.their_heads->end());
    std::vector<SyncHave> our_have;
    if (std::ranges::all_of(our_need,
                            [&](ChangeHash const& h) { return their_heads.contains(h); })) {
        our_have.push_back(make_have(doc, state.shared_heads));
    }

    // The peer's last sync point is unknown to us: it saw history we lost, so start over.
    if (state.their_have && !state.their_have->empty()) {
        auto const& first = state.their_have->front().last_sync;
        if (!std::ranges::all_of(first, [&](ChangeHash const& h) { return doc.has_change(h); })) {
            return reset_message(our_heads);
        }
    }

    Outgoing outgoing = plan_outgoing(doc, state);

    bool heads_unchanged = state.last_sent_heads == our_heads;
    bool heads_equal = state.their_heads && *state.their_heads == our_heads;
    if (heads_unchanged && state.have_responded) {
        if ((heads_equal || state.read_only) && outgoing.hashes.empty()) return std::nullopt;
        if (state.in_flight) return std::nullopt;
    }

    state.have_responded = true;
    state.last_sent_heads = our_heads;
    state.sent_hashes.insert(outgoing.hashes.begin(), outgoing.hashes.end());

    SyncMessage msg;
    msg.version = outgoing.version;
    uint8_t flags = sync_flags::supports_sync_reset;
    if (state.read_only) flags |= sync_flags::read_only;
    msg.heads = our_heads;
    if (state.needs_reset) {
        state.needs_reset = false;
        // Peers without the reset flag understand empty heads as "lost everything".
        if (state.peer_supports_sync_reset()) {
            flags |= sync_flags::sync_reset;
        } else {
            msg.heads.clear();
        }
    }
    msg.flags = flags;
    msg.need = std::move(our_need);
    msg.have = std::move(our_have);
    msg.changes = std::move(outgoing.chunks);
    state.in_flight = true;
    return msg.encode();
}

Result<void> receive_sync_message(AutoCommit& doc, SyncState& state,
                                  std::span<uint8_t const> message) {
    auto decoded = SyncMessage::decode(message);
    if (!decoded) return std::unexpected(decoded.error());
    SyncMessage& msg = *decoded;

    state.in_flight = false;
    auto before_heads = doc.get_heads();
    if (msg.flags) record_capabilities(state, *msg.flags);

    if (!msg.changes.empty() && !state.read_only) {
        if (auto applied = apply_incoming(doc, state, msg, before_heads); !applied) return applied;
    }

    drop_acknowledged(doc, msg.heads, state.sent_hashes);

    if (msg.changes.empty() && msg.heads == before_heads) state.last_sent_heads = msg.heads;

    auto known = known_only(doc, msg.heads);
    if (known.size() == msg.heads.size()) {
        state.shared_heads = msg.heads;
        // The peer lost all its data: forget what we think it has and send everything again.
        if (msg.heads.empty()) {
            state.last_sent_heads.clear();
            state.sent_hashes.clear();
        }
    } else {
        state.shared_heads.insert(state.shared_heads.end(), known.begin(), known.end());
        sort_unique(state.shared_heads);
    }

    state.their_have = std::move(msg.have);
    state.their_heads = std::move(msg.heads);
    state.their_need = std::move(msg.need);
    return {};
}

}  // namespace automerge
