#include <automerge/change.hpp>

#include "storage/change_chunk.hpp"

namespace automerge {

namespace {

constexpr uint64_t base_op_limit = uint64_t{1} << 20;

Result<Change> from_chunk(storage::Chunk const& chunk) {
    if (chunk.type != storage::ChunkType::Change) return fail("not a change chunk");
    auto decoded = storage::decode_change_body(chunk.body, base_op_limit + 16 * chunk.body.size());
    if (!decoded) return std::unexpected(decoded.error());
    Change c;
    c.hash = storage::chunk_hash(storage::ChunkType::Change, chunk.body);
    c.actor = decoded->actors.at(0);
    c.seq = decoded->seq;
    c.start_op = decoded->start_op;
    c.time = decoded->time;
    c.message = decoded->message;
    c.deps = decoded->deps;
    c.num_ops = decoded->ops.size();
    c.raw = chunk.owned_body.empty() ? std::vector<uint8_t>(chunk.raw.begin(), chunk.raw.end())
                                     : storage::make_chunk(storage::ChunkType::Change, chunk.body);
    return c;
}

}  // namespace

Result<Change> Change::from_bytes(std::span<uint8_t const> bytes) {
    storage::Reader reader(bytes);
    auto chunk = storage::read_chunk(reader);
    if (!chunk) return std::unexpected(chunk.error());
    if (!reader.done()) return fail("trailing bytes after the change chunk");
    return from_chunk(*chunk);
}

Result<std::vector<Change>> Change::split(std::span<uint8_t const> bytes) {
    storage::Reader reader(bytes);
    std::vector<Change> out;
    while (!reader.done()) {
        auto chunk = storage::read_chunk(reader);
        if (!chunk) return std::unexpected(chunk.error());
        auto c = from_chunk(*chunk);
        if (!c) return std::unexpected(c.error());
        out.push_back(std::move(*c));
    }
    return out;
}

}  // namespace automerge
