#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Caret and word boundaries in UTF-8 text. Offsets are byte offsets that always land on a
// character boundary; invalid bytes count as one character each so a damaged draft can still
// be edited.
namespace vemo_ui::text {

// The code point starting at `at` and its byte length (U+FFFD, 1 for an invalid sequence).
struct Decoded {
    char32_t code = 0;
    size_t length = 0;
};
Decoded decode_at(std::string_view s, size_t at);
size_t previous_char(std::string_view s, size_t at);

// Grapheme clusters: what the caret steps over and Backspace removes (an emoji with its
// modifiers and joiners, a letter with its combining marks, a flag, a CR LF pair).
size_t next_grapheme(std::string_view s, size_t at);
size_t previous_grapheme(std::string_view s, size_t at);
size_t snap_to_grapheme(std::string_view s, size_t at);

// Word jumps: forwards to the end of the next word, backwards to the start of the previous.
size_t next_word_end(std::string_view s, size_t at);
size_t previous_word_start(std::string_view s, size_t at);
// The word (or run of non-word characters) around a byte offset, for double-click.
struct Range {
    size_t begin = 0;
    size_t end = 0;
};
Range word_at(std::string_view s, size_t at);

// Unicode scalar values before `byte`, and the byte offset of the n-th scalar (clamped).
size_t scalars_before(std::string_view s, size_t byte);
size_t byte_of_scalar(std::string_view s, size_t scalar);

size_t line_start(std::string_view s, size_t at);
size_t line_end(std::string_view s, size_t at);

void append_utf8(std::string& out, char32_t c);

}  // namespace vemo_ui::text
