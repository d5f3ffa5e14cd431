#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/view_model.hpp"
#include "vemo_ui/search/provider.hpp"

// What the chat offers the global search: one entry per workspace, conversation, category,
// message and person, each with the action address that opens it.
namespace chat::search {

using vemo_ui::search::provider::SearchEntry;

inline constexpr char const* workspaces_collection = "Workspaces";
inline constexpr char const* conversations_collection = "Conversations";
inline constexpr char const* categories_collection = "Categories";
inline constexpr char const* messages_collection = "Messages";
inline constexpr char const* people_collection = "People";

// Names by id, looked up once per build rather than once per message.
class EntryContext {
  public:
    explicit EntryContext(model::ViewModel const& view);
    std::string workspace_name(std::string const& id) const;
    Channel const* channel(std::string const& id) const;
    std::string author_name(std::string const& id) const;

  private:
    std::unordered_map<std::string, std::string> m_workspaces;
    std::unordered_map<std::string, Channel const*> m_channels;
    std::unordered_map<std::string, std::string> m_people;
};

// Each answers none when the entity's address cannot be formed (an empty id), and
// message_entry also when the message's channel is unknown.
std::optional<SearchEntry> workspace_entry(Workspace const& ws);
std::optional<SearchEntry> conversation_entry(Channel const& c, EntryContext const& ctx);
std::optional<SearchEntry> category_entry(Category const& c, EntryContext const& ctx);
std::optional<SearchEntry> message_entry(Message const& m, EntryContext const& ctx);
std::optional<SearchEntry> person_entry(Person const& p);

// "#" or "🔊" and the channel's name.
std::string conversation_title(Channel const& c);
// A message's title: its text up to a length, the attachment's name, or "Attachment".
std::string message_title(Message const& m);

// Every entry, workspaces, conversations, categories, messages, people, each in view order.
std::vector<SearchEntry> search_entries(model::ViewModel const& view);

}  // namespace chat::search
