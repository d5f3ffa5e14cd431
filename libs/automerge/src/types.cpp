#include <automerge/change.hpp>
#include <automerge/types.hpp>
#include <random>

namespace automerge {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

std::string to_hex_string(std::span<uint8_t const> bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(hex_digits[b >> 4]);
        out.push_back(hex_digits[b & 15]);
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> from_hex_string(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> out(hex.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(hex[2 * i]);
        int lo = hex_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return out;
}

}  // namespace

ActorId ActorId::random() {
    thread_local std::random_device device;
    thread_local std::mt19937_64 engine((static_cast<uint64_t>(device()) << 32) ^ device() ^
                                        static_cast<uint64_t>(std::hash<void const*>{}(&device)));
    std::vector<uint8_t> bytes(16);
    for (size_t i = 0; i < 16; i += 8) {
        uint64_t v = engine();
        for (size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<uint8_t>(v >> (8 * j));
    }
    return ActorId(std::move(bytes));
}

std::optional<ActorId> ActorId::from_hex(std::string_view hex) {
    auto bytes = from_hex_string(hex);
    if (!bytes) return std::nullopt;
    return ActorId(std::move(*bytes));
}

std::string ActorId::to_hex() const {
    return to_hex_string(m_bytes);
}

std::string ChangeHash::to_hex() const {
    return to_hex_string(bytes);
}

std::optional<ChangeHash> ChangeHash::from_hex(std::string_view hex) {
    if (hex.size() != 64) return std::nullopt;
    auto raw = from_hex_string(hex);
    if (!raw) return std::nullopt;
    ChangeHash h;
    std::copy(raw->begin(), raw->end(), h.bytes.begin());
    return h;
}

std::string ObjId::to_string() const {
    if (is_root()) return "_root";
    return std::to_string(m_counter) + "@" + m_actor.to_hex();
}

std::optional<ObjId> ObjId::from_string(std::string_view text) {
    if (text == "_root") return root();
    auto at = text.find('@');
    if (at == std::string_view::npos || at == 0) return std::nullopt;
    uint64_t counter = 0;
    for (char c : text.substr(0, at)) {
        if (c < '0' || c > '9' || counter > (UINT64_MAX - 9) / 10) return std::nullopt;
        counter = counter * 10 + static_cast<uint64_t>(c - '0');
    }
    auto actor = ActorId::from_hex(text.substr(at + 1));
    if (!actor || counter == 0) return std::nullopt;
    return ObjId(counter, std::move(*actor));
}

}  // namespace automerge
