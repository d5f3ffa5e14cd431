#pragma once

#include <automerge/automerge.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vemo_ui::persist {

inline constexpr uint8_t document_chunk_type = 0;

// The length of the chunk at the start of `bytes` as its header declares it (magic,
// checksum, type, ULEB128 body length), when the header is whole and the body fits.
// Says nothing about the checksum.
std::optional<size_t> chunk_extent(std::span<uint8_t const> bytes);

// What could be made of a document file.
struct Recovery {
    automerge::AutoCommit doc;
    // Every byte that did not belong to a loadable chunk, in file order.
    std::vector<uint8_t> unreadable;
    size_t loaded_chunks = 0;
    // Size of the document chunk the file starts with (0 when it starts otherwise).
    size_t leading_document_size = 0;
};

// Loads every chunk that loads and collects the rest: a torn last chunk, a chunk whose
// checksum or content is wrong, garbage between chunks. After a bad stretch the scan
// resumes at the next magic number whose chunk loads. The work spent on failed candidates
// is bounded by the file size, so a hostile file cannot make this quadratic.
Recovery recover_document(std::span<uint8_t const> bytes);

}  // namespace vemo_ui::persist
