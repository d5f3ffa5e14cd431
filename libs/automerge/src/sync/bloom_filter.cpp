#include <automerge/sync.hpp>
#include <cmath>

#include "wire.hpp"

namespace automerge {

namespace {

// Ten bits and seven probes per entry give about 1% false positives; a filter carries its
// own parameters, so these could change without breaking peers.
constexpr uint32_t default_bits_per_entry = 10;
constexpr uint32_t default_num_probes = 7;
// Far above anything a real peer sends; a hostile count must not turn every lookup into
// billions of probes.
constexpr uint32_t max_num_probes = 1024;

size_t bits_capacity(uint32_t num_entries, uint32_t bits_per_entry) {
    double bits = static_cast<double>(num_entries) * static_cast<double>(bits_per_entry);
    return static_cast<size_t>(std::ceil(bits / 8.0));
}

uint32_t le32(ChangeHash const& hash, size_t offset) {
    auto const& b = hash.bytes;
    return uint32_t{b[offset]} | uint32_t{b[offset + 1]} << 8 | uint32_t{b[offset + 2]} << 16 |
           uint32_t{b[offset + 3]} << 24;
}

}  // namespace

// Probe positions come from the first twelve bytes of the (already uniformly random) change
// hash by double hashing, exactly as peers compute them.
template <class F>
void BloomFilter::for_each_probe(ChangeHash const& hash, F&& visit) const {
    uint64_t const modulo = 8 * static_cast<uint64_t>(m_bits.size());
    if (modulo == 0) return;
    uint64_t x = le32(hash, 0) % modulo;
    uint64_t y = le32(hash, 4) % modulo;
    uint64_t const z = le32(hash, 8) % modulo;
    // The first probe is taken even when a filter claims zero probes.
    if (!visit(x)) return;
    for (uint32_t i = 1; i < m_num_probes; ++i) {
        x = (x + y) % modulo;
        y = (y + z) % modulo;
        if (!visit(x)) return;
    }
}

BloomFilter BloomFilter::from_hashes(std::span<ChangeHash const> hashes) {
    BloomFilter filter;
    filter.m_num_entries = static_cast<uint32_t>(hashes.size());
    filter.m_bits_per_entry = default_bits_per_entry;
    filter.m_num_probes = default_num_probes;
    filter.m_bits.assign(bits_capacity(filter.m_num_entries, filter.m_bits_per_entry), 0);
    for (auto const& hash : hashes) {
        filter.for_each_probe(hash, [&](uint64_t bit) {
            filter.m_bits[bit >> 3] |= static_cast<uint8_t>(1u << (bit & 7));
            return true;
        });
    }
    return filter;
}

Result<BloomFilter> BloomFilter::decode(std::span<uint8_t const> bytes) {
    BloomFilter filter;
    if (bytes.empty()) return filter;
    sync_wire::Reader in(bytes);
    auto entries = in.uleb32();
    if (!entries) return std::unexpected(entries.error());
    auto bits_per_entry = in.uleb32();
    if (!bits_per_entry) return std::unexpected(bits_per_entry.error());
    auto probes = in.uleb32();
    if (!probes) return std::unexpected(probes.error());
    if (*probes > max_num_probes) return fail("Bloom filter has too many probes");
    auto bits = in.take(bits_capacity(*entries, *bits_per_entry));
    if (!bits) return fail("Bloom filter is shorter than its header says");
    filter.m_num_entries = *entries;
    filter.m_bits_per_entry = *bits_per_entry;
    filter.m_num_probes = *probes;
    filter.m_bits.assign(bits->begin(), bits->end());
    return filter;
}

std::vector<uint8_t> BloomFilter::encode() const {
    std::vector<uint8_t> out;
    if (m_num_entries == 0) return out;
    sync_wire::write_uleb(out, m_num_entries);
    sync_wire::write_uleb(out, m_bits_per_entry);
    sync_wire::write_uleb(out, m_num_probes);
    out.insert(out.end(), m_bits.begin(), m_bits.end());
    return out;
}

// A filter without bits cannot vouch for anything: answering "absent" makes the peer send
// the change again, which is harmless, where "present" would lose it.
bool BloomFilter::contains(ChangeHash const& hash) const {
    if (m_num_entries == 0 || m_bits.empty()) return false;
    bool all_set = true;
    for_each_probe(hash, [&](uint64_t bit) {
        all_set = (m_bits[bit >> 3] >> (bit & 7)) & 1;
        return all_set;
    });
    return all_set;
}

}  // namespace automerge
