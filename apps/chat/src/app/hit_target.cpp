#include "app/hit_target.hpp"

#include <array>

namespace chat {

namespace {

constexpr std::array<std::string_view, hit_kind_count> kind_names = {
    "Inbox",          "CurrentContext", "Channel",        "VoiceChannel",
    "CategoryToggle", "AddChannel",     "AddCategory",    "FocusRename",
    "Reaction",       "AddReaction",    "OpenThread",     "EditHistory",
    "MessageMenu",    "EditSave",       "EditCancel",     "FocusEdit",
    "EmojiChoice",    "FocusMain",      "FocusThread",    "Send",
    "JumpToLatest",   "ComposerEmoji",  "Attach",         "AttachPick",
    "StartCall",      "CloseThread",    "CallDragHandle", "CallParticipantsToggle",
    "CallMute",       "CallDeafen",     "CallAudioOnly",  "CallShareScreen",
    "CallExpand",     "CallLeave",      "ToggleLeftFlap", "ToggleRightFlap",
    "Dismiss",        "ShareOpen",      "ShareCopy",      "ShareJoin",
    "ShareClose",     "SettingsOpen",   "SettingsTheme",  "SettingsNotifications",
    "SettingsSounds", "SettingsClose",  "OpenLink",       "SearchOpen",
};

}  // namespace

std::string_view kind_name(HitKind kind) {
    return kind_names[size_t(kind)];
}

std::string debug_text(HitTarget const& target) {
    std::string text(kind_name(target.kind));
    if (target.kind == HitKind::MessageMenu) text += "(\"" + target.a + "\")";
    return text;
}

std::string semantic_id(HitTarget const& t) {
    using enum HitKind;
    switch (t.kind) {
        case Inbox:
            return "chat.inbox";
        case CurrentContext:
            return "chat.current-context";
        case Channel:
            return "chat.channel:" + t.a;
        case VoiceChannel:
            return "chat.voice-channel:" + t.a;
        case CategoryToggle:
            return "chat.category-toggle:" + t.a;
        case AddChannel:
            return "chat.add-channel:" + t.a + ":" + t.b;
        case AddCategory:
            return "chat.add-category:" + t.a;
        case FocusRename:
            return "chat.rename";
        case Reaction:
            return "chat.reaction:" + t.a + ":" + t.b;
        case AddReaction:
            return "chat.add-reaction:" + t.a;
        case OpenThread:
            return "chat.open-thread:" + t.a;
        case EditHistory:
            return "chat.edit-history:" + t.a;
        case EditSave:
            return "chat.edit-save";
        case EditCancel:
            return "chat.edit-cancel";
        case FocusEdit:
            return "chat.message-edit";
        case EmojiChoice:
            return "chat.emoji-choice:" + t.a;
        case FocusMain:
            return "chat.composer";
        case FocusThread:
            return "chat.thread-composer";
        case Send:
            return "chat.send";
        case JumpToLatest:
            return t.a == thread_row_tag ? "chat.thread-jump-to-latest" : "chat.jump-to-latest";
        case ComposerEmoji:
            return "chat.composer-emoji";
        case Attach:
            return "chat.attach";
        case AttachPick:
            return "chat.attach-pick:" + t.a;
        case StartCall:
            return "chat.start-call";
        case CloseThread:
            return "chat.close-thread";
        case CallParticipantsToggle:
            return "chat.call-participants";
        case CallMute:
            return "chat.call-mute";
        case CallDeafen:
            return "chat.call-deafen";
        case CallAudioOnly:
            return "chat.call-audio-only";
        case CallShareScreen:
            return "chat.call-share-screen";
        case CallExpand:
            return "chat.call-expand";
        case CallLeave:
            return "chat.call-leave";
        case ToggleLeftFlap:
            return "chat.toggle-navigation";
        case ToggleRightFlap:
            return "chat.toggle-details";
        case ShareOpen:
            return "chat.share";
        case ShareCopy:
            return "chat.share-copy";
        case ShareJoin:
            return "chat.share-join";
        case ShareClose:
            return "chat.share-close";
        case SettingsOpen:
            return "chat.settings";
        case SettingsTheme:
            return "chat.settings-theme:" + t.a;
        case SettingsNotifications:
            return "chat.settings-notifications";
        case SettingsSounds:
            return "chat.settings-sounds";
        case SettingsClose:
            return "chat.settings-close";
        case OpenLink:
            return "chat.link:" + t.a + ":" + t.b;
        case SearchOpen:
            return "search-open";
        case MessageMenu:
        case CallDragHandle:
        case Dismiss:
            return "chat.control:" + debug_text(t);
    }
    return "chat.control:" + debug_text(t);
}

bool has_access_node(HitKind kind) {
    return kind != HitKind::MessageMenu && kind != HitKind::CallDragHandle &&
           kind != HitKind::Dismiss;
}

bool shows_tooltip(HitKind kind) {
    using enum HitKind;
    switch (kind) {
        case Inbox:
        case CurrentContext:
        case AddReaction:
        case Send:
        case ComposerEmoji:
        case Attach:
        case ToggleLeftFlap:
        case ToggleRightFlap:
        case OpenLink:
            return true;
        default:
            return false;
    }
}

vemo_ui::a11y::Role access_role(HitKind kind) {
    using enum HitKind;
    using vemo_ui::a11y::Role;
    switch (kind) {
        case CategoryToggle:
        case CallParticipantsToggle:
        case CallMute:
        case CallDeafen:
        case CallAudioOnly:
        case CallShareScreen:
        case Reaction:
        case SettingsTheme:
        case SettingsNotifications:
        case SettingsSounds:
            return Role::ToggleButton;
        case Channel:
        case VoiceChannel:
            return Role::ListItem;
        case OpenLink:
            return Role::Link;
        case FocusRename:
        case FocusEdit:
        case FocusMain:
        case FocusThread:
            return Role::TextInput;
        default:
            return Role::Button;
    }
}

std::string_view channel_marker(bool voice) {
    return voice ? "🔊" : "#";
}

std::string channel_label(bool voice, std::string_view name, uint32_t unread,
                          std::string_view inbox_workspace) {
    std::string label(channel_marker(voice));
    label += " ";
    label += name;
    if (unread > 0) label += ", " + std::to_string(unread) + " unread";
    if (!inbox_workspace.empty()) label += ", from " + std::string(inbox_workspace);
    return label;
}

std::string access_label(HitTarget const& t, LabelFacts const& f) {
    using enum HitKind;
    switch (t.kind) {
        case Inbox:
            return f.inbox_unread > 0 ? "Inbox, " + std::to_string(f.inbox_unread) + " unread"
                                      : "Inbox";
        case CurrentContext:
            return (f.workspace_name.empty() ? std::string("Current workspace")
                                             : f.workspace_name) +
                   " channels, current workspace";
        case Channel:
        case VoiceChannel:
            return f.channel_label;
        case CategoryToggle:
            return std::string(f.category_collapsed ? "Expand" : "Collapse") + " " +
                   (f.category_name.empty() ? std::string("category") : f.category_name);
        case AddChannel:
            return "Add channel";
        case AddCategory:
            return "Add category";
        case FocusRename:
            return "Rename field";
        case Reaction:
            return std::string(f.reacted ? "Remove" : "Add") + " " + t.b + " reaction";
        case AddReaction:
            return "Add reaction";
        case OpenThread:
            return "Open message thread";
        case EditHistory:
            return "Show edit history";
        case EditSave:
            return "Save message edit";
        case EditCancel:
            return "Cancel message edit";
        case FocusEdit:
            return "Edit message";
        case EmojiChoice:
            return "Choose " + t.a;
        case FocusMain:
            return "Message composer";
        case FocusThread:
            return "Thread reply composer";
        case Send:
            return "Send message";
        case JumpToLatest:
            return t.a == thread_row_tag ? "Jump to latest reply" : "Jump to latest message";
        case ComposerEmoji:
            return "Insert emoji";
        case Attach:
            return "Attach a workspace file";
        case AttachPick:
            return "Attach " + f.file_name;
        case StartCall:
            return "Start or open call";
        case CloseThread:
            return "Close thread";
        case CallParticipantsToggle:
            return "Show call participants";
        case CallMute:
            return "Mute microphone";
        case CallDeafen:
            return "Deafen call audio";
        case CallAudioOnly:
            return "Turn camera off";
        case CallShareScreen:
            return "Share screen";
        case CallExpand:
            return "Expand or restore call";
        case CallLeave:
            return "Leave call";
        case ToggleLeftFlap:
            return "Show conversation navigation";
        case ToggleRightFlap:
            return "Show people or thread";
        case ShareOpen:
            return "Invite people or join a workspace";
        case ShareCopy:
            return "Copy invite";
        case ShareJoin:
            return "Join the workspace of the pasted invite";
        case ShareClose:
            return "Close sharing";
        case SettingsOpen:
            return "Settings";
        case SettingsTheme:
            return t.a == "light"  ? "Light theme"
                   : t.a == "dark" ? "Dark theme"
                                   : "Theme of the system";
        case SettingsNotifications:
            return "Desktop notifications";
        case SettingsSounds:
            return "Sound cues";
        case SettingsClose:
            return "Close settings";
        case OpenLink:
            return "Open " + t.b;
        case SearchOpen:
            return "Search";
        case MessageMenu:
        case CallDragHandle:
        case Dismiss:
            return "";
    }
    return "";
}

}  // namespace chat
