#pragma once

// Byte-level reading and writing shared by the sync message, Bloom filter and sync state
// codecs. Every read is bounds-checked and fails with an Error instead of reading past the end.

#include <automerge/types.hpp>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace automerge::sync_wire {

inline void write_uleb(std::vector<uint8_t>& out, uint64_t value) {
    do {
        uint8_t byte = value & 0x7f;
        value >>= 7;
        if (value != 0) byte |= 0x80;
        out.push_back(byte);
    } while (value != 0);
}

inline void write_hashes(std::vector<uint8_t>& out, std::span<ChangeHash const> hashes) {
    write_uleb(out, hashes.size());
    for (auto const& h : hashes) out.insert(out.end(), h.bytes.begin(), h.bytes.end());
}

inline void write_bytes(std::vector<uint8_t>& out, std::span<uint8_t const> bytes) {
    write_uleb(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

class Reader {
  public:
    explicit Reader(std::span<uint8_t const> bytes) : m_bytes(bytes) {}

    bool empty() const { return m_pos >= m_bytes.size(); }
    size_t remaining() const { return m_bytes.size() - m_pos; }

    Result<uint8_t> byte() {
        if (empty()) return fail("not enough input");
        return m_bytes[m_pos++];
    }

    // Rejects overlong encodings and values that do not fit 64 bits.
    Result<uint64_t> uleb() {
        uint64_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            if (empty()) return fail("not enough input");
            uint8_t b = m_bytes[m_pos++];
            uint64_t part = b & 0x7f;
            if (shift == 63 && part > 1) return fail("LEB128 value overflows 64 bits");
            value |= part << shift;
            if ((b & 0x80) == 0) {
                if (b == 0 && shift != 0) return fail("overlong LEB128 encoding");
                return value;
            }
            if (shift == 63) return fail("LEB128 value overflows 64 bits");
        }
    }

    Result<uint32_t> uleb32() {
        auto v = uleb();
        if (!v) return std::unexpected(v.error());
        if (*v > UINT32_MAX) return fail("LEB128 value overflows 32 bits");
        return static_cast<uint32_t>(*v);
    }

    Result<std::span<uint8_t const>> take(uint64_t n) {
        if (n > remaining()) return fail("not enough input");
        auto out = m_bytes.subspan(m_pos, static_cast<size_t>(n));
        m_pos += static_cast<size_t>(n);
        return out;
    }

    Result<std::span<uint8_t const>> length_prefixed() {
        auto n = uleb();
        if (!n) return std::unexpected(n.error());
        return take(*n);
    }

    Result<ChangeHash> hash() {
        auto raw = take(32);
        if (!raw) return std::unexpected(raw.error());
        ChangeHash h;
        std::copy(raw->begin(), raw->end(), h.bytes.begin());
        return h;
    }

    // The count is only trusted as far as the input can back it: every element consumes at
    // least one byte, so a huge count fails on the first missing element.
    Result<std::vector<ChangeHash>> hashes() {
        auto n = uleb();
        if (!n) return std::unexpected(n.error());
        if (*n > remaining() / 32) return fail("hash list longer than the input");
        std::vector<ChangeHash> out;
        out.reserve(static_cast<size_t>(*n));
        for (uint64_t i = 0; i < *n; ++i) {
            auto h = hash();
            if (!h) return std::unexpected(h.error());
            out.push_back(*h);
        }
        return out;
    }

  private:
    std::span<uint8_t const> m_bytes;
    size_t m_pos = 0;
};

}  // namespace automerge::sync_wire
