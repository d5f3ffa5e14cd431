#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "doc/agent_work.hpp"
#include "doc/records.hpp"

namespace chat {

// Every change a user, the call machinery or an agent makes to the shared document.
namespace action {

struct SendMessage {
    std::string channel, id, author;
    int64_t ts = 0;
    std::string text;
    std::optional<std::string> parent;
    std::optional<Attachment> attachment;
    std::vector<Mention> mentions;
    std::optional<ResourceRef> reference;
    friend bool operator==(SendMessage const&, SendMessage const&) = default;
};
struct EditMessage {
    std::string channel, id, text;
    int64_t ts = 0;
    friend bool operator==(EditMessage const&, EditMessage const&) = default;
};
struct DeleteMessage {
    std::string channel, id;
    friend bool operator==(DeleteMessage const&, DeleteMessage const&) = default;
};
struct AddReaction {
    std::string channel, msg, emoji, user;
    friend bool operator==(AddReaction const&, AddReaction const&) = default;
};
struct RemoveReaction {
    std::string channel, msg, emoji, user;
    friend bool operator==(RemoveReaction const&, RemoveReaction const&) = default;
};
struct PinMessage {
    std::string channel, msg;
    bool pinned = false;
    friend bool operator==(PinMessage const&, PinMessage const&) = default;
};
struct CreateChannel {
    std::string workspace, category, id, name;
    ChannelKind kind = ChannelKind::Text;
    friend bool operator==(CreateChannel const&, CreateChannel const&) = default;
};
struct CreateCategory {
    std::string workspace, id, name;
    friend bool operator==(CreateCategory const&, CreateCategory const&) = default;
};
struct RenameCategory {
    std::string id, name;
    friend bool operator==(RenameCategory const&, RenameCategory const&) = default;
};
struct DeleteCategory {
    std::string id;
    friend bool operator==(DeleteCategory const&, DeleteCategory const&) = default;
};
struct SetCategoryCollapsed {
    std::string id;
    bool collapsed = false;
    friend bool operator==(SetCategoryCollapsed const&, SetCategoryCollapsed const&) = default;
};
struct ReorderChannel {
    std::string id;
    bool up = false;
    friend bool operator==(ReorderChannel const&, ReorderChannel const&) = default;
};
struct RenameChannel {
    std::string id, name;
    friend bool operator==(RenameChannel const&, RenameChannel const&) = default;
};
struct DeleteChannel {
    std::string id;
    friend bool operator==(DeleteChannel const&, DeleteChannel const&) = default;
};
struct ArchiveChannel {
    std::string id;
    bool archived = false;
    friend bool operator==(ArchiveChannel const&, ArchiveChannel const&) = default;
};
struct MarkRead {
    std::string channel, user;
    int64_t count = 0;
    friend bool operator==(MarkRead const&, MarkRead const&) = default;
};
struct SetAgentWork {
    std::string channel, msg;
    AgentWork work;
    std::optional<std::string> say;
    friend bool operator==(SetAgentWork const&, SetAgentWork const&) = default;
};
struct JoinCall {
    std::string channel, user;
    friend bool operator==(JoinCall const&, JoinCall const&) = default;
};
struct LeaveCall {
    std::string channel, user;
    friend bool operator==(LeaveCall const&, LeaveCall const&) = default;
};
struct SetCallState {
    std::string channel, user;
    bool talking = false, muted = false, deafened = false, audio_only = false;
    friend bool operator==(SetCallState const&, SetCallState const&) = default;
};
struct SetScreenShare {
    std::string channel, user;
    bool sharing = false;
    friend bool operator==(SetScreenShare const&, SetScreenShare const&) = default;
};
struct SetCallTicket {
    std::string channel, user, ticket;
    friend bool operator==(SetCallTicket const&, SetCallTicket const&) = default;
};

}  // namespace action

// The variant index is the declaration order; it fixes decoding order and destructiveness.
using ChatAction =
    std::variant<action::SendMessage, action::EditMessage, action::DeleteMessage,
                 action::AddReaction, action::RemoveReaction, action::PinMessage,
                 action::CreateChannel, action::CreateCategory, action::RenameCategory,
                 action::DeleteCategory, action::SetCategoryCollapsed, action::ReorderChannel,
                 action::RenameChannel, action::DeleteChannel, action::ArchiveChannel,
                 action::MarkRead, action::SetAgentWork, action::JoinCall, action::LeaveCall,
                 action::SetCallState, action::SetScreenShare, action::SetCallTicket>;

// Changes to what the user sees, and effects outside the document.
namespace operation {

struct OpenWorkspace {
    std::string workspace;
    friend bool operator==(OpenWorkspace const&, OpenWorkspace const&) = default;
};
struct OpenChannel {
    std::string workspace, channel;
    friend bool operator==(OpenChannel const&, OpenChannel const&) = default;
};
struct OpenCategory {
    std::string workspace, category;
    friend bool operator==(OpenCategory const&, OpenCategory const&) = default;
};
struct RevealMessage {
    std::string workspace, channel, message;
    std::optional<std::string> parent;
    friend bool operator==(RevealMessage const&, RevealMessage const&) = default;
};
struct OpenPerson {
    std::string user;
    friend bool operator==(OpenPerson const&, OpenPerson const&) = default;
};
struct ImportAttachment {
    std::string channel, path;
    friend bool operator==(ImportAttachment const&, ImportAttachment const&) = default;
};

}  // namespace operation

using ChatOperation = std::variant<operation::OpenWorkspace, operation::OpenChannel,
                                   operation::OpenCategory, operation::RevealMessage,
                                   operation::OpenPerson, operation::ImportAttachment>;

inline constexpr char const* chat_action_kind = "chat.action";
inline constexpr char const* chat_operation_kind = "chat.operation";

std::string_view variant_name(ChatAction const& action);
std::string_view variant_name(ChatOperation const& op);
// Deleting a message, a category or a channel.
bool is_destructive(ChatAction const& action);

// Compact JSON, members in declaration order, `null` for absent optionals. Cannot fail.
std::string encode(ChatAction const& action);
std::string encode(ChatOperation const& op);

// Strict decoding: exact variant and member names, unknown members ignored, duplicate and
// missing members named in the error.
std::expected<ChatAction, std::string> decode_chat_action(std::string_view json);
std::expected<ChatOperation, std::string> decode_chat_operation(std::string_view json);

// Variant name and fields, for logs and the action framework's records.
std::string debug_text(ChatAction const& action);

}  // namespace chat
