#include <algorithm>
#include <map>

#include "app/chat_app.hpp"

namespace chat {

using vemo_ui::a11y::AccessNode;
using vemo_ui::a11y::Role;

namespace {

constexpr char const* message_row_prefix = "message:";
constexpr char const* thread_row_prefix = "thread-message:";

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

AccessNode ChatApp::row_node(Message const& m, std::string id, vemo_ui::Rect rect,
                             bool focused) const {
    AccessNode row;
    row.role = Role::ListItem;
    row.id = std::move(id);
    row.label = row_label(m);
    row.rect = rect;
    row.states.focused = focused;
    // What a pointer user reaches through the hover bar and the context menu.
    row.actions = {"reply", "menu"};
    if (can_write()) row.actions.insert(row.actions.begin(), "react");
    if (can_write() && m.author == m_identity.id) row.actions.push_back("edit");
    return row;
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
    list.rect = m_regions.main;
    list.live = "polite";
    for (auto const& box : m_rows) {
        // A row drawn from a list that sync has since replaced names a message that may be gone.
        auto const* found = find_message(box.message);
        if (!found) continue;
        bool focused =
            m_focused_row == found->id ||
            (m_focused && m_focused->kind == HitKind::MessageMenu && m_focused->a == found->id);
        list.children.push_back(
            row_node(*found, message_row_prefix + found->id, box.rect, focused));
    }
    root.children.push_back(std::move(list));
    if (auto panels = panel_nodes(); !panels.children.empty())
        for (auto& node : panels.children) root.children.push_back(std::move(node));

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
                node.states.expanded = !facts.category_collapsed;
                break;
            case HitKind::Reaction:
                node.states.pressed = facts.reacted;
                break;
            case HitKind::Inbox:
                node.states.pressed = m_in_inbox;
                break;
            case HitKind::SettingsTheme:
            case HitKind::SettingsNotifications:
            case HitKind::SettingsSounds:
                node.states.pressed = settings_control_pressed(t);
                break;
            case HitKind::SettingsOpen:
                node.states.expanded = m_settings_open;
                break;
            case HitKind::CurrentContext:
                node.states.pressed = !m_in_inbox;
                break;
            case HitKind::Channel:
            case HitKind::VoiceChannel:
                node.states.selected = t.a == m_nav.channel_id;
                break;
            case HitKind::FocusMain:
            case HitKind::FocusThread:
            case HitKind::FocusEdit:
            case HitKind::FocusRename: {
                auto const& input = text_field(t.kind);
                node.rect = t.kind == HitKind::FocusMain     ? m_composer_rect
                            : t.kind == HitKind::FocusThread ? m_thread_composer_rect
                            : t.kind == HitKind::FocusEdit   ? m_edit_rect
                                                             : m_rename_rect;
                node.states.focused = input.is_focused();
                node.text = input.accessibility({}, {}).text;
                break;
            }
            default:
                break;
        }
        root.children.push_back(std::move(node));
    }
    return root;
}

vemo_ui::TextInput const& ChatApp::text_field(HitKind kind) const {
    return kind == HitKind::FocusMain     ? m_composer
           : kind == HitKind::FocusThread ? m_thread_composer
           : kind == HitKind::FocusEdit   ? m_edit_input
                                          : m_rename_input;
}

