#pragma once

#include <automerge/types.hpp>

namespace automerge {

// A decoded change chunk. `raw` holds the uncompressed chunk exactly as hashed.
struct Change {
    ChangeHash hash;
    ActorId actor;
    uint64_t seq = 0;
    uint64_t start_op = 0;
    int64_t time = 0;
    std::optional<std::string> message;
    std::vector<ChangeHash> deps;
    size_t num_ops = 0;
    std::vector<uint8_t> raw;

    // Parses one change chunk (compressed or not); checksum and hash are verified.
    static Result<Change> from_bytes(std::span<uint8_t const> bytes);
    // Parses a concatenation of change chunks.
    static Result<std::vector<Change>> split(std::span<uint8_t const> bytes);
};

}  // namespace automerge
