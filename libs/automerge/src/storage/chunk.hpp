#pragma once

#include <automerge/types.hpp>

#include "storage/leb128.hpp"

namespace automerge::storage {

inline constexpr std::array<uint8_t, 4> magic_bytes{0x85, 0x6f, 0x4a, 0x83};
// Columns (and change chunks) at least this long are stored deflated.
inline constexpr size_t deflate_min_size = 256;
// Upper bound for anything we inflate, whatever a hostile file declares.
inline constexpr size_t max_inflated_size = 64u << 20;

enum class ChunkType : uint8_t { Document = 0, Change = 1, Compressed = 2 };

struct Chunk {
    ChunkType type;
    std::array<uint8_t, 4> checksum;
    // For compressed changes, the inflated body; otherwise a view of the input.
    std::vector<uint8_t> owned_body;
    std::span<uint8_t const> body;
    // The whole chunk as read, header included.
    std::span<uint8_t const> raw;
};

std::array<uint8_t, 32> sha256(std::span<uint8_t const> a, std::span<uint8_t const> b = {},
                               std::span<uint8_t const> c = {});

// Hash of a chunk of this type and body: SHA-256 over type byte, length and body.
ChangeHash chunk_hash(ChunkType type, std::span<uint8_t const> body);

// Builds "magic, checksum, type, length, body".
std::vector<uint8_t> make_chunk(ChunkType type, std::span<uint8_t const> body);
// The same, also giving the chunk's hash (computed once for both).
std::vector<uint8_t> make_chunk(ChunkType type, std::span<uint8_t const> body, ChangeHash& hash);

// Reads the next chunk; a compressed change chunk comes back inflated as type Change.
// The checksum is verified.
Result<Chunk> read_chunk(Reader& reader);

std::vector<uint8_t> deflate_raw(std::span<uint8_t const> data);
Result<std::vector<uint8_t>> inflate_raw(std::span<uint8_t const> data, size_t limit);

}  // namespace automerge::storage
