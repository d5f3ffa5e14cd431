#pragma once

// Column encoders and decoders of the binary format. Every encoder produces the one
// canonical encoding (the same bytes the reference engine writes), because change hashes
// are computed over these bytes.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/leb128.hpp"

namespace automerge::storage {

template <class T>
struct ColumnValue;

template <>
struct ColumnValue<uint64_t> {
    using Owned = uint64_t;
    static void write(std::vector<uint8_t>& out, uint64_t v) { write_uleb(out, v); }
    static std::optional<uint64_t> read(Reader& r) { return r.uleb(); }
};

template <>
struct ColumnValue<int64_t> {
    using Owned = int64_t;
    static void write(std::vector<uint8_t>& out, int64_t v) { write_sleb(out, v); }
    static std::optional<int64_t> read(Reader& r) { return r.sleb(); }
};

template <>
struct ColumnValue<std::string> {
    using Owned = std::string;
    static void write(std::vector<uint8_t>& out, std::string_view v) {
        write_uleb(out, v.size());
        out.insert(out.end(), v.begin(), v.end());
    }
    static std::optional<std::string> read(Reader& r) {
        auto len = r.uleb();
        if (!len) return std::nullopt;
        auto bytes = r.take(*len);
        if (!bytes) return std::nullopt;
        return std::string(bytes->begin(), bytes->end());
    }
};

// Runs of equal values, literal runs of distinct values and runs of nulls.
template <class T>
class RleEncoder {
  public:
    // Extending a run is by far the commonest case; keeping it small lets it inline at
    // each column's call site, where its branch predicts well.
    [[gnu::always_inline]] void append(T const& value) {
        if (m_state == State::Run && value == m_last) {
            ++m_count;
            return;
        }
        append_slow(value);
    }

    void append_slow(T const& value) {
        switch (m_state) {
            case State::Empty:
                m_state = State::Lone;
                m_last = value;
                break;
            case State::InitialNulls:
            case State::Nulls:
                flush_nulls();
                m_state = State::Lone;
                m_last = value;
                break;
            case State::Lone:
                if (value == m_last) {
                    m_state = State::Run;
                    m_count = 2;
                } else {
                    add_to_literal();
                    m_last = value;
                    m_state = State::Literal;
                }
                break;
            case State::Run:
                if (value == m_last) {
                    ++m_count;
                } else {
                    flush_run();
                    m_state = State::Lone;
                    m_last = value;
                }
                break;
            case State::Literal:
                if (value == m_last) {
                    flush_literal();
                    m_state = State::Run;
                    m_count = 2;
                } else {
                    add_to_literal();
                    m_last = value;
                }
                break;
        }
    }

    void append_null() {
        switch (m_state) {
            case State::Empty:
                m_state = State::InitialNulls;
                m_count = 1;
                return;
            case State::InitialNulls:
            case State::Nulls:
                ++m_count;
                return;
            case State::Lone:
            case State::Run:
            case State::Literal:
                flush_values();
                break;
        }
        m_state = State::Nulls;
        m_count = 1;
    }

    void append(std::optional<T> const& value) {
        if (value)
            append(*value);
        else
            append_null();
    }
    // `n` times the same value, or null.
    void append_n(T const& value, uint64_t n) {
        for (; n > 0 && !(m_state == State::Run && value == m_last); --n) append(value);
        m_count += n;
    }
    void append_nulls(uint64_t n) {
        if (n == 0) return;
        append_null();
        m_count += n - 1;
    }

    // A column holding only nulls is written as nothing at all.
    std::vector<uint8_t> finish() {
        flush();
        return std::move(m_out);
    }
    // Like `finish`, but the bytes stay in the encoder (until `clear`) so that its buffers
    // can be used again.
    std::span<uint8_t const> flush() {
        switch (m_state) {
            case State::Empty:
            case State::InitialNulls:
                break;
            case State::Nulls:
                flush_nulls();
                break;
            case State::Lone:
            case State::Run:
            case State::Literal:
                flush_values();
                break;
        }
        m_state = State::Empty;
        return m_out;
    }
    void clear() {
        m_state = State::Empty;
        m_count = 0;
        m_literal.clear();
        m_literal_count = 0;
        m_out.clear();
    }

