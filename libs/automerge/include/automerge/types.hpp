#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace automerge {

struct Error {
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected(Error{std::move(message)});
}

class ActorId {
  public:
    ActorId() = default;
    explicit ActorId(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

    static ActorId random();
    static std::optional<ActorId> from_hex(std::string_view hex);

    std::span<uint8_t const> to_bytes() const { return m_bytes; }
    std::string to_hex() const;

    auto operator<=>(ActorId const&) const = default;

  private:
    std::vector<uint8_t> m_bytes;
};

struct ChangeHash {
    std::array<uint8_t, 32> bytes{};

    std::string to_hex() const;
    static std::optional<ChangeHash> from_hex(std::string_view hex);

    auto operator<=>(ChangeHash const&) const = default;
};

struct ChangeHashHasher {
    size_t operator()(ChangeHash const& h) const noexcept {
        size_t v = 0;
        for (size_t i = 0; i < sizeof(size_t); ++i) v = (v << 8) | h.bytes[i];
        return v;
    }
};

// "_root" or "counter@actorhex". The root has counter 0 and an empty actor.
class ObjId {
  public:
    ObjId() = default;
    ObjId(uint64_t counter, ActorId actor) : m_counter(counter), m_actor(std::move(actor)) {}

    static ObjId root() { return ObjId{}; }
    static std::optional<ObjId> from_string(std::string_view text);

    bool is_root() const { return m_counter == 0; }
    uint64_t counter() const { return m_counter; }
    ActorId const& actor() const { return m_actor; }
    std::string to_string() const;

    auto operator<=>(ObjId const&) const = default;

  private:
    uint64_t m_counter = 0;
    ActorId m_actor;
};

enum class ObjType { Map, List, Text };

struct Counter {
    int64_t value = 0;
    auto operator<=>(Counter const&) const = default;
};

struct Timestamp {
    int64_t millis = 0;
    auto operator<=>(Timestamp const&) const = default;
};

// A value whose type code this engine does not interpret; kept so it can be written back.
struct Unknown {
    uint8_t type_code = 0;
    std::vector<uint8_t> bytes;
    auto operator<=>(Unknown const&) const = default;
};

using ScalarValue = std::variant<std::monostate, bool, int64_t, uint64_t, double, Counter,
                                 Timestamp, std::string, std::vector<uint8_t>, Unknown>;
using Value = std::variant<ObjType, ScalarValue>;
using Prop = std::variant<std::string, size_t>;

}  // namespace automerge
