#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace chat {

// `prefix` followed by a random version-4 UUID as 32 lower-case hex digits (no hyphens).
std::string new_id(std::string_view prefix);

// 64-bit FNV-1a.
uint64_t fnv1a64(std::span<uint8_t const> bytes);
uint64_t fnv1a64(std::string_view text);

// The avatar colour (0 to 7) of a person: the low three bits of the FNV-1a hash of its id.
uint8_t color_index_for(std::string_view id);

}  // namespace chat