  private:
    // Writes out the pending value, run or literal before a null or the end of the column.
    void flush_values() {
        switch (m_state) {
            case State::Lone:
            case State::Literal:
                add_to_literal();
                flush_literal();
                break;
            case State::Run:
                flush_run();
                break;
            default:
                break;
        }
    }

  public:
  private:
    enum class State { Empty, InitialNulls, Nulls, Lone, Run, Literal };

    void flush_nulls() {
        write_sleb(m_out, 0);
        write_uleb(m_out, m_count);
    }
    void flush_run() {
        write_sleb(m_out, static_cast<int64_t>(m_count));
        ColumnValue<T>::write(m_out, m_last);
    }
    // A literal's values are kept encoded until its length, which comes first, is known.
    void add_to_literal() {
        ColumnValue<T>::write(m_literal, m_last);
        ++m_literal_count;
    }
    void flush_literal() {
        write_sleb(m_out, -static_cast<int64_t>(m_literal_count));
        m_out.insert(m_out.end(), m_literal.begin(), m_literal.end());
        m_literal.clear();
        m_literal_count = 0;
    }

    State m_state = State::Empty;
    T m_last{};
    uint64_t m_count = 0;
    std::vector<uint8_t> m_literal;
    uint64_t m_literal_count = 0;
    std::vector<uint8_t> m_out;
};

// Decodes a run-length column. Reading past the end yields nulls, the way an omitted
// column reads. Malformed data sets `failed()`.
template <class T>
class RleDecoder {
  public:
    explicit RleDecoder(std::span<uint8_t const> data = {}) : m_reader(data) {}

    // Returns false on malformed input. Inside a run of values or nulls, inline.
    [[gnu::always_inline]] bool next(std::optional<T>& out) {
        if (m_remaining != 0 && m_kind != Kind::Literal) {
            --m_remaining;
            if (m_kind == Kind::Run)
                out = m_value;
            else
                out.reset();
            return true;
        }
        return next_slow(out);
    }
    bool next_slow(std::optional<T>& out) {
        if (m_remaining == 0 && !load_run()) return false;
        if (m_remaining == 0) {
            out.reset();
            return true;
        }
        --m_remaining;
        switch (m_kind) {
            case Kind::Null:
                out.reset();
                return true;
            case Kind::Run:
                out = m_value;
                return true;
            case Kind::Literal: {
                auto v = ColumnValue<T>::read(m_reader);
                if (!v) return fail();
                out = std::move(*v);
                return true;
            }
        }
        return true;
    }

    bool failed() const { return m_failed; }
    bool done() const { return m_remaining == 0 && m_reader.done(); }

    // Number of values the column holds, or nullopt when malformed or above `limit`.
    static std::optional<uint64_t> count(std::span<uint8_t const> data, uint64_t limit) {
        RleDecoder d(data);
        uint64_t total = 0;
        while (!d.m_reader.done()) {
            if (!d.load_run()) return std::nullopt;
            if (d.m_remaining > limit - total) return std::nullopt;
            total += d.m_remaining;
            if (d.m_kind == Kind::Literal) {
                for (uint64_t i = 0; i < d.m_remaining; ++i)
                    if (!ColumnValue<T>::read(d.m_reader)) return std::nullopt;
            }
            d.m_remaining = 0;
        }
        return total;
    }

  private:
    enum class Kind { Null, Run, Literal };

    bool fail() {
        m_failed = true;
        return false;
    }

    // Loads the next run header; leaves m_remaining at 0 when the data is exhausted.
    bool load_run() {
        if (m_failed) return false;
        while (m_remaining == 0) {
            if (m_reader.done()) return true;
            auto header = m_reader.sleb();
            if (!header) return fail();
            if (*header > 0) {
                auto v = ColumnValue<T>::read(m_reader);
                if (!v) return fail();
                m_kind = Kind::Run;
                m_value = std::move(*v);
                m_remaining = static_cast<uint64_t>(*header);
            } else if (*header < 0) {
                m_kind = Kind::Literal;
                m_remaining =
                    *header == INT64_MIN ? (uint64_t{1} << 63) : static_cast<uint64_t>(-*header);
            } else {
                auto n = m_reader.uleb();
                if (!n) return fail();
                m_kind = Kind::Null;
                m_remaining = *n;
            }
        }
        return true;
    }

