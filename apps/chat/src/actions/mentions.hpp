#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "doc/records.hpp"

namespace chat {

struct MentionCandidate {
    std::string id;
    std::string name;
    bool agent = false;
};

// Finds "@Name" mentions: after each "@" the text must continue with a candidate's name,
// compared without case, followed by the end or by a character that is neither a letter nor
// a digit. Offsets are in bytes, the mention covering the "@" and the name. When several
// names match at one "@", the longest wins ("@Ann Lee" over "@Ann").
std::vector<Mention> detect_mentions(std::string_view text, std::vector<MentionCandidate> candidates);

}  // namespace chat
