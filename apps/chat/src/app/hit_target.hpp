#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vemo_ui/a11y.hpp"
#include "vemo_ui/geometry.hpp"

namespace chat {

// Every control of the window. The order is fixed: identifiers, tests and the debug text
// refer to the index.
enum class HitKind : uint8_t {
    Inbox,
    CurrentContext,
    Channel,
    VoiceChannel,
    CategoryToggle,
    AddChannel,
    AddCategory,
    FocusRename,
    Reaction,
    AddReaction,
    OpenThread,
    EditHistory,
    MessageMenu,
    EditSave,
    EditCancel,
    FocusEdit,
    EmojiChoice,
    FocusMain,
    FocusThread,
    Send,
    JumpToLatest,
    ComposerEmoji,
    Attach,
    AttachPick,
    StartCall,
    CloseThread,
    CallDragHandle,
    CallParticipantsToggle,
    CallMute,
    CallDeafen,
    CallAudioOnly,
    CallShareScreen,
    CallExpand,
    CallLeave,
    ToggleLeftFlap,
    ToggleRightFlap,
    Dismiss,
    ShareOpen,
    ShareCopy,
    ShareJoin,
    ShareClose,
    SettingsOpen,
    SettingsTheme,
    SettingsNotifications,
    SettingsSounds,
    SettingsClose,
    OpenLink,
    SearchOpen,
};

inline constexpr size_t hit_kind_count = 48;

// The second field of a MessageMenu row drawn in the thread panel (the thread's root is drawn
// in both lists, and each copy is a keyboard stop of its own).
inline constexpr char const* thread_row_tag = "thread";

// A control with what it acts on: `a` is the channel, category, workspace, message or emoji
// the control names, `b` the second field of the two-field controls (AddChannel's category,
// Reaction's emoji, OpenLink's address). `anchor` is where a popover opened by the control points.
struct HitTarget {
    HitKind kind = HitKind::Dismiss;
    std::string a{};
    std::string b{};
    vemo_ui::Rect anchor{};

    friend bool operator==(HitTarget const& l, HitTarget const& r) {
        return l.kind == r.kind && l.a == r.a && l.b == r.b;
    }
};

struct HitRegion {
    vemo_ui::Rect rect;
    HitTarget target;
};

std::string_view kind_name(HitKind kind);
// The value's debug form: its name, and for MessageMenu its field.
std::string debug_text(HitTarget const& target);
std::string semantic_id(HitTarget const& target);
// Controls without a proper identifier get no accessibility node.
bool has_access_node(HitKind kind);
bool shows_tooltip(HitKind kind);
vemo_ui::a11y::Role access_role(HitKind kind);

// What a label needs to know about the current view.
struct LabelFacts {
    std::string workspace_name;  // CurrentContext
    uint32_t inbox_unread = 0;   // Inbox
    std::string channel_label;   // Channel, VoiceChannel: the whole channel label
    std::string category_name;   // CategoryToggle; empty when the category is gone
    bool category_collapsed = false;
    bool reacted = false;   // Reaction
    std::string file_name;  // AttachPick
};

std::string access_label(HitTarget const& target, LabelFacts const& facts);

// What stands before a channel's name: "#" for a text channel, "🔊" for a voice channel.
std::string_view channel_marker(bool voice);

// "# name" or "🔊 name", with ", N unread" and, in the inbox, ", from <workspace>".
std::string channel_label(bool voice, std::string_view name, uint32_t unread,
                          std::string_view inbox_workspace = {});

}  // namespace chat
