#pragma once

// Operations as the binary format stores them: column-encoded rows whose actors are indices
// into the actor table of the enclosing chunk.

#include <automerge/types.hpp>
#include <functional>
#include <map>
#include <memory>

namespace automerge::storage {

enum Action : uint64_t {
    make_map = 0,
    set = 1,
    make_list = 2,
    del = 3,
    make_text = 4,
    inc = 5,
    make_table = 6,
    mark = 7,
};

struct OpRef {
    uint64_t counter = 0;
    uint32_t actor = 0;
    auto operator<=>(OpRef const&) const = default;
};

struct OpRow {
    OpRef obj;                           // counter 0: the root
    std::optional<std::string> key_str;  // map key; otherwise `elem`
    OpRef elem;                          // counter 0: the list head
    OpRef id;                            // documents only
    bool insert = false;
    uint64_t action = set;
    ScalarValue value;
    std::vector<OpRef> refs;  // predecessors (changes) or successors (documents)
    bool expand = false;
    std::optional<std::string> mark_name;
};

enum class OpLayout { Change, Document };

// Column ids: id << 4 | type, bit 3 set when deflated.
namespace column_id {
inline constexpr uint32_t obj_actor = 0x01, obj_ctr = 0x02, key_actor = 0x11, key_ctr = 0x13,
                          key_str = 0x15, id_actor = 0x21, id_ctr = 0x23, insert = 0x34,
                          action = 0x42, value_meta = 0x56, value_raw = 0x57, pred_group = 0x70,
                          pred_actor = 0x71, pred_ctr = 0x73, succ_group = 0x80, succ_actor = 0x81,
                          succ_ctr = 0x83, expand = 0x94, mark_name = 0xa5;
inline constexpr uint32_t deflate_bit = 0x08;
}  // namespace column_id

// One column: its id (with the deflate bit) and data, in the order they are written.
struct RawColumn {
    uint32_t id;
    std::vector<uint8_t> data;
};

// Appends ops row by row and produces the columns, empty ones left out.
class OpColumnsWriter {
  public:
    explicit OpColumnsWriter(OpLayout layout);
    ~OpColumnsWriter();
    void add(OpRef obj, std::string const* key_str, OpRef elem, OpRef id, bool insert,
             uint64_t action, ScalarValue const& value, std::span<OpRef const> refs, bool expand,
             std::string const* mark_name);
    // Inserts of string values into a sequence, each right after the op before it: ids
    // `first`, `first` + 1, ... of one actor, the first inserted after `first` - 1. The same
    // as adding them one by one, for the long typed runs texts are made of.
    void add_string_chain(OpRef obj, OpRef first, std::span<std::string const* const> values);
    std::vector<RawColumn> finish();
    // Writes the column metadata and then the columns' data (as a change chunk holds them)
    // to `out`, and makes the writer empty again, keeping its buffers for the next ops.
    void finish_into(std::vector<uint8_t>& out);

  private:
    struct Columns;
    std::unique_ptr<Columns> m_columns;
    OpLayout m_layout;
};

std::vector<RawColumn> encode_ops(std::span<OpRow const> ops, OpLayout layout);

// Columns by id (deflate bit cleared), data already inflated.
using ColumnMap = std::map<uint32_t, std::span<uint8_t const>>;

Result<std::vector<OpRow>> decode_ops(ColumnMap const& columns, OpLayout layout, size_t num_actors,
                                      uint64_t max_ops);
// Decodes the rows one at a time, handing each to `each` (which may move from it) and
// stopping at the first error.
Result<void> decode_ops_each(ColumnMap const& columns, OpLayout layout, size_t num_actors,
                             uint64_t max_ops, std::function<Result<void>(OpRow&)> const& each);
// The number of rows the columns hold (nullopt: malformed, or more than `max_ops`).
std::optional<uint64_t> count_ops(ColumnMap const& columns, uint64_t max_ops);

// Value metadata (length << 4 | type) and raw bytes.
void encode_value(ScalarValue const& value, uint64_t& meta, std::vector<uint8_t>& raw);
Result<ScalarValue> decode_value(uint64_t meta, std::span<uint8_t const> raw);

bool valid_utf8(std::string_view text);

// Writes "count, (id, length)..."; the column data follows, written by the caller.
void write_column_meta(std::vector<uint8_t>& out, std::span<RawColumn const> columns);
Result<std::vector<std::pair<uint32_t, uint64_t>>> read_column_meta(class Reader& reader);

}  // namespace automerge::storage
