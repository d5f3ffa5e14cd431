#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace chat {

// A web or mail link found in message text: bytes [begin, end) of the text, and the address
// to open (the text itself, with non-ASCII bytes percent-encoded).
struct FoundLink {
    size_t begin = 0;
    size_t end = 0;
    std::string target;

    friend bool operator==(FoundLink const&, FoundLink const&) = default;
};

// The http, https and mailto links in plain text. A link starts at a word boundary and ends
// before white space, a character no address holds, or punctuation that closes the sentence
// around it ("see https://a.example/x." leaves the full stop out, and a closing bracket is
// kept only when the link opened one).
std::vector<FoundLink> find_links(std::string_view text);

// The address to open for a link someone wrote out ([label](address)), when it is a
// well-formed http, https or mailto address; nothing for any other scheme or a malformed one.
std::optional<std::string> safe_link(std::string_view address);

}  // namespace chat
