#include <algorithm>
#include <automerge/sync.hpp>

#include "wire.hpp"

namespace automerge {

namespace {
constexpr uint8_t sync_state_type = 0x43;
}

std::vector<uint8_t> SyncState::encode() const {
    std::vector<uint8_t> out{sync_state_type};
    sync_wire::write_hashes(out, shared_heads);
    return out;
}

// A restored state knows what the peer had at the end of the last session but nothing about
// this connection yet; an empty `their_have` lets the first message skip the reset check.
Result<SyncState> SyncState::decode(std::span<uint8_t const> bytes) {
    sync_wire::Reader in(bytes);
    auto type = in.byte();
    if (!type) return std::unexpected(type.error());
    if (*type != sync_state_type) {
        return fail("not a sync state (type byte " + std::to_string(*type) + ")");
    }
    auto heads = in.hashes();
    if (!heads) return std::unexpected(heads.error());
    SyncState state;
    state.shared_heads = std::move(*heads);
    state.their_have = std::vector<SyncHave>{};
    return state;
}

void SyncState::set_read_only(bool value) {
    if (read_only == value) return;
    if (read_only) {
        SyncState fresh;
        fresh.their_capabilities.swap(their_capabilities);
        fresh.needs_reset = true;
        *this = std::move(fresh);
        return;
    }
    // The next message must go out so the peer learns we stopped applying its changes.
    read_only = true;
    in_flight = false;
    have_responded = false;
}

bool SyncState::supports_v2_messages() const {
    return their_capabilities &&
           std::ranges::find(*their_capabilities, SyncCapability::MessageV2) !=
               their_capabilities->end();
}

bool SyncState::peer_supports_sync_reset() const {
    return their_capabilities &&
           std::ranges::find(*their_capabilities, SyncCapability::SyncReset) !=
               their_capabilities->end();
}

}  // namespace automerge
