#pragma once

#include <pango/pango.h>

#include <span>
#include <string>

#include "vemo_ui/text_renderer.hpp"

namespace vemo_ui::detail {

// Rich spans as Pango lays them out: the joined text (repaired where it was malformed UTF-8)
// and the attributes that style each span's bytes. The caller unrefs `attributes`.
struct RichText {
    std::string text;
    PangoAttrList* attributes = nullptr;
};

RichText rich_text(std::span<TextSpan const> spans);

}  // namespace vemo_ui::detail
