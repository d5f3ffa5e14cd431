#include "actions/chat_action.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "actions/field_reader.hpp"
#include "actions/strict_json.hpp"

namespace chat {

namespace {

using json::Status;
using json::Value;

constexpr std::array<std::string_view, 22> action_names = {
    "SendMessage",    "EditMessage",          "DeleteMessage",  "AddReaction",
    "RemoveReaction", "PinMessage",           "CreateChannel",  "CreateCategory",
    "RenameCategory", "DeleteCategory",       "SetCategoryCollapsed", "ReorderChannel",
    "RenameChannel",  "DeleteChannel",        "ArchiveChannel", "MarkRead",
    "SetAgentWork",   "JoinCall",             "LeaveCall",      "SetCallState",
    "SetScreenShare", "SetCallTicket",
};
constexpr std::array<std::string_view, 6> operation_names = {
    "OpenWorkspace", "OpenChannel", "OpenCategory", "RevealMessage", "OpenPerson", "ImportAttachment",
};
constexpr std::array<std::string_view, 3> attachment_names = {"Image", "Video", "File"};
constexpr std::array<std::string_view, 2> channel_kind_names = {"Text", "Voice"};
constexpr std::array<std::string_view, 2> span_unit_names = {"Chars", "Bytes"};

// ---- encoding ---------------------------------------------------------------------------

class Writer {
public:
    std::string out;

