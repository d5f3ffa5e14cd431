#include "storage/leb128.hpp"

namespace automerge::storage {

// Rejects encodings longer than needed (a trailing zero byte) and values past 64 bits, so
// each number has exactly one accepted encoding and hashes stay canonical.
std::optional<uint64_t> Reader::uleb() {
    uint64_t result = 0;
    unsigned shift = 0;
    for (size_t i = 0;; ++i) {
        if (m_pos >= m_data.size()) return std::nullopt;
        uint8_t b = m_data[m_pos++];
        if (shift == 63 && (b & 0x7e) != 0) return std::nullopt;
        if (shift > 63) return std::nullopt;
        result |= static_cast<uint64_t>(b & 0x7f) << shift;
        if ((b & 0x80) == 0) {
            if (b == 0 && i > 0) return std::nullopt;
            return result;
        }
        shift += 7;
    }
}

std::optional<int64_t> Reader::sleb() {
    int64_t result = 0;
    unsigned shift = 0;
    for (size_t i = 0;; ++i) {
        if (m_pos >= m_data.size()) return std::nullopt;
        uint8_t b = m_data[m_pos++];
        // The tenth byte holds only bit 63 and its sign extension.
        if (shift == 63 && b != 0x00 && b != 0x7f) return std::nullopt;
        if (shift > 63) return std::nullopt;
        result |= static_cast<int64_t>(static_cast<uint64_t>(b & 0x7f) << shift);
        shift += 7;
        if ((b & 0x80) == 0) {
            if (shift < 64 && (b & 0x40)) result |= static_cast<int64_t>(~uint64_t{0} << shift);
            if (i > 0) {
                uint8_t prev = m_data[m_pos - 2];
                // Overlong: a final 0x00 after a byte whose sign bit is clear, or 0x7f after
                // one whose sign bit is set, adds nothing.
                if ((b == 0x00 && (prev & 0x40) == 0) || (b == 0x7f && (prev & 0x40) != 0))
                    return std::nullopt;
            }
            return result;
        }
    }
}

std::optional<uint32_t> Reader::uleb32() {
    auto v = uleb();
    if (!v || *v > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(*v);
}

std::optional<uint8_t> Reader::byte() {
    if (m_pos >= m_data.size()) return std::nullopt;
    return m_data[m_pos++];
}

std::optional<std::span<uint8_t const>> Reader::take(uint64_t n) {
    if (n > m_data.size() - m_pos) return std::nullopt;
    auto out = m_data.subspan(m_pos, n);
    m_pos += n;
    return out;
}

}  // namespace automerge::storage