// The right panel (thread or people) and the edit-history popover, as screen readers see them.
AccessNode ChatApp::panel_nodes() const {
    AccessNode out;
    if (m_nav.thread_root && !m_thread_rows.empty()) {
        AccessNode thread;
        thread.role = Role::List;
        thread.id = "thread";
        thread.label = "Thread";
        thread.rect = m_regions.right;
        thread.live = "polite";
        for (auto const& box : m_thread_rows)
            if (auto const* m = find_message(box.message))
                thread.children.push_back(row_node(*m, thread_row_prefix + m->id, box.rect, false));
        out.children.push_back(std::move(thread));
    }
    auto group = [&](char const* name, Role role, std::string id, std::string label,
                     vemo_ui::Rect rect) {
        AccessNode node;
        node.role = role, node.id = std::move(id), node.label = std::move(label), node.rect = rect;
        for (auto const& box : m_access_boxes) {
            if (box.group != name) continue;
            AccessNode item;
            item.role = role == Role::List ? Role::ListItem : Role::Label;
            item.id = box.id, item.label = box.label, item.rect = box.rect;
            node.children.push_back(std::move(item));
        }
        if (!node.children.empty()) out.children.push_back(std::move(node));
    };
    group("voice", Role::List, "voice-participants", "In voice channels", m_regions.sidebar);
    group("people", Role::List, "people", "People", m_regions.right);
    group("history", Role::Dialog, "edit-history", "Edit history", m_history_card);
    return out;
}

std::optional<bool> ChatApp::perform_row_action(std::string const& id, std::string const& action) {
    bool in_thread = id.starts_with(thread_row_prefix);
    if (!in_thread && !id.starts_with(message_row_prefix)) return std::nullopt;
    std::string message = id.substr(id.find(':') + 1);
    auto const* m = find_message(message);
    if (!m) return false;
    auto const& rows = in_thread ? m_thread_rows : m_rows;
    auto row = std::ranges::find(rows, message, &RowBox::message);
    vemo_ui::Rect at = row != rows.end() ? row->rect : m_regions.main;
    if (action == "activate" || action == "reply") {
        std::string root = m->parent.value_or(m->id);
        if (m_nav.thread_root != root) open_thread(root);
        set_thread_focus(true);
        return true;
    }
    // A popover opened from a row gives the focus back to that row when it closes.
    HitTarget row_stop{HitKind::MessageMenu, m->id};
    if ((action == "react" || action == "menu") &&
        std::ranges::any_of(m_hits, [&](HitRegion const& r) { return r.target == row_stop; }))
        focus_target(row_stop);
    if (action == "react") {
        if (!can_write()) return false;
        m_emoji = EmojiPicker{m->id, at};
        return true;
    }
    if (action == "menu") {
        open_context_menu({MenuKind::Message, m->id, m_nav.channel_id}, {at.x + 12, at.center().y});
        return true;
    }
    if (action == "edit") {
        if (!can_write() || m->author != m_identity.id) return false;
        begin_edit(m_nav.channel_id, m->id);
        return true;
    }
    return false;
}

// New messages in the shown conversation and the open thread, once each. A switch of
// conversation takes what is there as read; so does a first sync bringing history (anything
// older than when the conversation was first looked at, give or take a clock's drift).
std::vector<std::string> ChatApp::take_announcements() {
    constexpr int64_t drift_seconds = 120;
    constexpr size_t spoken_one_by_one = 3;
    std::string key =
        m_in_inbox ? std::string("inbox") : m_nav.workspace_id + "/" + m_nav.channel_id;
    if (key != m_announced_key) {
        m_announced_key = key;
        m_announced.clear();
        for (auto const& m : m_view.messages) m_announced.insert(m.id);
        m_announced_since = now_seconds();
        return {};
    }
    std::vector<Message const*> fresh;
    for (auto const& m : m_view.messages) {
        if (!m_announced.insert(m.id).second) continue;
        if (m.author == m_identity.id || m.ts + drift_seconds < m_announced_since) continue;
        if (m.parent && m.parent != m_nav.thread_root) continue;  // counted on its root's row
        fresh.push_back(&m);
    }
    std::vector<std::string> out;
    if (fresh.size() > spoken_one_by_one) {
        out.push_back(std::to_string(fresh.size()) + " new messages");
        return out;
    }
    for (auto const* m : fresh)
        out.push_back((m->parent ? "Reply from " : "Message from ") +
                      model::person_name(m_view.directory, m->author) + ": " + m->text);
    return out;
}

}  // namespace chat
