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

// The time of day of `ts` in the local zone, in the desktop's clock format (GNOME's
// clock-format setting when it is installed, 24-hour otherwise).
std::string clock_time(int64_t ts);
// The time of day of `ts` in the zone named by `zone` (an identifier GLib understands, such as
// "UTC", "Europe/Berlin" or "+05:30"; empty for the local zone): "HH:MM", or "H:MM AM" when
// `twelve_hour` is set.
std::string clock_time_in(int64_t ts, std::string const& zone, bool twelve_hour);
// Whether the desktop asks for a 12-hour clock.
bool desktop_uses_twelve_hour_clock();

// Where the image store finds an attachment's picture: built-in demo pictures by their own
// reference, everything else in the blob store.
std::string image_source(std::string_view blob);

// "99+" above 99.
std::string badge_text(uint32_t count);

// Seconds since the epoch, or the fixed fallback when the clock reads before it.
int64_t now_seconds();

}  // namespace chat
