#pragma once

#include <array>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vemo_ui/i18n.hpp"

namespace chat {

// The Fluent source of the chat's user-facing strings, verbatim.
extern std::string_view const catalog_resource;

vemo_ui::i18n::EmbeddedCatalog const& catalog();

// The text of one message of the chat's catalog.
std::string translate(std::string_view key);

// The seven call controls, in the order the call view measures them.
extern std::array<std::string_view, 7> const call_control_keys;

struct MeasuredLabel {
    std::string text;
    double width = 0;
};

// Texts of `keys` with their control widths: the text measured at 13 points plus the control
// style's horizontal padding on both sides.
std::vector<MeasuredLabel> measure_labels(std::span<std::string_view const> keys,
                                          std::function<double(std::string const&, double)> const& measure,
                                          double horizontal_padding);

}  // namespace chat
