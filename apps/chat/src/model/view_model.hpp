#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "doc/seeds.hpp"
#include "model/message_runs.hpp"
#include "model/records.hpp"

namespace chat::model {

using automerge::AutoCommit;

// What the user is looking at. The refresh repairs it when the document no longer holds what
// it names.
struct Navigation {
    std::string workspace_id;             // the workspace of the shown conversation
    std::string remembered_workspace_id;  // the sidebar's workspace, where the shell returns
    std::string channel_id;               // the open channel
    std::optional<std::string> thread_root;
    doc::LocalPerson local;
    std::optional<std::string> edit_text;  // the message edit in progress, if any
};

// What a composer shows after a refresh.
struct ComposerState {
    std::string draft_key;  // empty for a thread composer without an open thread
    std::string text;
    std::string placeholder;
    std::string author;
    bool cursor_at_end = false;  // set when an edit in progress was put back

    friend bool operator==(ComposerState const&, ComposerState const&) = default;
};

struct ViewModel {
    std::vector<Workspace> workspaces;
    std::vector<Channel> channels;  // every workspace's, with unread counts
    std::vector<Category> categories;
    std::vector<Message> messages;  // the open channel's, in document order
    MessageRuns all_messages;       // channel by channel in channel order
    std::vector<Person> directory;  // everyone under "users"
    std::vector<Person> people;     // the current workspace's
    std::map<std::string, std::vector<VoiceParticipant>> voice_participants;  // current workspace
    ComposerState message_composer;
    ComposerState thread_composer;

    friend bool operator==(ViewModel const&, ViewModel const&) = default;
};

// Rebuilds the whole view model from the document and repairs `nav`. Never fails.
ViewModel refresh(AutoCommit& doc, Navigation& nav);

// Repairs the selection against freshly read lists: the remembered workspace, the current
// workspace (the first one when it vanished, closing its channel) and the open channel (the
// current workspace's first visible channel when it vanished or belongs elsewhere).
void repair_selection(Navigation& nav, std::vector<Workspace> const& workspaces,
                      std::vector<Channel> const& channels);

// In the workspace and not archived.
bool is_visible_in(Channel const& channel, std::string_view workspace);

// "Today", "Yesterday" or "N days ago": whole UTC days between `ts` and `now`.
std::string day_label(int64_t ts, int64_t now);

Person const* find_person(std::vector<Person> const& people, std::string_view id);
// The person's name, or "Unknown person" for an id that is not among `people`.
std::string person_name(std::vector<Person> const& people, std::string_view id);

}  // namespace chat::model
