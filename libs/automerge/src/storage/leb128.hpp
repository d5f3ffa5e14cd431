#pragma once

#include <automerge/types.hpp>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace automerge::storage {

// Inline: column encoders write one of these per value.
inline void write_uleb(std::vector<uint8_t>& out, uint64_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<uint8_t>(value));
        return;
    }
    // Byte by byte: cheaper than a range insert for the few bytes a value takes.
    do {
        uint8_t b = value & 0x7f;
        value >>= 7;
        out.push_back(value != 0 ? b | 0x80 : b);
    } while (value != 0);
}

inline void write_sleb(std::vector<uint8_t>& out, int64_t value) {
    if (value >= -64 && value < 64) {
        out.push_back(static_cast<uint8_t>(value & 0x7f));
        return;
    }
    for (;;) {
        uint8_t b = value & 0x7f;
        value >>= 7;  // arithmetic shift keeps the sign
        bool sign_bit = (b & 0x40) != 0;
        if ((value == 0 && !sign_bit) || (value == -1 && sign_bit)) {
            out.push_back(b);
            return;
        }
        out.push_back(b | 0x80);
    }
}

// A bounds-checked cursor over untrusted bytes. Every read either succeeds completely or
// leaves the reader marked as failed; callers check `ok()` or the returned optional.
class Reader {
  public:
    explicit Reader(std::span<uint8_t const> data) : m_data(data) {}

    std::optional<uint64_t> uleb();
    std::optional<int64_t> sleb();
    std::optional<uint32_t> uleb32();
    std::optional<uint8_t> byte();
    std::optional<std::span<uint8_t const>> take(uint64_t n);

    bool done() const { return m_pos >= m_data.size(); }
    size_t pos() const { return m_pos; }
    size_t remaining() const { return m_data.size() - m_pos; }
    std::span<uint8_t const> rest() const { return m_data.subspan(m_pos); }

  private:
    std::span<uint8_t const> m_data;
    size_t m_pos = 0;
};

}  // namespace automerge::storage
