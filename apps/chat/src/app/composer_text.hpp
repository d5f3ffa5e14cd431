#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "actions/mentions.hpp"
#include "doc/records.hpp"

namespace chat {

struct EmojiCategory {
    std::string_view title;
    std::array<std::string_view, 12> emoji;
};

// The picker's categories in display order ("Frequent" first).
extern std::array<EmojiCategory, 5> const emoji_categories;
// "Frequent" holds six; the remaining slots are empty.
inline constexpr size_t frequent_count = 6;

// Leading and trailing white space removed (ASCII and Unicode blanks).
std::string trimmed(std::string_view text);

// "HH:MM" of the UTC day.
std::string clock_time(int64_t ts);

// "99+" above 99.
std::string badge_text(uint32_t count);

// Seconds since the epoch, or the fixed fallback when the clock reads before it.
int64_t now_seconds();

}  // namespace chat
