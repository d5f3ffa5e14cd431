#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "doc/document.hpp"
#include "doc/records.hpp"

// The chat's key tree and the operations that write and read whole entities in it. Every
// entity is filed under its own id; ids that cannot be map keys (not UTF-8) are refused by
// the writers, which then write nothing and answer false.
namespace chat::doc {

// Root keys.
inline constexpr std::string_view workspaces_key = "workspaces";
inline constexpr std::string_view categories_key = "categories";
inline constexpr std::string_view channels_key = "channels";
inline constexpr std::string_view messages_key = "messages";
inline constexpr std::string_view users_key = "users";
inline constexpr std::string_view voice_key = "voice";
inline constexpr std::string_view read_key = "read";
inline constexpr std::string_view drafts_key = "drafts";
inline constexpr std::string_view seeded_key = "seeded";

// The draft key of a thread composer: channel, "::t::", root message.
std::string thread_draft_key(std::string_view channel, std::string_view root);

std::string_view channel_kind_word(ChannelKind kind);
// Only the exact word "voice" makes a voice channel.
ChannelKind channel_kind_from_word(std::string_view word);

// Only a stored `true` counts: absent, false or another kind means not seeded yet.
bool is_seeded(AutoCommit& doc);

bool write_workspace(AutoCommit& doc, std::string_view id, std::string_view name,
                     std::string_view glyph, int64_t color_idx, int64_t order);
bool write_category(AutoCommit& doc, std::string_view id, std::string_view workspace,
                    std::string_view name, int64_t order, bool collapsed);
// A voice channel also gets its (possibly empty) map under "voice".
bool write_channel(AutoCommit& doc, std::string_view id, std::string_view workspace,
                   std::string_view category, std::string_view name, std::string_view topic,
                   ChannelKind kind, int64_t order);
bool write_person(AutoCommit& doc, std::string_view id, std::string_view name,
                  std::string_view initials, int64_t color_idx, std::string_view status);
// The same record, but each field is written only when the stored value differs, so keeping
// the local person up to date on every frame makes no change while nothing changed. Answers
// whether anything was written.
bool update_person(AutoCommit& doc, std::string_view id, std::string_view name,
                   std::string_view initials, int64_t color_idx, std::string_view status);

struct MessageLocation {
    std::string channel;
    size_t index = 0;
    ObjId map;
};

// The first message with this id, walking the channels in key order and each list from the
// start.
std::optional<MessageLocation> find_message(AutoCommit& doc, std::string_view id);

// Appends `message` to the channel's list (its `channel` field is ignored). Writes nothing and
// answers false when a message with the same id exists anywhere in the document.
bool insert_message(AutoCommit& doc, std::string_view channel, Message const& message);

// The message stored in `map`, with defaults for whatever is missing; reactions are grouped
// by emoji in order of first use, each person once per emoji, empty entries ignored.
Message read_message(AutoCommit& doc, ObjId const& map, std::string_view channel);
Message read_message(AutoCommit const& doc, ObjHandle map, std::string_view channel);
// The same into a default-constructed message, which saves moving a fresh one into place.
void read_message(AutoCommit const& doc, ObjHandle map, std::string_view channel, Message& m);

void write_attachment(AutoCommit& doc, ObjId const& message, Attachment const& attachment);
std::optional<Attachment> read_attachment(AutoCommit& doc, ObjId const& message);
// The attachment record itself (the map under the message's "attachment").
Attachment read_attachment_map(AutoCommit const& doc, ObjHandle map);

// Writes only when `count` differs from the stored count (absent = 0); answers whether it did.
bool set_read_count(AutoCommit& doc, std::string_view channel, std::string_view person,
                    int64_t count);
int64_t read_count(AutoCommit& doc, std::string_view channel, std::string_view person);

// Replaces the draft's content with the smallest splice, so concurrent edits of one draft
// from two windows merge.
bool set_draft(AutoCommit& doc, std::string_view key, std::string_view text);

// A new participant gets all five flags false; one already in the call keeps its flags.
bool join_call(AutoCommit& doc, std::string_view channel, std::string_view person);
bool set_voice_flags(AutoCommit& doc, std::string_view channel, std::string_view person,
                     bool talking, bool muted, bool deafened, bool audio_only);
// These two write only when the value changes; they answer whether they wrote.
bool set_sharing(AutoCommit& doc, std::string_view channel, std::string_view person, bool sharing);
bool set_ticket(AutoCommit& doc, std::string_view channel, std::string_view person,
                std::string_view ticket);

// A device refreshes "last_seen" (Unix seconds) in its own participant record while it is in
// the call; a record that has one and was not refreshed for a minute belongs to a device that
// went away without leaving (crash, power loss) and counts as gone. Records without the key
// (written before it existed) are kept.
inline constexpr int64_t voice_presence_refresh_seconds = 15;
inline constexpr int64_t voice_presence_expiry_seconds = 60;
inline constexpr std::string_view last_seen_key = "last_seen";
bool is_stale_presence(std::optional<int64_t> last_seen, int64_t now);
// Writes the time into an existing record; a record that is gone stays gone.
bool touch_voice_presence(AutoCommit& doc, std::string_view channel, std::string_view person,
                          int64_t now);

}  // namespace chat::doc
