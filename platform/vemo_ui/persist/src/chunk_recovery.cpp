#include "vemo_ui/chunk_recovery.hpp"

#include <algorithm>
#include <array>

namespace vemo_ui::persist {

namespace {

constexpr std::array<uint8_t, 4> magic{0x85, 0x6f, 0x4a, 0x83};
constexpr size_t checksum_size = 4;
constexpr size_t max_uleb_bytes = 10;
// Failed candidates may cost this much hashing on top of a few passes over the file.
constexpr size_t extra_attempt_budget = 16u << 20;

bool starts_with_magic(std::span<uint8_t const> bytes) {
    return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
}

size_t next_magic(std::span<uint8_t const> bytes, size_t from) {
    auto it = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                          magic.begin(), magic.end());
    return static_cast<size_t>(it - bytes.begin());
}

// The chunk structure alone: does the file split exactly into whole chunks?
std::optional<size_t> count_whole_chunks(std::span<uint8_t const> bytes,
                                         size_t& leading_document_size) {
    size_t pos = 0;
    size_t count = 0;
    while (pos < bytes.size()) {
        auto extent = chunk_extent(bytes.subspan(pos));
        if (!extent) return std::nullopt;
        if (pos == 0 && bytes[magic.size() + checksum_size] == document_chunk_type)
            leading_document_size = *extent;
        pos += *extent;
        ++count;
    }
    return count;
}

}  // namespace

std::optional<size_t> chunk_extent(std::span<uint8_t const> bytes) {
    if (!starts_with_magic(bytes)) return std::nullopt;
    size_t pos = magic.size() + checksum_size;
    if (pos >= bytes.size() || bytes[pos] > 2) return std::nullopt;
    ++pos;
    uint64_t length = 0;
    for (size_t i = 0;; ++i) {
        if (i == max_uleb_bytes || pos >= bytes.size()) return std::nullopt;
        uint8_t b = bytes[pos++];
        if (i == 9 && b > 1) return std::nullopt;
        length |= uint64_t{b & 0x7fu} << (7 * i);
        if ((b & 0x80) == 0) break;
    }
    if (length > bytes.size() - pos) return std::nullopt;
    return pos + static_cast<size_t>(length);
}

Recovery recover_document(std::span<uint8_t const> bytes) {
    Recovery out;
    size_t leading = 0;
    if (auto chunks = count_whole_chunks(bytes, leading)) {
        if (auto doc = automerge::AutoCommit::load(bytes)) {
            out.doc = std::move(*doc);
            out.loaded_chunks = *chunks;
            out.leading_document_size = leading;
            return out;
        }
    }

    size_t budget = 4 * bytes.size() + extra_attempt_budget;
    size_t pos = 0;
    while (pos < bytes.size()) {
        auto extent = chunk_extent(bytes.subspan(pos));
        bool loaded = false;
        if (extent && *extent <= budget) {
            loaded = out.doc.load_incremental(bytes.subspan(pos, *extent)).has_value();
            if (!loaded) budget -= *extent;
        }
        if (loaded) {
            if (out.loaded_chunks == 0 && pos == 0 &&
                bytes[magic.size() + checksum_size] == document_chunk_type)
                out.leading_document_size = *extent;
            ++out.loaded_chunks;
            pos += *extent;
            continue;
        }
        size_t next = budget > 0 ? next_magic(bytes, pos + 1) : bytes.size();
        out.unreadable.insert(out.unreadable.end(),
                              bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                              bytes.begin() + static_cast<std::ptrdiff_t>(next));
        pos = next;
    }
    return out;
}

}  // namespace vemo_ui::persist
