#include "storage/ops.hpp"

#include <cstring>

#include "storage/columns.hpp"

namespace automerge::storage {

bool valid_utf8(std::string_view text) {
    auto const* s = reinterpret_cast<unsigned char const*>(text.data());
    size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((c & 0xe0) == 0xc0) {
            len = 2;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            len = 3;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3f);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += len;
    }
    return true;
}

void encode_value(ScalarValue const& value, uint64_t& meta, std::vector<uint8_t>& raw) {
    size_t before = raw.size();
    uint64_t type = 0;
    std::visit(
        [&](auto const& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                type = 0;
            } else if constexpr (std::is_same_v<T, bool>) {
                type = v ? 2 : 1;
            } else if constexpr (std::is_same_v<T, uint64_t>) {
                type = 3;
                write_uleb(raw, v);
            } else if constexpr (std::is_same_v<T, int64_t>) {
                type = 4;
                write_sleb(raw, v);
            } else if constexpr (std::is_same_v<T, double>) {
                type = 5;
                uint8_t bytes[8];
                std::memcpy(bytes, &v, 8);  // little-endian host
                raw.insert(raw.end(), bytes, bytes + 8);
            } else if constexpr (std::is_same_v<T, std::string>) {
                type = 6;
                raw.insert(raw.end(), v.begin(), v.end());
            } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
                type = 7;
                raw.insert(raw.end(), v.begin(), v.end());
            } else if constexpr (std::is_same_v<T, Counter>) {
                type = 8;
                write_sleb(raw, v.value);
            } else if constexpr (std::is_same_v<T, Timestamp>) {
                type = 9;
                write_sleb(raw, v.millis);
            } else {
                type = v.type_code;
                raw.insert(raw.end(), v.bytes.begin(), v.bytes.end());
            }
        },
        value);
    meta = (static_cast<uint64_t>(raw.size() - before) << 4) | type;
}

Result<ScalarValue> decode_value(uint64_t meta, std::span<uint8_t const> raw) {
    uint64_t type = meta & 0x0f;
    auto whole_leb = [&](auto read) -> decltype(read(std::declval<Reader&>())) {
        Reader r(raw);
        auto v = read(r);
        if (!v || !r.done()) return std::nullopt;
        return v;
    };
    switch (type) {
        case 0:
        case 1:
        case 2:
            if (!raw.empty()) return fail("value of a fixed type has a length");
            if (type == 0) return ScalarValue{};
            return ScalarValue{type == 2};
        case 3: {
            auto v = whole_leb([](Reader& r) { return r.uleb(); });
            if (!v) return fail("bad unsigned integer value");
            return ScalarValue{*v};
        }
        case 4:
        case 8:
        case 9: {
            auto v = whole_leb([](Reader& r) { return r.sleb(); });
            if (!v) return fail("bad integer value");
            if (type == 4) return ScalarValue{*v};
            if (type == 8) return ScalarValue{Counter{*v}};
            return ScalarValue{Timestamp{*v}};
        }
        case 5: {
            if (raw.size() != 8) return fail("float value is not 8 bytes");
            double d;
            std::memcpy(&d, raw.data(), 8);
            return ScalarValue{d};
        }
        case 6: {
            std::string s(raw.begin(), raw.end());
            if (!valid_utf8(s)) return fail("string value is not UTF-8");
            return ScalarValue{std::move(s)};
        }
        case 7:
            return ScalarValue{std::vector<uint8_t>(raw.begin(), raw.end())};
        default:
            return ScalarValue{Unknown{static_cast<uint8_t>(type), {raw.begin(), raw.end()}}};
    }
}

void write_column_meta(std::vector<uint8_t>& out, std::span<RawColumn const> columns) {
    write_uleb(out, columns.size());
    for (auto const& c : columns) {
        write_uleb(out, c.id);
        write_uleb(out, c.data.size());
    }
}