    Reader m_reader;
    Kind m_kind = Kind::Null;
    T m_value{};
    uint64_t m_remaining = 0;
    bool m_failed = false;
};

// Differences between consecutive values, run-length encoded.
class DeltaEncoder {
  public:
    void append(int64_t value) {
        m_rle.append(
            static_cast<int64_t>(static_cast<uint64_t>(value) - static_cast<uint64_t>(m_absolute)));
        m_absolute = value;
    }
    void append_null() { m_rle.append_null(); }
    // start, start + 1, ... (n values)
    void append_consecutive(int64_t start, uint64_t n) {
        if (n == 0) return;
        append(start);
        m_rle.append_n(1, n - 1);
        m_absolute = static_cast<int64_t>(static_cast<uint64_t>(start) + (n - 1));
    }
    void append(std::optional<int64_t> value) {
        if (value)
            append(*value);
        else
            append_null();
    }
    std::vector<uint8_t> finish() { return m_rle.finish(); }
    std::span<uint8_t const> flush() { return m_rle.flush(); }
    void clear() {
        m_rle.clear();
        m_absolute = 0;
    }

  private:
    RleEncoder<int64_t> m_rle;
    int64_t m_absolute = 0;
};

class DeltaDecoder {
  public:
    explicit DeltaDecoder(std::span<uint8_t const> data = {}) : m_rle(data) {}
    bool next(std::optional<int64_t>& out) {
        std::optional<int64_t> delta;
        if (!m_rle.next(delta)) return false;
        if (!delta) {
            out.reset();
            return true;
        }
        m_absolute =
            static_cast<int64_t>(static_cast<uint64_t>(m_absolute) + static_cast<uint64_t>(*delta));
        out = m_absolute;
        return true;
    }
    bool done() const { return m_rle.done(); }

  private:
    RleDecoder<int64_t> m_rle;
    int64_t m_absolute = 0;
};

// Alternating run lengths, starting with a run of false.
class BooleanEncoder {
  public:
    void append(bool value) {
        if (value == m_last) {
            ++m_count;
        } else {
            write_uleb(m_out, m_count);
            m_last = value;
            m_count = 1;
        }
        m_any_true |= value;
    }
    void append_n(bool value, uint64_t n) {
        if (n == 0) return;
        if (value == m_last) {
            m_count += n;
        } else {
            write_uleb(m_out, m_count);
            m_last = value;
            m_count = n;
        }
        m_any_true |= value;
    }
    std::vector<uint8_t> finish() {
        flush();
        return std::move(m_out);
    }
    std::span<uint8_t const> flush() {
        if (m_count > 0) write_uleb(m_out, m_count);
        m_count = 0;
        return m_out;
    }
    void clear() {
        m_last = false;
        m_any_true = false;
        m_count = 0;
        m_out.clear();
    }
    bool any_true() const { return m_any_true; }

  private:
    bool m_last = false;
    bool m_any_true = false;
    uint64_t m_count = 0;
    std::vector<uint8_t> m_out;
};

class BooleanDecoder {
  public:
    explicit BooleanDecoder(std::span<uint8_t const> data = {}) : m_reader(data) {}
    // Past the end every value reads as false.
    bool next(bool& out) {
        while (m_remaining == 0) {
            if (m_reader.done()) {
                out = false;
                return true;
            }
            auto n = m_reader.uleb();
            if (!n) return false;
            if (m_started) m_value = !m_value;
            m_started = true;
            m_remaining = *n;
        }
        --m_remaining;
        out = m_value;
        return true;
    }
    bool done() const { return m_remaining == 0 && m_reader.done(); }

  private:
    Reader m_reader;
    bool m_value = false;
    bool m_started = false;
    uint64_t m_remaining = 0;
};

}  // namespace automerge::storage
