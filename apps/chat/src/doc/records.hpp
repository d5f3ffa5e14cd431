#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "doc/agent_work.hpp"
#include "doc/heap_optional.hpp"

// The plain records a chat message is made of. The document, the view model and the chat
// actions all speak in these terms.
namespace chat {

enum class ChannelKind : uint8_t { Text, Voice };

// What a person's status word means; every unknown word (and none) reads as Online so a peer
// writing a word we don't know yet never hides anyone.
enum class Presence : uint8_t { Online, Idle, Dnd, Offline };

std::string_view presence_word(Presence presence);
Presence presence_from_word(std::string_view word);

struct Mention {
    std::string user;
    uint64_t start = 0;
    uint64_t len = 0;
    bool is_agent = false;

    friend bool operator==(Mention const&, Mention const&) = default;
};

struct ImageAttachment {
    std::string name;
    std::string blob;
    uint32_t w = 0;
    uint32_t h = 0;

    friend bool operator==(ImageAttachment const&, ImageAttachment const&) = default;
};

struct VideoAttachment {
    std::string name;
    std::string blob;
    uint32_t w = 0;
    uint32_t h = 0;
    uint64_t size = 0;

    friend bool operator==(VideoAttachment const&, VideoAttachment const&) = default;
};

struct FileAttachment {
    std::string name;
    std::string blob;
    uint64_t size = 0;

    friend bool operator==(FileAttachment const&, FileAttachment const&) = default;
};

using Attachment = std::variant<ImageAttachment, VideoAttachment, FileAttachment>;

enum class SpanUnit : uint8_t { Chars, Bytes };

struct Span {
    uint64_t start = 0;
    uint64_t end = 0;
    SpanUnit unit = SpanUnit::Chars;

    friend bool operator==(Span const&, Span const&) = default;
};

// A pointer at another resource, e.g. the message a shared message quotes.
struct ResourceRef {
    std::string kind;
    std::string id;
    std::string label;
    std::optional<Span> span;

    friend bool operator==(ResourceRef const&, ResourceRef const&) = default;
};

// Compact JSON text with members in field order and `null` for a missing span.
std::string resource_ref_to_json_text(ResourceRef const& ref);
nlohmann::ordered_json resource_ref_to_json(ResourceRef const& ref);
std::optional<ResourceRef> resource_ref_from_json_text(std::string_view text);
std::optional<ResourceRef> resource_ref_from_json(nlohmann::ordered_json const& value);

struct HistoryEntry {
    int64_t ts = 0;
    std::string text;  // the text as it was before the edit made at `ts`

    friend bool operator==(HistoryEntry const&, HistoryEntry const&) = default;
};

struct ReactionGroup {
    std::string emoji;
    std::vector<std::string> users;  // in order of first reaction, each once

    friend bool operator==(ReactionGroup const&, ReactionGroup const&) = default;
};

struct Message {
    std::string id;
    std::string channel;  // the channel it was read from; ignored when inserting
    std::string author;
    std::string text;
    int64_t ts = 0;
    std::optional<std::string> parent;  // the thread root this replies to
    bool edited = false;
    std::vector<HistoryEntry> history;  // oldest first
    std::vector<ReactionGroup> reactions;
    std::vector<Mention> mentions;
    HeapOptional<ResourceRef> reference;
    HeapOptional<Attachment> attachment;
    bool pinned = false;
    HeapOptional<AgentWork> work;

    friend bool operator==(Message const&, Message const&) = default;
};

}  // namespace chat
