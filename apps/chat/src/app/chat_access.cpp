#include <algorithm>
#include <map>

#include "app/chat_app.hpp"
#include "app/draw_markup.hpp"
#include "media/call_session.hpp"

namespace chat {

using vemo_ui::a11y::AccessNode;
using vemo_ui::a11y::Role;

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
    std::vector<Message const*> messages;
    for (size_t i : m_top_level) messages.push_back(&m_view.messages[i]);
    add_row_nodes(list, messages, m_rows, false);
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
    // Closed, the search is its opener in the sidebar (a control like the others).
    if (m_search_window.is_open()) root.children.push_back(m_search_window.accessibility());

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
        node.states = control_states(t, facts);
        switch (t.kind) {
            case HitKind::SearchOpen:
                node.description = "Ctrl+K";
                break;
            case HitKind::VoiceChannel:
                // Who is in the call, under the channel they are in.
                node.children = box_nodes(voice_group_prefix + t.a, Role::Label);
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

// Every loaded message of a list is a row, so a screen reader reaches the whole conversation
// or thread; the rows scrolled out of view have no place on screen until they are focused.
// The rows are the list's children; labels of messages unchanged since the last build are kept.
void ChatApp::add_row_nodes(AccessNode& list, std::vector<Message const*> const& messages,
                            std::vector<RowBox> const& drawn, bool thread) const {
    std::map<std::string_view, vemo_ui::Rect> shown;
    for (auto const& box : drawn) shown.emplace(box.message, box.rect);
    // The focused row: the keyboard's stop on a row's menu, or the list's row focus.
    std::string_view focus_tag = thread ? thread_row_tag : "";
    std::optional<std::string_view> focused;
    if (m_focused && m_focused->kind == HitKind::MessageMenu && m_focused->b == focus_tag)
        focused = m_focused->a;
    auto& rows = thread ? m_access_thread_rows : m_access_rows;
    rows.begin({m_view.directory, m_identity.id, can_write()});
    for (auto const* m : messages) {
        auto replies = m_reply_counts.find(m->id);
        auto at = shown.find(m->id);
        vemo_ui::a11y::States states;
        states.focused = focused == m->id || (!thread && m_focused_row == m->id);
        states.offscreen = at == shown.end();
        rows.add(*m, replies != m_reply_counts.end() ? replies->second : 0,
                 at != shown.end() ? at->second : vemo_ui::Rect{}, states);
    }
    list.children = rows.end();
}

// Pressed, selected and expanded as a control's kind has them. Disclosure controls (what
// opens a list, a panel or a popover in place) are expandable.
vemo_ui::a11y::States ChatApp::control_states(HitTarget const& t, LabelFacts const& facts) const {
    vemo_ui::a11y::States s;
    s.focused = m_focused && *m_focused == t;
    auto disclose = [&](bool open) {
        s.expandable = true;
        s.expanded = open;
    };
    switch (t.kind) {
        case HitKind::CategoryToggle:
            s.pressed = !facts.category_collapsed;
            disclose(!facts.category_collapsed);
            break;
        case HitKind::Reaction:
            s.pressed = facts.reacted;
            break;
        case HitKind::Inbox:
            s.pressed = m_in_inbox;
            break;
        case HitKind::SettingsTheme:
        case HitKind::SettingsNotifications:
        case HitKind::SettingsSounds:
            s.pressed = settings_control_pressed(t);
            break;
        case HitKind::SettingsOpen:
            disclose(m_settings_open);
            break;
        case HitKind::CurrentContext:
            s.pressed = !m_in_inbox;
            break;
        case HitKind::Channel:
        case HitKind::VoiceChannel:
            s.selected = t.a == m_nav.channel_id;
            break;
        case HitKind::OpenThread:
            disclose(m_nav.thread_root == t.a);
            break;
        case HitKind::EditHistory:
            disclose(m_history && m_history->message == t.a);
            break;
        case HitKind::AddReaction:
            disclose(m_emoji && m_emoji->message == t.a);
            break;
        case HitKind::ComposerEmoji:
            disclose(m_emoji && !m_emoji->message);
            break;
        case HitKind::ToggleLeftFlap:
            disclose(m_left_flap.target());
            break;
        case HitKind::ToggleRightFlap:
            disclose(m_right_flap.target());
            break;
        case HitKind::CallParticipantsToggle:
            s.pressed = m_call_view.participants_open;
            disclose(m_call_view.participants_open);
            break;
        case HitKind::CallMute:
            s.pressed = m_call->muted();
            break;
        case HitKind::CallDeafen:
            s.pressed = m_call->deafened();
            break;
        case HitKind::CallAudioOnly:
            s.pressed = m_call->audio_only();
            break;
        case HitKind::CallShareScreen:
            s.pressed = m_call->sharing();
            break;
        case HitKind::CallExpand:
            s.expanded = call_expanded();
            break;
        default:
            break;
    }
    return s;
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
    if (m_nav.thread_root && m_regions.right_shown) {
        AccessNode thread;
        thread.role = Role::List;
        thread.id = "thread";
        thread.label = "Thread";
        thread.rect = m_regions.right;
        thread.live = "polite";
        add_row_nodes(thread, thread_messages(), m_thread_rows, true);
        if (!thread.children.empty()) out.children.push_back(std::move(thread));
    }
    auto group = [&](char const* name, Role role, std::string id, std::string label,
                     vemo_ui::Rect rect) {
        AccessNode node;
        node.role = role, node.id = std::move(id), node.label = std::move(label), node.rect = rect;
        node.children = box_nodes(name, role == Role::List ? Role::ListItem : Role::Label);
        for (auto const& child : node.children)
            if (node.rect.is_empty()) node.rect = child.rect;
        if (!node.children.empty()) out.children.push_back(std::move(node));
    };
    group("people", Role::List, "people", "People", m_regions.right);
    group("history", Role::Dialog, "edit-history", "Edit history", m_history_card);
    group("share", Role::Dialog, "share-dialog", "Invite people", {});
    return out;
}

std::vector<AccessNode> ChatApp::box_nodes(std::string_view group, Role role) const {
    std::vector<AccessNode> out;
    for (auto const& box : m_access_boxes) {
        if (box.group != group) continue;
        AccessNode item;
        item.role = role;
        item.id = box.id, item.label = box.label, item.rect = box.rect;
        item.description = box.description;
        out.push_back(std::move(item));
    }
    return out;
}

std::optional<bool> ChatApp::perform_row_action(std::string const& id, std::string const& action) {
    bool in_thread = id.starts_with(thread_row_prefix);
    if (!in_thread && !id.starts_with(message_row_prefix)) return std::nullopt;
    std::string message = id.substr(id.find(':') + 1);
    auto const* m = find_message(message);
    if (!m) return false;
    // A row of the open thread, or a top-level row of the conversation.
    bool listed = in_thread ? m_nav.thread_root &&
                                  (m->id == *m_nav.thread_root || m->parent == m_nav.thread_root)
                            : !m->parent.has_value();
    auto const& rows = in_thread ? m_thread_rows : m_rows;
    auto row = std::ranges::find(rows, message, &RowBox::message);
    if (action == "focus") {
        // Focus scrolls the row into view.
        if (!listed) return false;
        focus_message_row(m->id, in_thread);
        return true;
    }
    vemo_ui::Rect at = row != rows.end() ? row->rect : in_thread ? m_thread_list : m_regions.main;
    if (action == "activate" || action == "reply") {
        std::string root = m->parent.value_or(m->id);
        if (m_nav.thread_root != root) open_thread(root);
        set_thread_focus(true);
        return true;
    }
    // A popover opened from a row gives the focus back to that row when it closes; a row
    // scrolled out of view comes into view first.
    if ((action == "react" || action == "menu") && listed) focus_message_row(m->id, in_thread);
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
                      model::person_name(m_view.directory, m->author) + ": " +
                      message_displayed_text(*m));
    return out;
}

}  // namespace chat
