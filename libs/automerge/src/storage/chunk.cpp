#include "storage/chunk.hpp"

#include <nettle/sha2.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace automerge::storage {

std::array<uint8_t, 32> sha256(std::span<uint8_t const> a, std::span<uint8_t const> b,
                               std::span<uint8_t const> c) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, a.size(), a.data());
    sha256_update(&ctx, b.size(), b.data());
    sha256_update(&ctx, c.size(), c.data());
    std::array<uint8_t, 32> out{};
    sha256_digest(&ctx, out.size(), out.data());
    return out;
}

namespace {

std::vector<uint8_t> type_and_length(ChunkType type, size_t length) {
    std::vector<uint8_t> prefix{static_cast<uint8_t>(type)};
    write_uleb(prefix, length);
    return prefix;
}

}  // namespace

ChangeHash chunk_hash(ChunkType type, std::span<uint8_t const> body) {
    auto prefix = type_and_length(type, body.size());
    return ChangeHash{sha256(prefix, body)};
}

std::vector<uint8_t> make_chunk(ChunkType type, std::span<uint8_t const> body) {
    ChangeHash hash;
    return make_chunk(type, body, hash);
}

std::vector<uint8_t> make_chunk(ChunkType type, std::span<uint8_t const> body,
                                ChangeHash& hash_out) {
    auto prefix = type_and_length(type, body.size());
    auto hash = sha256(prefix, body);
    hash_out.bytes = hash;
    std::vector<uint8_t> out;
    out.reserve(8 + prefix.size() + body.size());
    out.insert(out.end(), magic_bytes.begin(), magic_bytes.end());
    out.insert(out.end(), hash.begin(), hash.begin() + 4);
    out.insert(out.end(), prefix.begin(), prefix.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Result<Chunk> read_chunk(Reader& reader) {
    size_t start = reader.pos();
    auto all = reader.rest();
    auto magic = reader.take(4);
    if (!magic) return fail("truncated chunk header");
    if (!std::equal(magic->begin(), magic->end(), magic_bytes.begin()))
        return fail("not an Automerge chunk (bad magic bytes)");
    auto checksum = reader.take(4);
    auto type = reader.byte();
    if (!checksum || !type) return fail("truncated chunk header");
    if (*type > 2) return fail("unknown chunk type " + std::to_string(*type));
    auto length = reader.uleb();
    if (!length) return fail("bad chunk length");
    auto body = reader.take(*length);
    if (!body) return fail("chunk length past the end of the data");

    Chunk chunk;
    chunk.type = static_cast<ChunkType>(*type);
    std::copy(checksum->begin(), checksum->end(), chunk.checksum.begin());
    chunk.body = *body;
    chunk.raw = all.first(reader.pos() - start);
    if (chunk.type == ChunkType::Compressed) {
        auto inflated = inflate_raw(*body, max_inflated_size);
        if (!inflated) return std::unexpected(inflated.error());
        chunk.owned_body = std::move(*inflated);
        chunk.body = chunk.owned_body;
        chunk.type = ChunkType::Change;
    }
    auto hash = chunk_hash(chunk.type, chunk.body);
    if (!std::equal(chunk.checksum.begin(), chunk.checksum.end(), hash.bytes.begin()))
        return fail("chunk checksum mismatch");
    return chunk;
}

std::vector<uint8_t> deflate_raw(std::span<uint8_t const> data) {
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&zs, data.size()));
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

Result<std::vector<uint8_t>> inflate_raw(std::span<uint8_t const> data, size_t limit) {
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK) return fail("cannot start inflating");
    std::vector<uint8_t> out;
    std::array<uint8_t, 16384> buffer;
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        zs.next_out = buffer.data();
        zs.avail_out = buffer.size();
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) {
            inflateEnd(&zs);
            return fail("corrupt deflated data");
        }
        size_t produced = buffer.size() - zs.avail_out;
        if (out.size() + produced > limit) {
            inflateEnd(&zs);
            return fail("deflated data inflates past the size limit");
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
        if (rc == Z_OK && produced == 0 && zs.avail_in == 0) {
            inflateEnd(&zs);
            return fail("truncated deflated data");
        }
    }
    inflateEnd(&zs);
    return out;
}

}  // namespace automerge::storage
