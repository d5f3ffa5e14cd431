#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vemo_ui::i18n {

// A message catalog compiled into the program as Fluent resources, one per locale.
struct EmbeddedCatalog {
    std::string_view default_locale;
    std::vector<std::pair<std::string_view, std::string_view>> resources;  // (locale, source)
    std::string_view key;  // a key that must exist: the catalog's self-check

    // The text of `message_key` in the default locale; the key itself when it is missing.
    std::string t(std::string_view message_key) const;
};

struct FluentMessage {
    std::string key;
    std::string value;
};

struct FluentParseResult {
    std::vector<FluentMessage> messages;
    std::vector<std::string> errors;  // one line per entry that could not be read
};

// Reads the subset of Fluent we ship: `key = value` messages, indented continuation lines,
// `#` comments and blank lines. Entries it cannot read are reported and skipped.
FluentParseResult parse_fluent(std::string_view source);

}  // namespace vemo_ui::i18n
