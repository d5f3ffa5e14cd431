#include <algorithm>
#include <map>

#include "app/chat_app.hpp"

namespace chat {

using vemo_ui::a11y::AccessNode;
using vemo_ui::a11y::Role;

namespace {

constexpr int message_row_kind = 1;

}  // namespace

std::string ChatApp::row_label(Message const& m) const {
    std::string label =
        model::person_name(m_view.directory, m.author) + ", " + clock_time(m.ts) + ": " + m.text;
    if (m.edited) label += ", edited";
    if (m.pinned) label += ", pinned";
    for (auto const& g : m.reactions)
        label += ", " + g.emoji + " " + std::to_string(g.users.size()) +
                 (g.users.size() == 1 ? " reaction" : " reactions");
    if (auto it = m_reply_counts.find(m.id); it != m_reply_counts.end())
        label += ", " + std::to_string(it->second) + (it->second == 1 ? " reply" : " replies");
    return label;
}

AccessNode ChatApp::accessibility() const {
    AccessNode root;
    root.role = Role::Window;
    root.label = "Chat";
    root.description = m_in_inbox ? "Inbox: conversations across Vemo workspaces"
                                  : "Channels in the current Vemo workspace";
    root.rect = content_bounds();

    AccessNode list;
    list.role = Role::List;
    list.id = "message-list";
    list.label = "Messages";
    for (size_t i = 0; i < m_rows.size(); ++i) {
        // A row drawn from a list that sync has since replaced names a message that may be gone.
        auto const* found = find_message(m_rows[i].message);
        if (!found) continue;
        auto const& m = *found;
        AccessNode row;
        row.role = Role::ListItem;
        row.id = "message:" + std::to_string(message_row_kind) + ":" + std::to_string(i);
        row.label = row_label(m);
        row.rect = m_rows[i].rect;
        row.states.focused =
            m_focused_row == m.id ||
            (m_focused && m_focused->kind == HitKind::MessageMenu && m_focused->a == m.id);
        list.children.push_back(std::move(row));
    }
    root.children.push_back(std::move(list));

    if (auto const* c = find_channel(m_nav.channel_id)) {
        AccessNode heading;
        heading.role = Role::Heading;
        heading.id = "conversation-heading";
        heading.label = (c->kind == ChannelKind::Voice ? "🔊 " : "# ") + c->name;
        heading.description = c->topic;
        heading.rect = m_regions.heading;
        root.children.push_back(std::move(heading));
    }
    if (m_menu.is_open()) root.children.push_back(m_menu.accessibility());
    root.children.push_back(m_search_window.accessibility());

    std::map<std::string, int> seen;
    for (auto const& region : m_hits) {
        auto const& t = region.target;
        if (!has_access_node(t.kind)) continue;
        // A control drawn in two places (the Inbox in rail and sidebar, the composers' buttons)
        // is two nodes: the later copies carry "#2", "#3"...
        auto id = semantic_id(t);
        if (int n = ++seen[id]; n > 1) id += "#" + std::to_string(n);
        auto facts = label_facts(t);
        AccessNode node;
        node.role = access_role(t.kind);
        node.id = id;
        node.label = access_label(t, facts);
        node.rect = region.rect;
        node.states.focused = m_focused && *m_focused == t;
        switch (t.kind) {
            case HitKind::CategoryToggle:
                node.states.pressed = !facts.category_collapsed;
                break;
            case HitKind::Reaction:
                node.states.pressed = facts.reacted;
                break;
            case HitKind::Inbox:
                node.states.pressed = m_in_inbox;
                break;
            case HitKind::CurrentContext:
                node.states.pressed = !m_in_inbox;
                break;
            case HitKind::Channel:
            case HitKind::VoiceChannel:
                node.states.selected = t.a == m_nav.channel_id;
                break;
            case HitKind::FocusMain:
                node.rect = m_composer_rect, node.states.focused = m_composer.is_focused();
                break;
            case HitKind::FocusThread:
                node.rect = m_thread_composer_rect,
                node.states.focused = m_thread_composer.is_focused();
                break;
            case HitKind::FocusEdit:
                node.rect = m_edit_rect, node.states.focused = m_edit_input.is_focused();
                break;
            case HitKind::FocusRename:
                node.rect = m_rename_rect, node.states.focused = m_rename_input.is_focused();
                break;
            default:
                break;
        }
        root.children.push_back(std::move(node));
    }
    return root;
}

}  // namespace chat
