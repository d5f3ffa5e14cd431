#include "search/search_entries.hpp"

#include <glib.h>

namespace chat::search {

namespace {

constexpr size_t title_chars = 80;
constexpr char const* separator = " · ";

std::string trimmed(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// The first line of the text, at most `title_chars` characters, with an ellipsis when cut.
std::string shortened(std::string const& text) {
    std::string line = trimmed(text.substr(0, text.find('\n')));
    if (!g_utf8_validate(line.data(), gssize(line.size()), nullptr)) {
        gchar* valid = g_utf8_make_valid(line.data(), gssize(line.size()));
        line = valid;
        g_free(valid);
    }
    bool cut = line.size() < trimmed(text).size();
    if (size_t(g_utf8_strlen(line.data(), gssize(line.size()))) > title_chars) {
        line.resize(size_t(g_utf8_offset_to_pointer(line.data(), title_chars) - line.data()));
        line = trimmed(line);
        cut = true;
    }
    return cut ? line + "…" : line;
}

std::string attachment_name(Attachment const& a) {
    return std::visit([](auto const& x) { return x.name; }, a);
}

SearchEntry make(char const* collection, std::string kind_of_resource, std::string const& id,
                 std::string title, std::string text) {
    SearchEntry e;
    e.collection = collection;
    e.action_address = kind_of_resource + ":" + id;
    e.resource = {std::move(kind_of_resource), e.action_address, title};
    e.title = std::move(title);
    e.text = std::move(text);
    return e;
}

}  // namespace

EntryContext::EntryContext(model::ViewModel const& view) {
    for (auto const& ws : view.workspaces) m_workspaces.emplace(ws.id, ws.name);
    for (auto const& c : view.channels) m_channels.emplace(c.id, &c);
    for (auto const& p : view.directory) m_people.emplace(p.id, p.name);
}

std::string EntryContext::workspace_name(std::string const& id) const {
    auto it = m_workspaces.find(id);
    return it == m_workspaces.end() ? std::string() : it->second;
}

Channel const* EntryContext::channel(std::string const& id) const {
    auto it = m_channels.find(id);
    return it == m_channels.end() ? nullptr : it->second;
}

std::string EntryContext::author_name(std::string const& id) const {
    auto it = m_people.find(id);
    return it == m_people.end() ? id : it->second;
}

std::string conversation_title(Channel const& c) {
    return (c.kind == ChannelKind::Voice ? "🔊" : "#") + c.name;
}

std::string message_title(Message const& m) {
    std::string title = shortened(m.text);
    if (!title.empty()) return title;
    if (m.attachment) {
        std::string name = attachment_name(*m.attachment);
        if (!trimmed(name).empty()) return name;
    }
    return "Attachment";
}

std::optional<SearchEntry> workspace_entry(Workspace const& ws) {
    if (ws.id.empty()) return std::nullopt;
    auto e = make(workspaces_collection, "chat.workspace", ws.id, ws.name, ws.name);
    e.kind = "Workspace";
    return e;
}

std::optional<SearchEntry> conversation_entry(Channel const& c, EntryContext const& ctx) {
    if (c.id.empty()) return std::nullopt;
    std::string ws = ctx.workspace_name(c.workspace);
    auto e = make(conversations_collection, "chat.channel", c.id, conversation_title(c),
                  c.name + " " + c.topic + " " + ws);
    e.subtitle = c.topic.empty() ? ws : ws + separator + c.topic;
    e.scope = c.workspace;
    return e;
}

std::optional<SearchEntry> category_entry(Category const& c, EntryContext const& ctx) {
    if (c.id.empty()) return std::nullopt;
    std::string ws = ctx.workspace_name(c.workspace);
    auto e = make(categories_collection, "chat.category", c.id, c.name, c.name + " " + ws);
    e.subtitle = ws + separator + (c.collapsed ? "collapsed" : "expanded");
    e.scope = c.workspace;
    return e;
}

std::optional<SearchEntry> message_entry(Message const& m, EntryContext const& ctx) {
    auto const* channel = ctx.channel(m.channel);
    if (m.id.empty() || !channel) return std::nullopt;
    std::string author = ctx.author_name(m.author);
    std::string attachment = m.attachment ? attachment_name(*m.attachment) : std::string();
    auto e = make(messages_collection, "chat.message", m.id, message_title(m),
                  author + " " + m.text + " " + attachment);
    e.subtitle = author + separator + conversation_title(*channel) + separator +
                 ctx.workspace_name(channel->workspace);
    e.timestamp = m.ts;
    e.scope = m.channel;
    return e;
}

std::optional<SearchEntry> person_entry(Person const& p) {
    if (p.id.empty()) return std::nullopt;
    auto e = make(people_collection, "chat.person", p.id, p.name, p.name + " " + p.id);
    e.kind = p.agent ? "Agent" : "Person";
    return e;
}

std::vector<SearchEntry> search_entries(model::ViewModel const& view) {
    EntryContext ctx(view);
    std::vector<SearchEntry> out;
    out.reserve(view.workspaces.size() + view.channels.size() + view.categories.size() +
                view.all_messages.size() + view.directory.size());
    auto add = [&](std::optional<SearchEntry> e) {
        if (e) out.push_back(std::move(*e));
    };
    for (auto const& ws : view.workspaces) add(workspace_entry(ws));
    for (auto const& c : view.channels) add(conversation_entry(c, ctx));
    for (auto const& c : view.categories) add(category_entry(c, ctx));
    for (auto const& m : view.all_messages) add(message_entry(m, ctx));
    for (auto const& p : view.directory) add(person_entry(p));
    return out;
}

}  // namespace chat::search
