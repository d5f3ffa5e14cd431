#include "storage/change_chunk.hpp"

namespace automerge::storage {

namespace {

void write_bytes(std::vector<uint8_t>& out, std::span<uint8_t const> bytes) {
    write_uleb(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::optional<ActorId> read_actor(Reader& r) {
    auto len = r.uleb();
    if (!len) return std::nullopt;
    auto bytes = r.take(*len);
    if (!bytes) return std::nullopt;
    return ActorId(std::vector<uint8_t>(bytes->begin(), bytes->end()));
}

}  // namespace

std::vector<uint8_t> encode_change_body(ChangeChunk const& change) {
    return encode_change_body(change, encode_ops(change.ops, OpLayout::Change));
}

namespace {

void write_change_header(ChangeChunk const& change, std::vector<uint8_t>& out) {
    write_uleb(out, change.deps.size());
    for (auto const& d : change.deps) out.insert(out.end(), d.bytes.begin(), d.bytes.end());
    write_bytes(out, change.actors.at(0).to_bytes());
    write_uleb(out, change.seq);
    write_uleb(out, change.start_op);
    write_sleb(out, change.time);
    std::string_view message = change.message ? std::string_view(*change.message) : "";
    write_uleb(out, message.size());
    out.insert(out.end(), message.begin(), message.end());
    write_uleb(out, change.actors.size() - 1);
    for (size_t i = 1; i < change.actors.size(); ++i) write_bytes(out, change.actors[i].to_bytes());
}

}  // namespace

void encode_change_body(ChangeChunk const& header, std::span<uint8_t const> op_columns,
                        std::vector<uint8_t>& out) {
    out.clear();
    write_change_header(header, out);
    out.insert(out.end(), op_columns.begin(), op_columns.end());
    out.insert(out.end(), header.extra.begin(), header.extra.end());
}

std::vector<uint8_t> encode_change_body(ChangeChunk const& change,
                                        std::span<RawColumn const> columns) {
    std::vector<uint8_t> out;
    write_change_header(change, out);
    write_column_meta(out, columns);
    for (auto const& c : columns) out.insert(out.end(), c.data.begin(), c.data.end());
    out.insert(out.end(), change.extra.begin(), change.extra.end());
    return out;
}

Result<ChangeChunk> decode_change_body(std::span<uint8_t const> body, uint64_t max_ops) {
    Reader r(body);
    ChangeChunk change;
    auto num_deps = r.uleb();
    if (!num_deps || *num_deps > r.remaining() / 32) return fail("bad change dependencies");
    for (uint64_t i = 0; i < *num_deps; ++i) {
        ChangeHash h;
        auto bytes = r.take(32);
        std::copy(bytes->begin(), bytes->end(), h.bytes.begin());
        change.deps.push_back(h);
    }
    auto author = read_actor(r);
    auto seq = r.uleb();
    auto start_op = r.uleb();
    auto time = r.sleb();
    auto message_len = r.uleb();
    if (!author || !seq || !start_op || !time || !message_len)
        return fail("malformed change header");
    if (*start_op == 0) return fail("change start op is zero");
    auto message = r.take(*message_len);
    if (!message) return fail("change message past the end of the chunk");
    std::string text(message->begin(), message->end());
    if (!valid_utf8(text)) return fail("change message is not UTF-8");
    if (!text.empty()) change.message = std::move(text);
    change.actors.push_back(std::move(*author));
    auto num_others = r.uleb();
    if (!num_others || *num_others > r.remaining()) return fail("bad change actor list");
    for (uint64_t i = 0; i < *num_others; ++i) {
        auto a = read_actor(r);
        if (!a) return fail("bad change actor list");
        change.actors.push_back(std::move(*a));
    }
    change.seq = *seq;
    change.start_op = *start_op;
    change.time = *time;

    auto meta = read_column_meta(r);
    if (!meta) return std::unexpected(meta.error());
    ColumnMap columns;
    for (auto [s, len] : *meta) {
        if (s & column_id::deflate_bit) return fail("change chunk holds a deflated column");
        auto data = r.take(len);
        if (!data) return fail("column length past the end of the change");
        columns[s] = *data;
    }
    auto ops = decode_ops(columns, OpLayout::Change, change.actors.size(), max_ops);
    if (!ops) return std::unexpected(ops.error());
    if (*start_op > UINT64_MAX / 2 || ops->size() > UINT64_MAX / 2)
        return fail("change op counters overflow");
    change.ops = std::move(*ops);
    auto rest = r.rest();
    change.extra.assign(rest.begin(), rest.end());
    return change;
}

}  // namespace automerge::storage
