#include "actions/resources.hpp"

#include <algorithm>
#include <cstdlib>

#include "actions/mentions.hpp"
#include "doc/ids.hpp"
#include "vemo_actions/action_address.hpp"

namespace chat {

namespace {

using vemo_actions::EncodedAction;
using vemo_actions::OperationType;
using vemo_actions::resource::ActionSpec;
using vemo_actions::resource::Resource;

constexpr size_t max_workspaces = 8;
constexpr size_t node_budget = 72;
constexpr size_t max_people = 23;
constexpr size_t snippet_chars = 72;

std::string trim(std::string_view s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// The first `n` Unicode scalar values of a UTF-8 text.
std::string first_chars(std::string const& s, size_t n)
{
    size_t i = 0;
    for (size_t count = 0; i < s.size() && count < n; ++count) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xc0) == 0x80) ++i;
    }
    return s.substr(0, i);
}

ActionSpec action_spec(std::string id, std::string label, ChatAction const& action)
{
    auto spec = ActionSpec::action(std::move(id), std::move(label), EncodedAction{chat_action_kind, encode(action), std::nullopt});
    return is_destructive(action) ? std::move(spec).destructive() : spec;
}

ActionSpec operation_spec(std::string id, std::string label, OperationType type, ChatOperation const& op)
{
    return ActionSpec::operation(std::move(id), std::move(label), type,
                                 EncodedAction{chat_operation_kind, encode(op), type});
}

// A spec whose action is built from the user's text (the argument "value").
template <class Build>
ActionSpec text_spec(std::string id, std::string label, std::string parameter, std::string placeholder, Build build)
{
    return ActionSpec::text_parameter(
        std::move(id), std::move(label), std::move(parameter), std::move(placeholder),
        [build](vemo_actions::ActionArgs const& args) -> std::expected<EncodedAction, vemo_actions::ActionError> {
            return EncodedAction{chat_action_kind, encode(ChatAction(build(args.text("value").value_or("")))), std::nullopt};
        });
}

template <class List, class T = typename List::value_type>
T const* find_by_id(List const& list, std::string_view id)
{
    auto it = std::find_if(list.begin(), list.end(), [&](auto const& e) { return e.id == id; });
    return it == list.end() ? nullptr : &*it;
}

class Builder {
public:
    explicit Builder(ResourceInputs const& in) : m_in(in) {}

    Resource workspace(Workspace const& ws) const
    {
        std::string label = trim(ws.name).empty() ? "Workspace" : ws.name;
        std::string id = ws.id;
        return Resource("chat.workspace:" + ws.id, "chat.workspace", label)
            .with_action(operation_spec("open", "Open workspace", OperationType::View, operation::OpenWorkspace{ws.id}))
            .with_action(text_spec("new-channel", "New channel", "Name", "channel name…", [id](std::string const& text) {
                std::string name = trim(text);
                return action::CreateChannel{id, "", new_id("c_"), name.empty() ? "new-channel" : name, ChannelKind::Text};
            }))
            .with_action(text_spec("new-category", "New category", "Name", "category name…", [id](std::string const& text) {
                std::string name = trim(text);
                return action::CreateCategory{id, new_id("cat_"), name.empty() ? "New Category" : name};
            }));
    }

    static std::string channel_label(Channel const& c)
    {
        std::string name = trim(c.name);
        if (name.empty()) name = "channel";
        return (c.kind == ChannelKind::Voice ? "🔊 " : "# ") + name;
    }

    Resource channel(Channel const& c) const
    {
        std::string id = c.id;
        std::string author = m_in.local_user;
        int64_t now = std::max<int64_t>(0, m_in.now);
        auto candidates = mention_candidates();
        Resource r = Resource("chat.channel:" + c.id, "chat.channel", channel_label(c))
            .with_action(operation_spec("open", "Open conversation", OperationType::View, operation::OpenChannel{c.workspace, c.id}))
            .with_action(text_spec("post", "Post message", "Message", "type a message…", [=](std::string const& text) {
                std::string body = trim(text);
                return action::SendMessage{id, new_id("m_"), author, now, body, {}, {}, detect_mentions(body, candidates), {}};
            }))
            .with_action(ActionSpec::text_parameter(
                "attach", "Attach file", "File path", "/var/workspace/report.pdf",
                [id](vemo_actions::ActionArgs const& args) -> std::expected<EncodedAction, vemo_actions::ActionError> {
                    ChatOperation op = operation::ImportAttachment{id, trim(args.text("value").value_or(""))};
                    return vemo_actions::resource::enforce_operation_type(
                        EncodedAction{chat_operation_kind, encode(op), OperationType::Effect}, OperationType::Effect);
                }))
            .with_action(text_spec("rename", "Rename channel", "Name", "channel name…", [id](std::string const& text) {
                return action::RenameChannel{id, trim(text)};
            }))
            .with_action(c.archived ? action_spec("unarchive", "Unarchive channel", action::ArchiveChannel{c.id, false})
                                    : action_spec("archive", "Archive channel", action::ArchiveChannel{c.id, true}))
            .with_action(action_spec("mark-read", "Mark as read", action::MarkRead{c.id, m_in.local_user, top_level_count(c.id)}))
            .with_action(action_spec("delete", "Delete channel", action::DeleteChannel{c.id}));
        if (c.kind == ChannelKind::Voice) r = std::move(r).with_child(call(c));
        return r;
    }

