#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "actions/attachment_import.hpp"
#include "vemo_ui/geometry.hpp"

namespace chat {

// The popover that lists the files a user can attach.
struct AttachmentPicker {
    bool open = false;
    bool waiting = false;  // its listing has not arrived yet
    bool thread = false;   // opened from the thread composer
    std::vector<PickerEntry> entries;
    size_t selected = 0;
    vemo_ui::Rect anchor;  // the attach button it belongs to
};

// "12 KB"-style sizes for picker rows and attachment cards.
std::string file_size_text(uint64_t bytes);

}  // namespace chat
