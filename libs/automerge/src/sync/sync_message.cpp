#include <automerge/sync.hpp>

#include "wire.hpp"

namespace automerge {

namespace {

// The flag section is a length-prefixed byte list. Its first byte is the legacy "supports
// V2" marker that older peers look for; later flags live in bytes with the high bit set.
constexpr uint8_t legacy_v2_byte = 0x02;
constexpr uint8_t bitfield_marker = 0x80;

Result<SyncHave> read_have(sync_wire::Reader& in) {
    auto last_sync = in.hashes();
    if (!last_sync) return std::unexpected(last_sync.error());
    auto bloom_bytes = in.length_prefixed();
    if (!bloom_bytes) return std::unexpected(bloom_bytes.error());
    auto bloom = BloomFilter::decode(*bloom_bytes);
    if (!bloom) return std::unexpected(bloom.error());
    return SyncHave{std::move(*last_sync), std::move(*bloom)};
}

uint8_t parse_flag_bytes(std::span<uint8_t const> bytes) {
    uint8_t flags = 0;
    for (uint8_t b : bytes) {
        if (b & bitfield_marker) flags |= b & ~bitfield_marker;
    }
    return flags;
}

}  // namespace

std::vector<uint8_t> SyncMessage::encode() const {
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>(version));
    sync_wire::write_hashes(out, heads);
    sync_wire::write_hashes(out, need);
    sync_wire::write_uleb(out, have.size());
    for (auto const& h : have) {
        sync_wire::write_hashes(out, h.last_sync);
        sync_wire::write_bytes(out, h.bloom.encode());
    }
    sync_wire::write_uleb(out, changes.size());
    for (auto const& change : changes) sync_wire::write_bytes(out, change);
    if (flags) {
        sync_wire::write_uleb(out, 2);
        out.push_back(legacy_v2_byte);
        out.push_back(bitfield_marker | *flags);
    }
    return out;
}

Result<SyncMessage> SyncMessage::decode(std::span<uint8_t const> bytes) {
    sync_wire::Reader in(bytes);
    SyncMessage msg;
    auto type = in.byte();
    if (!type) return std::unexpected(type.error());
    if (*type != static_cast<uint8_t>(SyncMessageVersion::V1) &&
        *type != static_cast<uint8_t>(SyncMessageVersion::V2)) {
        return fail("not a sync message (type byte " + std::to_string(*type) + ")");
    }
    msg.version = static_cast<SyncMessageVersion>(*type);

    auto heads = in.hashes();
    if (!heads) return std::unexpected(heads.error());
    msg.heads = std::move(*heads);
    auto need = in.hashes();
    if (!need) return std::unexpected(need.error());
    msg.need = std::move(*need);

    auto have_count = in.uleb();
    if (!have_count) return std::unexpected(have_count.error());
    // Each entry takes at least two bytes (two empty length prefixes).
    if (*have_count > in.remaining() / 2) return fail("have list longer than the input");
    for (uint64_t i = 0; i < *have_count; ++i) {
        auto have = read_have(in);
        if (!have) return std::unexpected(have.error());
        msg.have.push_back(std::move(*have));
    }

    auto change_count = in.uleb();
    if (!change_count) return std::unexpected(change_count.error());
    if (*change_count > in.remaining()) return fail("change list longer than the input");
    for (uint64_t i = 0; i < *change_count; ++i) {
        auto change = in.length_prefixed();
        if (!change) return std::unexpected(change.error());
        msg.changes.emplace_back(change->begin(), change->end());
    }

    if (!in.empty()) {
        auto flag_bytes = in.length_prefixed();
        if (!flag_bytes) return std::unexpected(flag_bytes.error());
        msg.flags = parse_flag_bytes(*flag_bytes);
    }
    return msg;
}

}  // namespace automerge