    Resource call(Channel const& c) const
    {
        Resource r = Resource("chat.call:" + c.id, "chat.call", "Call: " + c.name)
                         .with_action(operation_spec("open", "Open call conversation", OperationType::View,
                                                     operation::OpenChannel{c.workspace, c.id}));
        auto const* me = own_participant(c.id);
        if (!me) return std::move(r).with_action(action_spec("join", "Join call", action::JoinCall{c.id, m_in.local_user}));
        auto state = [&](bool muted, bool deafened, bool audio_only) {
            return action::SetCallState{c.id, m_in.local_user, !muted, muted, deafened, audio_only};
        };
        return std::move(r)
            .with_action(action_spec("leave", "Leave call", action::LeaveCall{c.id, m_in.local_user}))
            .with_action(action_spec(me->muted ? "unmute" : "mute", me->muted ? "Unmute" : "Mute",
                                     state(!me->muted, me->deafened, me->audio_only)))
            .with_action(action_spec(me->deafened ? "undeafen" : "deafen", me->deafened ? "Undeafen" : "Deafen",
                                     state(me->muted, !me->deafened, me->audio_only)))
            .with_action(action_spec(me->audio_only ? "enable-camera" : "audio-only",
                                     me->audio_only ? "Enable camera" : "Audio only",
                                     state(me->muted, me->deafened, !me->audio_only)));
    }

    Resource category(Category const& c) const
    {
        std::string id = c.id;
        return Resource("chat.category:" + c.id, "chat.category", c.name)
            .with_action(operation_spec("open", "Open category", OperationType::View, operation::OpenCategory{c.workspace, c.id}))
            .with_action(text_spec("rename", "Rename category", "Name", "category name…", [id](std::string const& text) {
                return action::RenameCategory{id, trim(text)};
            }))
            .with_action(c.collapsed ? action_spec("expand", "Expand category", action::SetCategoryCollapsed{c.id, false})
                                     : action_spec("collapse", "Collapse category", action::SetCategoryCollapsed{c.id, true}))
            .with_action(action_spec("delete", "Delete category", action::DeleteCategory{c.id}));
    }

    Resource message(Message const& m) const
    {
        std::string channel = m.channel, id = m.id, user = m_in.local_user;
        int64_t now = std::max<int64_t>(0, m_in.now);
        Resource r = Resource("chat.message:" + m.id, "chat.message", message_label(m))
            .with_action(operation_spec("open", "Reveal message", OperationType::View, reveal(m)))
            .with_action(text_spec("edit", "Edit message", "Message", "new text…", [=](std::string const& text) {
                return action::EditMessage{channel, id, text, now};
            }))
            .with_action(text_spec("react", "Add reaction", "Emoji", "👍", [=](std::string const& text) {
                return action::AddReaction{channel, id, trim(text), user};
            }))
            .with_action(m.pinned ? action_spec("unpin", "Unpin message", action::PinMessage{m.channel, m.id, false})
                                  : action_spec("pin", "Pin message", action::PinMessage{m.channel, m.id, true}))
            .with_action(action_spec("delete", "Delete message", action::DeleteMessage{m.channel, m.id}));
        if (m.attachment) r = std::move(r).with_child(attachment(m));
        for (auto const& group : m.reactions) r = std::move(r).with_child(reaction(m, group));
        return r;
    }

    Resource reaction(Message const& m, ReactionGroup const& group) const
    {
        bool mine = std::find(group.users.begin(), group.users.end(), m_in.local_user) != group.users.end();
        return Resource("chat.reaction:" + m.id + ":" + group.emoji, "chat.reaction",
                        group.emoji + " · " + std::to_string(group.users.size()))
            .with_action(operation_spec("open-message", "Reveal message", OperationType::View, reveal(m)))
            .with_action(mine ? action_spec("remove", "Remove my reaction",
                                            action::RemoveReaction{m.channel, m.id, group.emoji, m_in.local_user})
                              : action_spec("add", "Add my reaction",
                                            action::AddReaction{m.channel, m.id, group.emoji, m_in.local_user}));
    }