Result<std::vector<std::pair<uint32_t, uint64_t>>> read_column_meta(Reader& reader) {
    auto count = reader.uleb();
    if (!count) return fail("bad column count");
    // Each column takes at least two bytes of metadata.
    if (*count > reader.remaining() / 2) return fail("column count past the end of the data");
    std::vector<std::pair<uint32_t, uint64_t>> out;
    out.reserve(*count);
    uint32_t last = 0;
    for (uint64_t i = 0; i < *count; ++i) {
        auto s = reader.uleb32();
        auto len = reader.uleb();
        if (!s || !len) return fail("bad column metadata");
        uint32_t normal = *s & ~column_id::deflate_bit;
        if (i > 0 && normal < last) return fail("columns are not in ascending order");
        last = normal;
        out.emplace_back(*s, *len);
    }
    return out;
}

struct OpColumnsWriter::Columns {
    RleEncoder<uint64_t> obj_actor, obj_ctr, key_actor, id_actor, action, value_meta, ref_group,
        ref_actor;
    DeltaEncoder key_ctr, id_ctr, ref_ctr;
    RleEncoder<std::string> key_str, mark_name;
    BooleanEncoder insert, expand;
    std::vector<uint8_t> value_raw;
};

OpColumnsWriter::OpColumnsWriter(OpLayout layout)
    : m_columns(std::make_unique<Columns>()), m_layout(layout) {}

OpColumnsWriter::~OpColumnsWriter() = default;

void OpColumnsWriter::add(OpRef obj, std::string const* key_str, OpRef elem, OpRef id, bool insert,
                          uint64_t action, ScalarValue const& value, std::span<OpRef const> refs,
                          bool expand, std::string const* mark_name) {
    Columns& c = *m_columns;
    if (obj.counter == 0) {
        c.obj_actor.append_null();
        c.obj_ctr.append_null();
    } else {
        c.obj_actor.append(uint64_t{obj.actor});
        c.obj_ctr.append(obj.counter);
    }
    if (key_str) {
        c.key_actor.append_null();
        c.key_ctr.append_null();
        c.key_str.append(*key_str);
    } else {
        if (elem.counter == 0)
            c.key_actor.append_null();
        else
            c.key_actor.append(uint64_t{elem.actor});
        c.key_ctr.append(static_cast<int64_t>(elem.counter));
        c.key_str.append_null();
    }
    if (m_layout == OpLayout::Document) {
        c.id_actor.append(uint64_t{id.actor});
        c.id_ctr.append(static_cast<int64_t>(id.counter));
    }
    c.insert.append(insert);
    c.action.append(action);
    uint64_t meta = 0;
    encode_value(value, meta, c.value_raw);
    c.value_meta.append(meta);
    c.ref_group.append(uint64_t{refs.size()});
    for (auto const& r : refs) {
        c.ref_actor.append(uint64_t{r.actor});
        c.ref_ctr.append(static_cast<int64_t>(r.counter));
    }
    c.expand.append(expand);
    if (mark_name)
        c.mark_name.append(*mark_name);
    else
        c.mark_name.append_null();
}

void OpColumnsWriter::add_string_chain(OpRef obj, OpRef first,
                                       std::span<std::string const* const> values) {
    Columns& c = *m_columns;
    uint64_t n = values.size();
    if (n == 0) return;
    if (obj.counter == 0) {
        c.obj_actor.append_nulls(n);
        c.obj_ctr.append_nulls(n);
    } else {
        c.obj_actor.append_n(uint64_t{obj.actor}, n);
        c.obj_ctr.append_n(obj.counter, n);
    }
    c.key_actor.append_n(uint64_t{first.actor}, n);
    c.key_ctr.append_consecutive(static_cast<int64_t>(first.counter - 1), n);
    c.key_str.append_nulls(n);
    if (m_layout == OpLayout::Document) {
        c.id_actor.append_n(uint64_t{first.actor}, n);
        c.id_ctr.append_consecutive(static_cast<int64_t>(first.counter), n);
    }
    c.insert.append_n(true, n);
    c.action.append_n(uint64_t{set}, n);
    // Characters of one length (mostly one byte) share a run of value metadata.
    size_t total = 0;
    for (size_t i = 0; i < n;) {
        size_t len = values[i]->size();
        size_t j = i + 1;
        while (j < n && values[j]->size() == len) ++j;
        c.value_meta.append_n((uint64_t{len} << 4) | 6, j - i);
        total += len * (j - i);
        i = j;
    }
    size_t at = c.value_raw.size();
    c.value_raw.resize(at + total);
    uint8_t* out = c.value_raw.data() + at;
    for (auto const* s : values) out = std::copy(s->begin(), s->end(), out);
    c.ref_group.append_n(0, n);
    c.expand.append_n(false, n);
    c.mark_name.append_nulls(n);
}

