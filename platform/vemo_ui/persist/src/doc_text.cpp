#include "vemo_ui/doc_text.hpp"

#include <algorithm>
#include <cstdint>

namespace vemo_ui::doc {

namespace {

bool is_continuation(char c) {
    return (static_cast<uint8_t>(c) & 0xc0) == 0x80;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<uint8_t>(s[i]);
        size_t len = b < 0x80           ? 1
                     : (b >> 5) == 0x6  ? 2
                     : (b >> 4) == 0xe  ? 3
                     : (b >> 3) == 0x1e ? 4
                                        : 0;
        if (len == 0 || i + len > s.size()) return false;
        uint32_t cp = len == 1 ? b : b & (0x7f >> len);
        for (size_t k = 1; k < len; ++k) {
            if (!is_continuation(s[i + k])) return false;
            cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3f);
        }
        static constexpr uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for_len[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += len;
    }
    return true;
}

size_t count_scalars(std::string_view s) {
    return static_cast<size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return !is_continuation(c); }));
}

}  // namespace

automerge::Result<void> splice_text_diffed(automerge::AutoCommit& doc, automerge::ObjId const& text,
                                           std::string_view new_text) {
    if (!valid_utf8(new_text)) return automerge::fail("new text is not valid UTF-8");
    auto current = doc.text(text);
    if (!current) return std::unexpected(current.error());
    std::string_view old_text = *current;
    if (old_text == new_text) return {};

    // Both strings are valid UTF-8, so equal bytes up to a point mean equal lead bytes, and
    // backing off continuation bytes lands on the same scalar boundary in both.
    size_t limit = std::min(old_text.size(), new_text.size());
    size_t prefix =
        std::mismatch(old_text.begin(), old_text.begin() + limit, new_text.begin()).first -
        old_text.begin();
    while (prefix > 0 && ((prefix < old_text.size() && is_continuation(old_text[prefix])) ||
                          (prefix < new_text.size() && is_continuation(new_text[prefix]))))
        --prefix;

    size_t suffix = 0;
    while (suffix < limit - prefix &&
           old_text[old_text.size() - 1 - suffix] == new_text[new_text.size() - 1 - suffix])
        ++suffix;
    while (suffix > 0 && is_continuation(old_text[old_text.size() - suffix])) --suffix;

    auto removed = old_text.substr(prefix, old_text.size() - prefix - suffix);
    auto inserted = new_text.substr(prefix, new_text.size() - prefix - suffix);
    return doc.splice_text(text, count_scalars(old_text.substr(0, prefix)), count_scalars(removed),
                           inserted);
}

}  // namespace vemo_ui::doc