    Resource attachment(Message const& m) const
    {
        return Resource("chat.attachment:" + m.id, "chat.attachment", attachment_label(*m.attachment))
            .with_action(operation_spec("open-message", "Reveal shared message", OperationType::View, reveal(m)));
    }

    Resource person(Person const& p) const
    {
        return Resource("chat.person:" + p.id, "chat.person", p.name)
            .with_action(operation_spec("open", "Open person", OperationType::View, operation::OpenPerson{p.id}));
    }

    Resource people() const
    {
        Resource r("chat.people", "chat.people", "People");
        size_t n = std::min(max_people, m_in.view.people.size());
        for (size_t i = 0; i < n; ++i) r = std::move(r).with_child(person(m_in.view.people[i]));
        return r;
    }

    std::string message_label(Message const& m) const
    {
        std::string snippet = first_chars(trim(m.text), snippet_chars);
        if (snippet.empty()) snippet = m.attachment ? attachment_name(*m.attachment) : "Attachment";
        return model::person_name(m_in.view.directory, m.author) + ": " + snippet;
    }

    static std::string attachment_name(Attachment const& a)
    {
        return std::visit([](auto const& x) { return x.name; }, a);
    }

    static std::string attachment_label(Attachment const& a)
    {
        char const* kind = std::holds_alternative<ImageAttachment>(a)   ? "Image"
                           : std::holds_alternative<VideoAttachment>(a) ? "Video"
                                                                          : "File";
        return std::string(kind) + ": " + attachment_name(a);
    }

    operation::RevealMessage reveal(Message const& m) const
    {
        auto const* c = find_by_id(m_in.view.channels, m.channel);
        std::optional<std::string> parent;
        if (m.parent && !m.parent->empty()) parent = m.parent;
        return {c ? c->workspace : std::string(), m.channel, m.id, parent};
    }

    int64_t top_level_count(std::string const& channel) const
    {
        return std::count_if(m_in.view.all_messages.begin(), m_in.view.all_messages.end(), [&](auto const& m) {
            return m.channel == channel && (!m.parent || m.parent->empty());
        });
    }

    VoiceParticipant const* own_participant(std::string const& channel) const
    {
        auto it = m_in.view.voice_participants.find(channel);
        if (it == m_in.view.voice_participants.end()) return nullptr;
        for (auto const& p : it->second)
            if (p.person == m_in.local_user) return &p;
        return nullptr;
    }

    std::vector<MentionCandidate> mention_candidates() const
    {
        std::vector<MentionCandidate> out;
        for (auto const& p : m_in.view.people) out.push_back({p.id, p.name, p.agent});
        return out;
    }

    Message const* find_message(std::string_view id) const { return find_by_id(m_in.view.all_messages, id); }

    ResourceInputs const& m_in;
};

}  // namespace

std::vector<Resource> list_resources(ResourceInputs const& in)
{
    Builder b(in);
    std::vector<Resource> out;
    size_t budget = node_budget;
    size_t taken = std::min(max_workspaces, in.view.workspaces.size());
    for (size_t w = 0; w < taken; ++w) {
        auto const& ws = in.view.workspaces[w];
        if (budget > 0) --budget;
        Resource r = b.workspace(ws);
        for (auto const& c : in.view.channels) {
            if (budget == 0) break;
            if (c.workspace != ws.id) continue;
            r = std::move(r).with_child(b.channel(c));
            --budget;
        }
        for (auto const& cat : in.view.categories) {
            if (budget == 0) break;
            if (cat.workspace != ws.id) continue;
            r = std::move(r).with_child(b.category(cat));
            --budget;
        }
        r.mark_destructive("delete");
        out.push_back(std::move(r));
    }
    out.push_back(b.people());
    return out;
}