namespace {

void push(std::vector<RawColumn>& out, uint32_t s, std::vector<uint8_t> data) {
    if (!data.empty()) out.push_back({s, std::move(data)});
}

}  // namespace

std::vector<RawColumn> OpColumnsWriter::finish() {
    Columns& c = *m_columns;
    bool doc = m_layout == OpLayout::Document;
    std::vector<RawColumn> out;
    push(out, column_id::obj_actor, c.obj_actor.finish());
    push(out, column_id::obj_ctr, c.obj_ctr.finish());
    push(out, column_id::key_actor, c.key_actor.finish());
    push(out, column_id::key_ctr, c.key_ctr.finish());
    push(out, column_id::key_str, c.key_str.finish());
    if (doc) {
        push(out, column_id::id_actor, c.id_actor.finish());
        push(out, column_id::id_ctr, c.id_ctr.finish());
    }
    push(out, column_id::insert, c.insert.finish());
    push(out, column_id::action, c.action.finish());
    push(out, column_id::value_meta, c.value_meta.finish());
    push(out, column_id::value_raw, std::move(c.value_raw));
    push(out, doc ? column_id::succ_group : column_id::pred_group, c.ref_group.finish());
    push(out, doc ? column_id::succ_actor : column_id::pred_actor, c.ref_actor.finish());
    push(out, doc ? column_id::succ_ctr : column_id::pred_ctr, c.ref_ctr.finish());
    // A column of only false is left out, unlike the insert column.
    bool any_expand = c.expand.any_true();
    auto expand = c.expand.finish();
    if (any_expand) push(out, column_id::expand, std::move(expand));
    push(out, column_id::mark_name, c.mark_name.finish());
    return out;
}

void OpColumnsWriter::finish_into(std::vector<uint8_t>& out) {
    Columns& c = *m_columns;
    bool doc = m_layout == OpLayout::Document;
    std::pair<uint32_t, std::span<uint8_t const>> cols[16];
    size_t n = 0;
    auto add = [&](uint32_t id, std::span<uint8_t const> data) {
        if (!data.empty()) cols[n++] = {id, data};
    };
    add(column_id::obj_actor, c.obj_actor.flush());
    add(column_id::obj_ctr, c.obj_ctr.flush());
    add(column_id::key_actor, c.key_actor.flush());
    add(column_id::key_ctr, c.key_ctr.flush());
    add(column_id::key_str, c.key_str.flush());
    if (doc) {
        add(column_id::id_actor, c.id_actor.flush());
        add(column_id::id_ctr, c.id_ctr.flush());
    }
    add(column_id::insert, c.insert.flush());
    add(column_id::action, c.action.flush());
    add(column_id::value_meta, c.value_meta.flush());
    add(column_id::value_raw, c.value_raw);
    add(doc ? column_id::succ_group : column_id::pred_group, c.ref_group.flush());
    add(doc ? column_id::succ_actor : column_id::pred_actor, c.ref_actor.flush());
    add(doc ? column_id::succ_ctr : column_id::pred_ctr, c.ref_ctr.flush());
    bool any_expand = c.expand.any_true();
    auto expand = c.expand.flush();
    if (any_expand) add(column_id::expand, expand);
    add(column_id::mark_name, c.mark_name.flush());
    write_uleb(out, n);
    for (size_t i = 0; i < n; ++i) {
        write_uleb(out, cols[i].first);
        write_uleb(out, cols[i].second.size());
    }
    for (size_t i = 0; i < n; ++i)
        out.insert(out.end(), cols[i].second.begin(), cols[i].second.end());
    for (auto* e : {&c.obj_actor, &c.obj_ctr, &c.key_actor, &c.id_actor, &c.action, &c.value_meta,
                    &c.ref_group, &c.ref_actor})
        e->clear();
    for (auto* e : {&c.key_ctr, &c.id_ctr, &c.ref_ctr}) e->clear();
    c.key_str.clear();
    c.mark_name.clear();
    c.insert.clear();
    c.expand.clear();
    c.value_raw.clear();
}

