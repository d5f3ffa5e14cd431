#include <glib.h>

#include <algorithm>

#include "app/chat_app.hpp"
#include "app/draw_markup.hpp"
#include "doc/ids.hpp"
#include "doc/schema.hpp"
#include "model/readers.hpp"

namespace chat {

namespace {

size_t scalar_length(std::string const& text) {
    return g_utf8_strlen(text.data(), ssize_t(text.size()));
}

}  // namespace

void ChatApp::activate(HitTarget const& t) {
    using enum HitKind;
    m_menu.close();
    m_menu_target.reset();
    m_hover.reset();
    bool write = can_write();
    switch (t.kind) {
        case Inbox:
            m_in_inbox = true;
            close_thread();
            break;
        case CurrentContext:
            m_in_inbox = false;
            if (m_nav.workspace_id != m_nav.remembered_workspace_id) {
                m_nav.workspace_id = m_nav.remembered_workspace_id;
                m_nav.channel_id.clear();
                close_thread();
                jump_to_latest();
            }
            break;
        case Channel:
            select_channel(t.a);
            break;
        case VoiceChannel:
            join_call(t.a);
            break;
        case CategoryToggle:
            if (auto const* c = find_category(t.a); write && c)
                dispatch(action::SetCategoryCollapsed{c->id, !c->collapsed});
            break;
        case AddChannel:
            if (write) {
                auto id = new_id("c_");
                if (dispatch(
                        action::CreateChannel{t.a, t.b, id, "new-channel", ChannelKind::Text})) {
                    refresh();
                    begin_rename(false, id, true);
                }
            }
            break;
        case AddCategory:
            if (write) {
                auto id = new_id("cat_");
                if (dispatch(action::CreateCategory{t.a, id, "New Category"})) {
                    refresh();
                    begin_rename(true, id);
                }
            }
            break;
        case FocusRename:
        case FocusEdit:
            apply_focus_rule();
            break;
        case Reaction:
            if (write) toggle_reaction(t.a, t.b);
            break;
        case AddReaction:
            m_emoji = EmojiPicker{t.a, t.anchor};
            break;
        case OpenThread:
            if (m_nav.thread_root == t.a) {
                close_thread();
            } else {
                open_thread(t.a);
            }
            break;
        case EditHistory:
            m_history = HistoryPopover{t.a, t.anchor};
            break;
        case MessageMenu:
            break;
        case EditSave:
            save_edit();
            break;
        case EditCancel:
            cancel_edit();
            break;
        case EmojiChoice: {
            auto picker = std::exchange(m_emoji, std::nullopt);
            if (picker && picker->message) {
                if (write) toggle_reaction(*picker->message, t.a);
            } else {
                insert_text(t.a);
            }
            break;
        }
        case FocusMain:
            m_thread_focus = false;
            break;
        case FocusThread:
            m_thread_focus = m_nav.thread_root.has_value();
            break;
        case Send:
            send_focused();
            break;
        case JumpToLatest:
            if (t.a == thread_row_tag)
                m_thread_scroll.jump_to_latest();
            else
                jump_to_latest();
            break;
        case ComposerEmoji:
            if (write) m_emoji = EmojiPicker{std::nullopt, t.anchor};
            break;
        case Attach:
            if (write) {
                m_emoji.reset();
                m_history.reset();
                open_attachment_picker(t.a == "thread", t.anchor);
            }
            break;
        case AttachPick:
            pick_attachment(t.a);
            break;
        case StartCall:
            if (write && !activate_call_control(t)) {
                auto voice = std::ranges::find_if(m_view.channels, [&](auto const& c) {
                    return c.workspace == m_nav.workspace_id && c.kind == ChannelKind::Voice &&
                           !c.archived;
                });
                std::string channel;
                if (voice != m_view.channels.end()) {
                    channel = voice->id;
                } else {
                    channel = new_id("c_");
                    std::string category;
                    for (auto const& c : m_view.categories)
                        if (c.workspace == m_nav.workspace_id)
                            category = category.empty() ? c.id : category;
                    dispatch(action::CreateChannel{m_nav.workspace_id, category, channel, "Voice",
                                                   ChannelKind::Voice});
                }
                join_call(channel);
            }
            break;
        case CloseThread:
            close_thread();
            m_focused.reset();
            break;
        case CallDragHandle:
        case CallParticipantsToggle:
        case CallMute:
        case CallDeafen:
        case CallAudioOnly:
        case CallShareScreen:
        case CallExpand:
        case CallLeave:
            activate_call_control(t);
            break;
        case ToggleLeftFlap:
            m_left_flap.toggle();
            break;
        case ToggleRightFlap:
            m_right_flap.toggle();
            break;
        case ShareOpen:
        case ShareCopy:
        case ShareJoin:
        case ShareClose:
            activate_share(t);
            break;
        case SettingsOpen:
        case SettingsTheme:
        case SettingsNotifications:
        case SettingsSounds:
        case SettingsClose:
            activate_settings(t);
            break;
        case OpenLink:
            (void)open_link(t.b);
            break;
        case SearchOpen:
            open_search(false);
            break;
        case Dismiss:
            if (m_settings_open) {
                m_settings_open = false;
            } else if (m_share_dialog) {
                m_share_dialog.reset();
            } else if (dismiss_attachment_picker()) {
            } else if (m_emoji)
                m_emoji.reset();
            else if (m_history)
                m_history.reset();
            else if (m_modes.narrow && m_left_flap.target())
                m_left_flap.set_override(false);
            else if (m_modes.thread_narrow && m_right_flap.target())
                m_right_flap.set_override(false);
            break;
    }
    apply_focus_rule();
    refresh();
}

void ChatApp::select_channel(std::string const& channel) {
    auto const* c = find_channel(channel);
    if (!c) return;
    if (c->kind == ChannelKind::Voice) {
        join_call(c->id);
        return;
    }
    m_nav.workspace_id = c->workspace;
    m_nav.channel_id = c->id;
    close_thread();
    m_focused.reset();
    jump_to_latest();
    if (m_modes.narrow) m_left_flap.set_override(false);
    apply_focus_rule();
    refresh();
    mark_shown_read();
}

void ChatApp::toggle_reaction(std::string const& message, std::string const& emoji) {
    auto const* m = find_message(message);
    if (!m) return;
    bool reacted = std::ranges::any_of(m->reactions, [&](ReactionGroup const& g) {
        return g.emoji == emoji && std::ranges::find(g.users, m_identity.id) != g.users.end();
    });
    if (reacted)
        dispatch(action::RemoveReaction{m->channel, m->id, emoji, m_identity.id});
    else
        dispatch(action::AddReaction{m->channel, m->id, emoji, m_identity.id});
    refresh();
}

// --- Focus -------------------------------------------------------------------------------

void ChatApp::apply_focus_rule() {
    bool invite = m_share_dialog.has_value();
    m_invite_input.set_focused(invite);
    bool rename = !invite && m_renaming.has_value();
    bool edit = !rename && m_editing.has_value();
    bool thread = !rename && !edit && m_thread_focus && m_nav.thread_root.has_value();
    bool other_control = m_focused && m_focused->kind != HitKind::FocusMain &&
                         m_focused->kind != HitKind::FocusThread;
    m_rename_input.set_focused(rename);
    m_edit_input.set_focused(edit);
    m_thread_composer.set_focused(thread && !other_control);
    m_composer.set_focused(!invite && !rename && !edit && !thread && !other_control);
}

void ChatApp::focus_target(HitTarget const& target) {
    m_focused = target;
    if (target.kind == HitKind::FocusMain) m_thread_focus = false;
    if (target.kind == HitKind::FocusThread && m_nav.thread_root) m_thread_focus = true;
    apply_focus_rule();
}

// --- Composer ----------------------------------------------------------------------------

void ChatApp::store_draft(bool thread) {
    if (!m_doc) return;
    auto key = thread ? thread_draft_key() : m_nav.channel_id;
    if (key.empty()) return;
    doc::set_draft(*m_doc, key, thread ? m_thread_composer.text() : m_composer.text());
    refresh();
}

void ChatApp::insert_text(std::string_view text) {
    if (!can_write()) return;
    if (m_editing) {
        m_edit_input.insert_at_cursor(text);
        return;
    }
    bool thread = m_thread_focus && m_nav.thread_root;
    auto& input = thread ? m_thread_composer : m_composer;
    input.insert_at_cursor(text);
    if (input.take_dirty()) store_draft(thread);
}

void ChatApp::send_focused() {
    if (!can_write() || !m_doc) return;
    bool thread = m_thread_focus && m_nav.thread_root;
    auto key = thread ? thread_draft_key() : m_nav.channel_id;
    if (key.empty() || m_nav.channel_id.empty()) return;
    auto text = trimmed(model::read_draft(*m_doc, key));
    if (text.empty()) return;
    action::SendMessage send;
    send.channel = m_nav.channel_id;
    send.id = new_id("m_");
    send.author = m_identity.id;
    send.ts = now_seconds();
    send.text = text;
    if (thread) send.parent = m_nav.thread_root;
    send.mentions = detect_mentions(text, mention_candidates());
    if (!dispatch(send)) return;
    doc::set_draft(*m_doc, key, "");
    if (thread)
        m_thread_scroll.jump_to_latest();
    else
        jump_to_latest();
    refresh();
}

void ChatApp::begin_edit(std::string const& channel, std::string const& message) {
    if (!can_write()) return;
    auto const* m = find_message(message);
    if (!m || m->author != m_identity.id) return;
    m_editing = EditState{channel, message};
    set_edit_text(m->text);
    m_thread_focus = false;
    m_menu.close();
    m_menu_target.reset();
    m_emoji.reset();
    m_history.reset();
    m_focused.reset();
    apply_focus_rule();
}

void ChatApp::save_edit() {
    if (!can_write() || !m_editing) return;
    auto editing = *std::exchange(m_editing, std::nullopt);
    auto text = trimmed(m_edit_input.text());
    m_edit_input.set_text("");
    apply_focus_rule();
    if (text.empty()) return;
    dispatch(action::EditMessage{editing.channel, editing.message, text, now_seconds()});
    refresh();
}

void ChatApp::cancel_edit() {
    m_editing.reset();
    m_edit_input.set_text("");
    apply_focus_rule();
}

void ChatApp::begin_rename(bool category, std::string const& id, bool created) {
    m_renaming = RenameState{category, id, created};
    std::string name;
    if (category) {
        if (auto const* c = find_category(id)) name = c->name;
    } else if (auto const* c = find_channel(id)) {
        name = c->name;
    }
    m_rename_input.set_text(name);
    // The whole name is selected so typing replaces it.
    m_rename_input.set_selection(0, scalar_length(name));
    m_focused.reset();
    apply_focus_rule();
}

void ChatApp::submit_rename() {
    if (!m_renaming) return;
    auto renaming = *std::exchange(m_renaming, std::nullopt);
    auto name = trimmed(m_rename_input.text());
    if (!name.empty() && can_write()) {
        if (renaming.category)
            dispatch(action::RenameCategory{renaming.id, name});
        else
            dispatch(action::RenameChannel{renaming.id, name});
    }
    m_rename_input.set_text("");
    apply_focus_rule();
    refresh();
    if (renaming.created && !renaming.category) select_channel(renaming.id);
}

void ChatApp::cancel_rename() {
    m_renaming.reset();
    m_rename_input.set_text("");
    apply_focus_rule();
}

// --- Context menus -----------------------------------------------------------------------

void ChatApp::open_context_menu(MenuTarget target, vemo_ui::Point at) {
    using enum MenuCode;
    m_menu.clear();
    auto item = [&](char const* label, MenuCode code, bool destructive = false) {
        m_menu.push(label, int(code), destructive);
    };
    switch (target.kind) {
        case MenuKind::Channel:
            item("Delete", Delete, true);
            item("Archive / unarchive", ArchiveToggle);
            item("Rename", Rename);
            item("Move up", MoveUp);
            item("Move down", MoveDown);
            add_mute_menu_item(target);
            break;
        case MenuKind::Category:
            item("New text channel", NewTextChannel);
            item("New voice channel", NewVoiceChannel);
            item("Rename", Rename);
            item("Collapse / expand", CollapseExpand);
            item("Delete", Delete, true);
            break;
        case MenuKind::Workspace:
            item("New category", NewCategory);
            if (m_sharing) {
                item("Invite people…", InvitePeople);
                item("Join a workspace…", JoinWorkspace);
            }
            break;
        case MenuKind::Message:
            item("Edit message", EditMessage);
            item("Pin / unpin", PinToggle);
            item("Delete message", DeleteMessage, true);
            add_attachment_menu_items(target);
            break;
    }
    m_menu_target = std::move(target);
    auto bounds = content_bounds();
    if (bounds.is_empty())
        m_menu.open_at(at);
    else
        m_menu.open_at_clamped(at, bounds);
}

void ChatApp::run_menu_item(int code) {
    auto target = std::exchange(m_menu_target, std::nullopt);
    m_menu.close();
    if (target && run_attachment_menu_item(code, *target)) return refresh();
    if (target && run_mute_menu_item(code, *target)) return refresh();
    if (MenuCode(code) == MenuCode::InvitePeople || MenuCode(code) == MenuCode::JoinWorkspace) {
        open_share_dialog();
        apply_focus_rule();
        return refresh();
    }
    if (!target || !can_write()) return refresh();
    bool is_category = target->kind == MenuKind::Category;
    auto const* channel = find_channel(target->id);
    auto const* category = find_category(target->id);
    switch (MenuCode(code)) {
        case MenuCode::Rename:
            if (is_category ? category != nullptr : channel != nullptr)
                begin_rename(is_category, target->id);
            break;
        case MenuCode::Delete:
            if (is_category && category) {
                dispatch(action::DeleteCategory{target->id});
            } else if (!is_category && channel) {
                if (dispatch(action::DeleteChannel{target->id}) && m_nav.channel_id == target->id)
                    m_nav.channel_id.clear();
            }
            break;
        case MenuCode::MoveUp:
        case MenuCode::MoveDown:
            if (channel)
                dispatch(action::ReorderChannel{target->id, MenuCode(code) == MenuCode::MoveUp});
            break;
        case MenuCode::NewTextChannel:
        case MenuCode::NewVoiceChannel:
            if (category) {
                bool voice = MenuCode(code) == MenuCode::NewVoiceChannel;
                auto id = new_id("c_");
                if (dispatch(action::CreateChannel{
                        category->workspace, category->id, id, voice ? "New Voice" : "new-channel",
                        voice ? ChannelKind::Voice : ChannelKind::Text})) {
                    refresh();
                    begin_rename(false, id, !voice);
                }
            }
            break;
        case MenuCode::NewCategory: {
            auto id = new_id("cat_");
            if (dispatch(action::CreateCategory{target->id, id, "New Category"})) {
                refresh();
                begin_rename(true, id);
            }
            break;
        }
        case MenuCode::CollapseExpand:
            if (category)
                dispatch(action::SetCategoryCollapsed{category->id, !category->collapsed});
            break;
        case MenuCode::ArchiveToggle:
            if (channel) {
                bool archive = !channel->archived;
                if (dispatch(action::ArchiveChannel{channel->id, archive}) && archive &&
                    m_nav.channel_id == target->id)
                    m_nav.channel_id.clear();
            }
            break;
        case MenuCode::EditMessage:
            begin_edit(target->channel, target->id);
            break;
        case MenuCode::PinToggle:
            if (auto const* m = find_message(target->id))
                dispatch(action::PinMessage{m->channel, m->id, !m->pinned});
            break;
        case MenuCode::DeleteMessage:
            if (find_message(target->id))
                dispatch(action::DeleteMessage{target->channel, target->id});
            break;
        default:
            break;
    }
    refresh();
}

}  // namespace chat
