#pragma once

#include "storage/chunk.hpp"
#include "storage/ops.hpp"

namespace automerge::storage {

// A change chunk's fields. actors[0] is the author; the others follow in byte order.
struct ChangeChunk {
    std::vector<ChangeHash> deps;
    std::vector<ActorId> actors;
    uint64_t seq = 0;
    uint64_t start_op = 1;
    int64_t time = 0;
    std::optional<std::string> message;
    std::vector<OpRow> ops;  // ids are implied: start_op + index, author
    std::vector<uint8_t> extra;
};

std::vector<uint8_t> encode_change_body(ChangeChunk const& change);
// The same with the op columns encoded by the caller; `header.ops` is not read.
std::vector<uint8_t> encode_change_body(ChangeChunk const& header,
                                        std::span<RawColumn const> op_columns);
// The same into `out` (cleared first), with the op columns written by
// `OpColumnsWriter::finish_into`.
void encode_change_body(ChangeChunk const& header, std::span<uint8_t const> op_columns,
                        std::vector<uint8_t>& out);
Result<ChangeChunk> decode_change_body(std::span<uint8_t const> body, uint64_t max_ops);

}  // namespace automerge::storage