    void raw(std::string_view text) { out += text; }
    void value(std::string const& s) { json::append_quoted(out, s); }
    void value(bool b) { out += b ? "true" : "false"; }
    void value(int64_t n) { out += std::to_string(n); }
    void value(uint64_t n) { out += std::to_string(n); }
    void value(uint32_t n) { out += std::to_string(n); }
    void value(ChannelKind k) { value(std::string(channel_kind_names[size_t(k)])); }
    void value(SpanUnit u) { value(std::string(span_unit_names[size_t(u)])); }
    void value(AgentWork const& w) { out += to_json_text(w); }
    void value(Mention const& m);
    void value(Span const& s);
    void value(ResourceRef const& r);
    void value(Attachment const& a);
    template <class T>
    void value(std::optional<T> const& o)
    {
        if (o)
            value(*o);
        else
            out += "null";
    }
    template <class T>
    void value(std::vector<T> const& list)
    {
        out += '[';
        for (size_t i = 0; i < list.size(); ++i) {
            if (i) out += ',';
            value(list[i]);
        }
        out += ']';
    }
};

// Walks a record's members in declaration order; `Writer` writes them, `Reader` reads them.
class EncodeFields {
public:
    explicit EncodeFields(Writer& w) : m_w(w) { m_w.raw("{"); }
    ~EncodeFields() { m_w.raw("}"); }
    template <class T>
    void req(std::string_view name, T const& v)
    {
        key(name);
        m_w.value(v);
    }
    template <class T>
    void opt(std::string_view name, std::optional<T> const& v)
    {
        req(name, v);
    }
    template <class T>
    void list(std::string_view name, std::vector<T> const& v)
    {
        req(name, v);
    }

private:
    void key(std::string_view name)
    {
        if (!m_first) m_w.raw(",");
        m_first = false;
        m_w.value(std::string(name));
        m_w.raw(":");
    }
    Writer& m_w;
    bool m_first = true;
};

// ---- decoding ---------------------------------------------------------------------------

using json::read_value;
Status read_value(Value const& v, ChannelKind& out);
Status read_value(Value const& v, SpanUnit& out);
Status read_value(Value const& v, Mention& out);
Status read_value(Value const& v, Span& out);
Status read_value(Value const& v, ResourceRef& out);
Status read_value(Value const& v, Attachment& out);
Status read_value(Value const& v, AgentWork& out);

class DecodeFields {
public:
    template <class T>
    void req(std::string_view name, T& v)
    {
        m_reader.field(name, [&v](Value const& value) { return read_value(value, v); });
    }
    template <class T>
    void opt(std::string_view name, std::optional<T>& v)
    {
        m_reader.field(
            name,
            [&v](Value const& value) -> Status {
                if (value.is_null()) {
                    v.reset();
                    return {};
                }
                T inner{};
                if (auto ok = read_value(value, inner); !ok) return ok;
                v = std::move(inner);
                return {};
            },
            false);
    }
    // A list that may be absent or null, meaning empty.
    template <class T>
    void list(std::string_view name, std::vector<T>& v)
    {
        m_reader.field(
            name,
            [&v](Value const& value) -> Status {
                if (value.is_null()) {
                    v.clear();
                    return {};
                }
                return json::read_list(value, v, [](Value const& item, T& out) {
                    return read_value(item, out);
                });
            },
            false);
    }
    Status read(Value const& value, std::string_view what) const { return m_reader.read(value, what); }

private:
    json::FieldReader m_reader;
};

// ---- the member lists, written once for both directions ---------------------------------

template <class R, class F>
void members(R& m, F& f) requires std::is_same_v<std::remove_const_t<R>, Mention>
{
    f.req("user", m.user);
    f.req("start", m.start);
    f.req("len", m.len);
    f.req("is_agent", m.is_agent);
}
template <class R, class F>
void members(R& s, F& f) requires std::is_same_v<std::remove_const_t<R>, Span>
{
    f.req("start", s.start);
    f.req("end", s.end);
    f.req("unit", s.unit);
}
template <class R, class F>
void members(R& r, F& f) requires std::is_same_v<std::remove_const_t<R>, ResourceRef>
{
    f.req("kind", r.kind);
    f.req("id", r.id);
    f.req("label", r.label);
    f.opt("span", r.span);
}
template <class R, class F>
void members(R& a, F& f) requires std::is_same_v<std::remove_const_t<R>, ImageAttachment>
{
    f.req("name", a.name);
    f.req("blob", a.blob);
    f.req("w", a.w);
    f.req("h", a.h);
}
template <class R, class F>
void members(R& a, F& f) requires std::is_same_v<std::remove_const_t<R>, VideoAttachment>
{
    f.req("name", a.name);
    f.req("blob", a.blob);
    f.req("w", a.w);
    f.req("h", a.h);
    f.req("size", a.size);
}
template <class R, class F>
void members(R& a, F& f) requires std::is_same_v<std::remove_const_t<R>, FileAttachment>
{
    f.req("name", a.name);
    f.req("blob", a.blob);
    f.req("size", a.size);
}

#define CHAT_MEMBERS(Type) \
    template <class R, class F> \
    void members(R& a, F& f) requires std::is_same_v<std::remove_const_t<R>, Type>

CHAT_MEMBERS(action::SendMessage)
{
    f.req("channel", a.channel);
    f.req("id", a.id);
    f.req("author", a.author);
    f.req("ts", a.ts);
    f.req("text", a.text);
    f.opt("parent", a.parent);
    f.opt("attachment", a.attachment);
    f.list("mentions", a.mentions);
    f.opt("reference", a.reference);
}
CHAT_MEMBERS(action::EditMessage)
{
    f.req("channel", a.channel);
    f.req("id", a.id);
    f.req("text", a.text);
    f.req("ts", a.ts);
}
CHAT_MEMBERS(action::DeleteMessage)
{
    f.req("channel", a.channel);
    f.req("id", a.id);
}
CHAT_MEMBERS(action::AddReaction)
{
    f.req("channel", a.channel);
    f.req("msg", a.msg);
    f.req("emoji", a.emoji);
    f.req("user", a.user);
}
CHAT_MEMBERS(action::RemoveReaction)
{
    f.req("channel", a.channel);
    f.req("msg", a.msg);
    f.req("emoji", a.emoji);
    f.req("user", a.user);
}
CHAT_MEMBERS(action::PinMessage)
{
    f.req("channel", a.channel);
    f.req("msg", a.msg);
    f.req("pinned", a.pinned);
}
CHAT_MEMBERS(action::CreateChannel)
{
    f.req("workspace", a.workspace);
    f.req("category", a.category);
    f.req("id", a.id);
    f.req("name", a.name);
    f.req("kind", a.kind);
}
CHAT_MEMBERS(action::CreateCategory)
{
    f.req("workspace", a.workspace);
    f.req("id", a.id);
    f.req("name", a.name);
}
CHAT_MEMBERS(action::RenameCategory)
{
    f.req("id", a.id);
    f.req("name", a.name);
}
CHAT_MEMBERS(action::DeleteCategory) { f.req("id", a.id); }
CHAT_MEMBERS(action::SetCategoryCollapsed)
{
    f.req("id", a.id);
    f.req("collapsed", a.collapsed);
}
CHAT_MEMBERS(action::ReorderChannel)
{
    f.req("id", a.id);
    f.req("up", a.up);
}
CHAT_MEMBERS(action::RenameChannel)
{
    f.req("id", a.id);
    f.req("name", a.name);
}
CHAT_MEMBERS(action::DeleteChannel) { f.req("id", a.id); }
CHAT_MEMBERS(action::ArchiveChannel)
{
    f.req("id", a.id);
    f.req("archived", a.archived);
}
CHAT_MEMBERS(action::MarkRead)
{
    f.req("channel", a.channel);
    f.req("user", a.user);
    f.req("count", a.count);
}
CHAT_MEMBERS(action::SetAgentWork)
{
    f.req("channel", a.channel);
    f.req("msg", a.msg);
    f.req("work", a.work);
    f.opt("say", a.say);
}
CHAT_MEMBERS(action::JoinCall)
{
    f.req("channel", a.channel);
    f.req("user", a.user);
}
CHAT_MEMBERS(action::LeaveCall)
{
    f.req("channel", a.channel);
    f.req("user", a.user);
}
CHAT_MEMBERS(action::SetCallState)
{
    f.req("channel", a.channel);
    f.req("user", a.user);
    f.req("talking", a.talking);
    f.req("muted", a.muted);
    f.req("deafened", a.deafened);
    f.req("audio_only", a.audio_only);
}
CHAT_MEMBERS(action::SetScreenShare)
{
    f.req("channel", a.channel);
    f.req("user", a.user);
    f.req("sharing", a.sharing);
}
CHAT_MEMBERS(action::SetCallTicket)
{
    f.req("channel", a.channel);
    f.req("user", a.user);
    f.req("ticket", a.ticket);
}
CHAT_MEMBERS(operation::OpenWorkspace) { f.req("workspace", a.workspace); }
CHAT_MEMBERS(operation::OpenChannel)
{
    f.req("workspace", a.workspace);
    f.req("channel", a.channel);
}
CHAT_MEMBERS(operation::OpenCategory)
{
    f.req("workspace", a.workspace);
    f.req("category", a.category);
}
CHAT_MEMBERS(operation::RevealMessage)
{
    f.req("workspace", a.workspace);
    f.req("channel", a.channel);
    f.req("message", a.message);
    f.opt("parent", a.parent);
}
CHAT_MEMBERS(operation::OpenPerson) { f.req("user", a.user); }
CHAT_MEMBERS(operation::ImportAttachment)
{
    f.req("channel", a.channel);
    f.req("path", a.path);
}

#undef CHAT_MEMBERS

template <class T>
void write_record(Writer& w, T const& record)
{
    EncodeFields f(w);
    members(record, f);
}

template <class T>
Status read_record(Value const& v, T& out, std::string_view what)
{
    DecodeFields f;
    members(out, f);
    return f.read(v, what);
}

void Writer::value(Mention const& m) { write_record(*this, m); }
void Writer::value(Span const& s) { write_record(*this, s); }
void Writer::value(ResourceRef const& r) { write_record(*this, r); }
void Writer::value(Attachment const& a)
{
    raw("{");
    value(std::string(attachment_names[a.index()]));
    raw(":");
    std::visit([this](auto const& inner) { write_record(*this, inner); }, a);
    raw("}");
}

std::vector<std::string_view> names_of(auto const& array) { return {array.begin(), array.end()}; }

Status read_value(Value const& v, ChannelKind& out)
{
    auto i = json::read_unit_variant(v, names_of(channel_kind_names), "enum ChannelKind");
    if (!i) return std::unexpected(i.error());
    out = ChannelKind(*i);
    return {};
}
Status read_value(Value const& v, SpanUnit& out)
{
    auto i = json::read_unit_variant(v, names_of(span_unit_names), "enum SpanUnit");
    if (!i) return std::unexpected(i.error());
    out = SpanUnit(*i);
    return {};
}
Status read_value(Value const& v, Mention& out) { return read_record(v, out, "struct Mention"); }
Status read_value(Value const& v, Span& out) { return read_record(v, out, "struct Span"); }
Status read_value(Value const& v, ResourceRef& out) { return read_record(v, out, "struct ResourceRef"); }

Status read_value(Value const& v, Attachment& out)
{
    auto tag = json::read_variant_tag(v, names_of(attachment_names), "enum Attachment");
    if (!tag) return std::unexpected(tag.error());
    auto [index, inner] = *tag;
    switch (index) {
    case 0: {
        ImageAttachment a;
        if (auto ok = read_record(*inner, a, "struct variant Attachment::Image"); !ok) return ok;
        out = std::move(a);
        return {};
    }
    case 1: {
        VideoAttachment a;
        if (auto ok = read_record(*inner, a, "struct variant Attachment::Video"); !ok) return ok;
        out = std::move(a);
        return {};
    }
    default: {
        FileAttachment a;
        if (auto ok = read_record(*inner, a, "struct variant Attachment::File"); !ok) return ok;
        out = std::move(a);
        return {};
    }
    }
}

// Agent work has its own decoder next to its stored form; hand it the subtree as JSON.
Json to_nlohmann(Value const& v)
{
    struct Visitor {
        Json operator()(std::nullptr_t) const { return nullptr; }
        Json operator()(bool b) const { return b; }
        Json operator()(int64_t n) const { return n; }
        Json operator()(uint64_t n) const { return n; }
        Json operator()(double d) const { return d; }
        Json operator()(std::string const& s) const { return s; }
        Json operator()(json::Array const& a) const
        {
            Json out = Json::array();
            for (auto const& item : a) out.push_back(to_nlohmann(item));
            return out;
        }
        Json operator()(json::Object const& o) const
        {
            Json out = Json::object();
            for (auto const& [k, item] : o) out[k] = to_nlohmann(item);
            return out;
        }
    };
    return std::visit(Visitor{}, v.v);
}

Status read_value(Value const& v, AgentWork& out)
{
    auto work = agent_work_from_json(to_nlohmann(v));
    if (!work) return std::unexpected(work.error());
    out = std::move(*work);
    return {};
}

// Decodes the variant at `index` of Variant from `inner`.
template <class Variant, size_t I = 0>
std::expected<Variant, std::string> decode_alternative(size_t index, Value const& inner,
                                                       std::string_view enum_name,
                                                       auto const& names)
{
    if constexpr (I < std::variant_size_v<Variant>) {
        if (index == I) {
            std::variant_alternative_t<I, Variant> record{};
            std::string what = "struct variant " + std::string(enum_name) + "::" + std::string(names[I]);
            if (auto ok = read_record(inner, record, what); !ok) return std::unexpected(ok.error());
            return Variant(std::move(record));
        }
        return decode_alternative<Variant, I + 1>(index, inner, enum_name, names);
    } else {
        return std::unexpected(std::string("unknown variant"));
    }
}

template <class Variant>
std::expected<Variant, std::string> decode_tagged(std::string_view text, std::string_view enum_name,
                                                  auto const& names)
{
    auto parsed = json::parse(text);
    if (!parsed) return std::unexpected(parsed.error());
    auto tag = json::read_variant_tag(*parsed, names_of(names), "enum " + std::string(enum_name));
    if (!tag) return std::unexpected(tag.error());
    return decode_alternative<Variant>(tag->first, *tag->second, enum_name, names);
}

template <class Variant>
std::string encode_tagged(Variant const& value, auto const& names)
{
    Writer w;
    w.raw("{");
    w.value(std::string(names[value.index()]));
    w.raw(":");
    std::visit([&w](auto const& record) { write_record(w, record); }, value);
    w.raw("}");
    return std::move(w.out);
}

}  // namespace

std::string_view variant_name(ChatAction const& action) { return action_names[action.index()]; }
std::string_view variant_name(ChatOperation const& op) { return operation_names[op.index()]; }

bool is_destructive(ChatAction const& action)
{
    return std::holds_alternative<action::DeleteMessage>(action) ||
           std::holds_alternative<action::DeleteCategory>(action) ||
           std::holds_alternative<action::DeleteChannel>(action);
}

std::string encode(ChatAction const& action) { return encode_tagged(action, action_names); }
std::string encode(ChatOperation const& op) { return encode_tagged(op, operation_names); }

std::expected<ChatAction, std::string> decode_chat_action(std::string_view json)
{
    return decode_tagged<ChatAction>(json, "ChatAction", action_names);
}

std::expected<ChatOperation, std::string> decode_chat_operation(std::string_view json)
{
    return decode_tagged<ChatOperation>(json, "ChatOperation", operation_names);
}

std::string debug_text(ChatAction const& action)
{
    std::string fields = encode(action);
    // {"Name":{...}} -> Name {...}
    size_t colon = fields.find(':');
    return std::string(variant_name(action)) + " " + fields.substr(colon + 1, fields.size() - colon - 2);
}

}  // namespace chat