std::vector<RawColumn> encode_ops(std::span<OpRow const> ops, OpLayout layout) {
    OpColumnsWriter writer(layout);
    for (auto const& op : ops)
        writer.add(op.obj, op.key_str ? &*op.key_str : nullptr, op.elem, op.id, op.insert,
                   op.action, op.value, op.refs, op.expand,
                   op.mark_name ? &*op.mark_name : nullptr);
    return writer.finish();
}

namespace {

std::span<uint8_t const> column(ColumnMap const& columns, uint32_t s) {
    auto it = columns.find(s);
    return it == columns.end() ? std::span<uint8_t const>{} : it->second;
}

struct ColumnsIn {
    explicit ColumnsIn(ColumnMap const& m, bool doc)
        : obj_actor(column(m, column_id::obj_actor)),
          obj_ctr(column(m, column_id::obj_ctr)),
          key_actor(column(m, column_id::key_actor)),
          key_ctr(column(m, column_id::key_ctr)),
          key_str(column(m, column_id::key_str)),
          id_actor(column(m, column_id::id_actor)),
          id_ctr(column(m, column_id::id_ctr)),
          insert(column(m, column_id::insert)),
          action(column(m, column_id::action)),
          value_meta(column(m, column_id::value_meta)),
          value_raw(column(m, column_id::value_raw)),
          ref_group(column(m, doc ? column_id::succ_group : column_id::pred_group)),
          ref_actor(column(m, doc ? column_id::succ_actor : column_id::pred_actor)),
          ref_ctr(column(m, doc ? column_id::succ_ctr : column_id::pred_ctr)),
          expand(column(m, column_id::expand)),
          mark_name(column(m, column_id::mark_name)) {}

