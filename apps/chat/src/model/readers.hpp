#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "doc/document.hpp"
#include "model/records.hpp"

// Reading the document into view-model records. Each reader stands on its own (search and
// the operation handlers call them directly) and never fails: missing maps give empty
// results, entries that are not maps are skipped, missing fields take their defaults.
namespace chat::model {

using automerge::AutoCommit;

// Sorted by order (unsigned low 32 bits), equal orders in id order.
std::vector<Workspace> read_workspaces(AutoCommit& doc);
std::vector<Category> read_categories(AutoCommit& doc);
std::vector<Channel> read_channels(AutoCommit& doc);
// Every person under "users", sorted by name, then id, as raw bytes.
std::vector<Person> read_users(AutoCommit& doc);

// The channel's messages in document order.
std::vector<Message> read_messages(AutoCommit& doc, std::string_view channel);
// The participants of the channel's call, in person-id order.
std::vector<VoiceParticipant> read_voice(AutoCommit& doc, std::string_view channel);
// The same, leaving out records whose device stopped refreshing them (see is_stale_presence).
std::vector<VoiceParticipant> read_voice(AutoCommit& doc, std::string_view channel, int64_t now);
// The draft stored under `key`, empty when there is none.
std::string read_draft(AutoCommit& doc, std::string_view key);
// Top-level messages of the channel the person has not read yet; never below zero.
uint32_t unread(AutoCommit& doc, std::string_view channel, std::string_view person);

// max(0, top_level - read), saturated to 32 bits.
uint32_t unread_from(size_t top_level, int64_t read);

void sort_people(std::vector<Person>& people);

}  // namespace chat::model