std::optional<Resource> describe_resource(std::string const& address, ResourceInputs const& in)
{
    Builder b(in);
    if (address == "chat.people") return b.people();
    auto strip = [&](std::string_view kind) { return vemo_actions::ActionAddress::strip_kind(address, kind); };
    std::optional<Resource> found;
    if (auto id = strip("chat.workspace")) {
        if (auto const* ws = find_by_id(in.view.workspaces, *id)) {
            found = b.workspace(*ws);
            for (auto const& c : in.view.channels)
                if (c.workspace == ws->id) found = std::move(*found).with_child(b.channel(c));
            for (auto const& cat : in.view.categories)
                if (cat.workspace == ws->id) found = std::move(*found).with_child(b.category(cat));
        }
    } else if (auto id = strip("chat.channel")) {
        if (auto const* c = find_by_id(in.view.channels, *id)) found = b.channel(*c);
    } else if (auto id = strip("chat.category")) {
        if (auto const* c = find_by_id(in.view.categories, *id)) found = b.category(*c);
    } else if (auto id = strip("chat.person")) {
        if (auto const* p = find_by_id(in.view.people, *id)) found = b.person(*p);
        else if (auto const* q = find_by_id(in.view.directory, *id)) found = b.person(*q);
    } else if (auto id = strip("chat.call")) {
        auto const* c = find_by_id(in.view.channels, *id);
        if (c && c->kind == ChannelKind::Voice) found = b.call(*c);
    } else if (auto id = strip("chat.attachment")) {
        auto const* m = b.find_message(*id);
        if (m && m->attachment) found = b.attachment(*m);
    } else if (auto rest = strip("chat.reaction")) {
        size_t colon = rest->find(':');
        if (colon != std::string_view::npos) {
            auto const* m = b.find_message(rest->substr(0, colon));
            std::string_view emoji = rest->substr(colon + 1);
            if (m) {
                for (auto const& g : m->reactions)
                    if (g.emoji == emoji) found = b.reaction(*m, g);
            }
        }
    } else if (auto id = strip("chat.message")) {
        if (auto const* m = b.find_message(*id)) found = b.message(*m);
    }
    if (found) found->mark_destructive("delete");
    return found;
}

std::optional<vemo_actions::ActionContext> action_context(ChatAction const& action, ResourceInputs const&)
{
    struct Target {
        std::string title;
        std::string kind;
        std::string id;
    };
    auto t = std::visit(
        [](auto const& a) -> Target {
            using T = std::decay_t<decltype(a)>;
            using namespace action;
            if constexpr (std::is_same_v<T, SendMessage>) return {"Send message", "chat.message", a.id};
            else if constexpr (std::is_same_v<T, EditMessage>) return {"Edit message", "chat.message", a.id};
            else if constexpr (std::is_same_v<T, DeleteMessage>) return {"Delete message", "chat.message", a.id};
            else if constexpr (std::is_same_v<T, AddReaction>) return {"Add reaction", "chat.message", a.msg};
            else if constexpr (std::is_same_v<T, RemoveReaction>) return {"Remove reaction", "chat.message", a.msg};
            else if constexpr (std::is_same_v<T, PinMessage>)
                return {a.pinned ? "Pin message" : "Unpin message", "chat.message", a.msg};
            else if constexpr (std::is_same_v<T, CreateChannel>) return {"Create channel", "chat.channel", a.id};
            else if constexpr (std::is_same_v<T, CreateCategory>) return {"Create category", "chat.category", a.id};
            else if constexpr (std::is_same_v<T, RenameCategory>) return {"Rename category", "chat.category", a.id};
            else if constexpr (std::is_same_v<T, DeleteCategory>) return {"Delete category", "chat.category", a.id};
            else if constexpr (std::is_same_v<T, SetCategoryCollapsed>)
                return {a.collapsed ? "Collapse category" : "Expand category", "chat.category", a.id};
            else if constexpr (std::is_same_v<T, ReorderChannel>)
                return {a.up ? "Move channel up" : "Move channel down", "chat.channel", a.id};
            else if constexpr (std::is_same_v<T, RenameChannel>) return {"Rename channel", "chat.channel", a.id};
            else if constexpr (std::is_same_v<T, DeleteChannel>) return {"Delete channel", "chat.channel", a.id};
            else if constexpr (std::is_same_v<T, ArchiveChannel>)
                return {a.archived ? "Archive channel" : "Unarchive channel", "chat.channel", a.id};
            else if constexpr (std::is_same_v<T, MarkRead>) return {"Mark channel read", "chat.channel", a.channel};
            else if constexpr (std::is_same_v<T, SetAgentWork>) return {"Update agent work", "chat.message", a.msg};
            else if constexpr (std::is_same_v<T, JoinCall>) return {"Join call", "chat.call", a.channel};
            else if constexpr (std::is_same_v<T, LeaveCall>) return {"Leave call", "chat.call", a.channel};
            else if constexpr (std::is_same_v<T, SetCallState>) return {"Update call state", "chat.call", a.channel};
            else if constexpr (std::is_same_v<T, SetScreenShare>)
                return {a.sharing ? "Start presenting" : "Stop presenting", "chat.call", a.channel};
            else return {"Update call connection", "chat.call", a.channel};
        },
        action);
    vemo_actions::ActionContext ctx;
    ctx.app_id = "org.vemo.Chat";
    ctx.app_name = "Chat";
    ctx.title = t.title;
    ctx.resource = vemo_actions::ResourceRef{t.kind, t.kind + ":" + t.id, t.kind == "chat.message" ? "Message" : t.id};
    return ctx;
}

}  // namespace chat