    RleDecoder<uint64_t> obj_actor, obj_ctr, key_actor;
    DeltaDecoder key_ctr;
    RleDecoder<std::string> key_str;
    RleDecoder<uint64_t> id_actor;
    DeltaDecoder id_ctr;
    BooleanDecoder insert;
    RleDecoder<uint64_t> action, value_meta;
    Reader value_raw;
    RleDecoder<uint64_t> ref_group, ref_actor;
    DeltaDecoder ref_ctr;
    BooleanDecoder expand;
    RleDecoder<std::string> mark_name;
};

Error bad(std::string what) {
    return Error{"malformed operation column: " + std::move(what)};
}

std::optional<OpRef> make_ref(std::optional<uint64_t> actor, std::optional<int64_t> ctr,
                              size_t num_actors) {
    if (!actor || !ctr || *actor >= num_actors || *ctr <= 0) return std::nullopt;
    return OpRef{static_cast<uint64_t>(*ctr), static_cast<uint32_t>(*actor)};
}

Result<void> decode_row(ColumnsIn& c, OpRow& op, bool doc, size_t num_actors) {
    std::optional<uint64_t> oa, oc, ka, act, meta, group, ra, ia;
    std::optional<int64_t> kc, rc, ic;
    std::optional<std::string> ks;
    if (!c.obj_actor.next(oa) || !c.obj_ctr.next(oc)) return std::unexpected(bad("object"));
    if (oa || oc) {
        if (!oa || !oc || *oa >= num_actors || *oc == 0)
            return std::unexpected(bad("object reference"));
        op.obj = OpRef{*oc, static_cast<uint32_t>(*oa)};
    }
    if (!c.key_actor.next(ka) || !c.key_ctr.next(kc) || !c.key_str.next(ks))
        return std::unexpected(bad("key"));
    if (ks) {
        if (ka || kc || !valid_utf8(*ks)) return std::unexpected(bad("map key"));
        op.key_str = std::move(ks);
    } else if (kc && *kc == 0 && !ka) {
        op.elem = OpRef{};
    } else {
        auto r = make_ref(ka, kc, num_actors);
        if (!r) return std::unexpected(bad("element key"));
        op.elem = *r;
    }
    if (doc) {
        if (!c.id_actor.next(ia) || !c.id_ctr.next(ic)) return std::unexpected(bad("op id"));
        auto r = make_ref(ia, ic, num_actors);
        if (!r) return std::unexpected(bad("op id"));
        op.id = *r;
    }
    if (!c.insert.next(op.insert)) return std::unexpected(bad("insert"));
    if (!c.action.next(act) || !act) return std::unexpected(bad("action"));
    op.action = *act;
    if (!c.value_meta.next(meta)) return std::unexpected(bad("value metadata"));
    uint64_t m = meta.value_or(0);
    auto raw = c.value_raw.take(m >> 4);
    if (!raw) return std::unexpected(bad("value past the end of its column"));
    if ((m & 0x0f) == 6) {
        // Strings (every character of a text) skip the general path's copies.
        std::string_view text(reinterpret_cast<char const*>(raw->data()), raw->size());
        if (!valid_utf8(text)) return fail("string value is not UTF-8");
        op.value.emplace<std::string>(text);
    } else {
        auto value = decode_value(m, *raw);
        if (!value) return std::unexpected(value.error());
        op.value = std::move(*value);
    }
    if (!c.ref_group.next(group)) return std::unexpected(bad("successor count"));
    for (uint64_t i = 0; i < group.value_or(0); ++i) {
        if (!c.ref_actor.next(ra) || !c.ref_ctr.next(rc)) return std::unexpected(bad("ref"));
        auto r = make_ref(ra, rc, num_actors);
        if (!r) return std::unexpected(bad("op reference"));
        op.refs.push_back(*r);
    }
    if (!c.expand.next(op.expand)) return std::unexpected(bad("expand"));
    std::optional<std::string> name;
    if (!c.mark_name.next(name)) return std::unexpected(bad("mark name"));
    if (name && !valid_utf8(*name)) return std::unexpected(bad("mark name"));
    op.mark_name = std::move(name);
    return {};
}

}  // namespace

std::optional<uint64_t> count_ops(ColumnMap const& columns, uint64_t max_ops) {
    return RleDecoder<uint64_t>::count(column(columns, column_id::action), max_ops);
}

Result<void> decode_ops_each(ColumnMap const& columns, OpLayout layout, size_t num_actors,
                             uint64_t max_ops, std::function<Result<void>(OpRow&)> const& each) {
    auto count = count_ops(columns, max_ops);
    if (!count) return fail("malformed or oversized action column");
    bool doc = layout == OpLayout::Document;
    ColumnsIn c(columns, doc);
    for (uint64_t i = 0; i < *count; ++i) {
        OpRow op;
        auto r = decode_row(c, op, doc, num_actors);
        if (!r) return std::unexpected(r.error());
        if (auto ok = each(op); !ok) return ok;
    }
    return {};
}

Result<std::vector<OpRow>> decode_ops(ColumnMap const& columns, OpLayout layout, size_t num_actors,
                                      uint64_t max_ops) {
    auto count = RleDecoder<uint64_t>::count(column(columns, column_id::action), max_ops);
    if (!count) return fail("malformed or oversized action column");
    bool doc = layout == OpLayout::Document;
    ColumnsIn c(columns, doc);
    std::vector<OpRow> ops;
    // Growing a vector of rows moves every row again; a hostile run length must not reserve
    // more than the columns could plausibly hold, though.
    size_t bytes = 0;
    for (auto const& [id, data] : columns) bytes += data.size();
    ops.reserve(std::min<uint64_t>(*count, 4 * uint64_t{bytes} + 1024));
    for (uint64_t i = 0; i < *count; ++i) {
        auto r = decode_row(c, ops.emplace_back(), doc, num_actors);
        if (!r) return std::unexpected(r.error());
    }
    return ops;
}

}  // namespace automerge::storage
