#include "doc/ids.hpp"

#include <uuid/uuid.h>

namespace chat {

std::string new_id(std::string_view prefix) {
    uuid_t raw;
    uuid_generate_random(raw);
    // 32 lower-case hex digits without hyphens: ids end up in keys and addresses, where a
    // plain token is easier to carry than the hyphenated form.
    static constexpr char digits[] = "0123456789abcdef";
    std::string id(prefix);
    for (unsigned char b : raw) {
        id += digits[b >> 4];
        id += digits[b & 15];
    }
    return id;
}

uint64_t fnv1a64(std::span<uint8_t const> bytes) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ULL;
    }
    return h;
}

uint64_t fnv1a64(std::string_view text) {
    return fnv1a64(std::span(reinterpret_cast<uint8_t const*>(text.data()), text.size()));
}

uint8_t color_index_for(std::string_view id) {
    return uint8_t(fnv1a64(id) & 7);
}

}  // namespace chat
