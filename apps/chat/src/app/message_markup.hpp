#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How a message's text is shown: the light Markdown people type in chats (emphasis, strong,
// code, strikethrough, links, quotes, lists, fenced code) read into blocks of styled runs.
// The stored text is never changed; editing, search and copying use it as typed.
namespace chat::markup {

enum Style : uint8_t {
    Plain = 0,
    Emphasis = 1,
    Strong = 2,
    Code = 4,
    Strike = 8,
    Mention = 16,
};

struct Run {
    std::string text;
    uint8_t style = Plain;
    std::string link;  // the http, https or mailto address the run opens; empty for no link

    friend bool operator==(Run const&, Run const&) = default;
};

enum class BlockKind : uint8_t { Paragraph, CodeBlock, Rule };

struct Block {
    BlockKind kind = BlockKind::Paragraph;
    int quote_depth = 0;  // how many quotes hold the block
    int list_depth = 0;   // how many lists hold the block
    std::string marker;   // "•" or "3." on the first block of a list item
    std::vector<Run> runs;

    friend bool operator==(Block const&, Block const&) = default;
};

// A byte range of the text that names a person; it keeps its pill wherever it lands.
struct TextRange {
    size_t start = 0;
    size_t length = 0;
};

// Text longer than this is shown as typed (links and mentions only): reading it is not worth
// the time a frame has.
constexpr size_t max_formatted_bytes = 32 * 1024;

std::vector<Block> parse(std::string_view text, std::vector<TextRange> const& mentions = {});

// The text with plain runs only, mentions and links found: for long texts and for text the
// parser turned into nothing.
std::vector<Block> plain(std::string_view text, std::vector<TextRange> const& mentions = {});

// The text as it reads on screen, without the Markdown that styles it: one block to a line,
// list items with their marker, quotes and code as their text, a rule as an empty line. For
// screen readers and notifications.
std::string displayed_text(std::vector<Block> const& blocks);

}  // namespace chat::markup
