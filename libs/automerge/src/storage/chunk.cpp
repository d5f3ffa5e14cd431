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

// The type byte and LEB128 body length that start a chunk after its checksum.
struct Prefix {
    std::array<uint8_t, 11> bytes{};
    size_t size = 0;
    Prefix(ChunkType type, uint64_t length) {
        bytes[size++] = static_cast<uint8_t>(type);
        do {
            uint8_t b = length & 0x7f;
            length >>= 7;
            bytes[size++] = length != 0 ? b | 0x80 : b;
        } while (length != 0);
    }
    std::span<uint8_t const> view() const { return std::span(bytes).first(size); }
};

}  // namespace

ChangeHash chunk_hash(ChunkType type, std::span<uint8_t const> body) {
    Prefix prefix(type, body.size());
    return ChangeHash{sha256(prefix.view(), body)};
}

std::vector<uint8_t> make_chunk(ChunkType type, std::span<uint8_t const> body) {
    ChangeHash hash;
    return make_chunk(type, body, hash);
}

std::vector<uint8_t> make_chunk(ChunkType type, std::span<uint8_t const> body,
                                ChangeHash& hash_out) {
    Prefix prefix(type, body.size());
    hash_out.bytes = sha256(prefix.view(), body);
    // Sized once and filled in place: magic, the hash's first four bytes, prefix, body.
    std::vector<uint8_t> out(magic_bytes.size() + 4 + prefix.size + body.size());
    uint8_t* at = out.data();
    at = std::copy(magic_bytes.begin(), magic_bytes.end(), at);
    at = std::copy_n(hash_out.bytes.begin(), 4, at);
    at = std::copy_n(prefix.bytes.begin(), prefix.size, at);
    if (!body.empty()) std::memcpy(at, body.data(), body.size());
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
