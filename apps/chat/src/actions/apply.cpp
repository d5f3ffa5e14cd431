#include "actions/apply.hpp"

#include <algorithm>

#include "doc/agent_work.hpp"
#include "doc/internal_error.hpp"
#include "doc/schema.hpp"
#include "vemo_ui/doc_text.hpp"

namespace chat {

namespace {

using automerge::AutoCommit;
using automerge::ObjId;
using namespace chat::doc;

constexpr uint32_t max_image_side = 16384;
constexpr uint64_t max_attachment_bytes = 33554432;

ObjId const root = ObjId::root();

struct MessageHit {
    ObjId list;
    size_t index = 0;
    ObjId map;
};

// The first message with this id in one channel's list.
std::optional<MessageHit> find_in_channel(AutoCommit& d, std::string_view channel, std::string_view id)
{
    auto messages = get_map(d, root, messages_key);
    if (!messages) return std::nullopt;
    auto list = get_list(d, *messages, channel);
    if (!list) return std::nullopt;
    size_t n = length(d, *list);
    for (size_t i = 0; i < n; ++i) {
        auto map = get_at(d, *list, i);
        if (map && get_str(d, *map, "id") == id) return MessageHit{*list, i, *map};
    }
    return std::nullopt;
}

struct ChannelEntry {
    std::string id;
    ObjId map;
    std::string workspace;
    std::string category;
    int64_t order = 0;
};

// Every channel record in key order, then stably sorted by "order".
std::vector<ChannelEntry> channel_listing(AutoCommit& d)
{
    std::vector<ChannelEntry> out;
    auto channels = get_map(d, root, channels_key);
    if (!channels) return out;
    for (auto& id : keys(d, *channels)) {
        auto map = get_map(d, *channels, id);
        if (!map) continue;
        out.push_back({id, *map, get_str(d, *map, "workspace").value_or(""),
                       get_str(d, *map, "category").value_or(""),
                       get_int(d, *map, "order").value_or(0)});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](auto const& a, auto const& b) { return a.order < b.order; });
    return out;
}

int64_t next_channel_order(AutoCommit& d, std::string_view workspace, std::string_view category)
{
    std::optional<int64_t> highest;
    for (auto const& c : channel_listing(d))
        if (c.workspace == workspace && c.category == category)
            highest = std::max(highest.value_or(c.order), c.order);
    return highest ? *highest + 1 : 0;
}

int64_t next_category_order(AutoCommit& d, std::string_view workspace)
{
    std::optional<int64_t> highest;
    auto categories = get_map(d, root, categories_key);
    if (!categories) return 0;
    for (auto& id : keys(d, *categories)) {
        auto map = get_map(d, *categories, id);
        if (!map || get_str(d, *map, "workspace").value_or("") != workspace) continue;
        int64_t order = get_int(d, *map, "order").value_or(0);
        highest = std::max(highest.value_or(order), order);
    }
    return highest ? *highest + 1 : 0;
}

std::optional<ObjId> entity(AutoCommit& d, std::string_view root_key, std::string_view id)
{
    auto parent = get_map(d, root, root_key);
    if (!parent) return std::nullopt;
    return get_map(d, *parent, id);
}

bool has_control_character(std::string_view s)
{
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7f) return true;
        // U+0080..U+009F are encoded as C2 80..C2 9F.
        if (c == 0xc2 && i + 1 < s.size()) {
            auto next = static_cast<unsigned char>(s[i + 1]);
            if (next >= 0x80 && next <= 0x9f) return true;
        }
    }
    return false;
}

bool is_hex_reference(std::string_view blob)
{
    return blob.size() == 64 && std::all_of(blob.begin(), blob.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool has_key(AutoCommit& d, ObjId const& map, std::string_view key)
{
    auto present = keys(d, map);
    return std::find(present.begin(), present.end(), key) != present.end();
}

struct Applier {
    AutoCommit& d;
    std::optional<std::string> refused;

    void refuse(std::string why) { refused = std::move(why); }
    static std::string no_message(std::string_view id, std::string_view channel)
    {
        return "no message '" + std::string(id) + "' in channel '" + std::string(channel) + "'";
    }

    void operator()(action::SendMessage const& a)
    {
        if (!entity(d, channels_key, a.channel)) return refuse("no channel '" + a.channel + "'");
        if (!is_valid_message_id(a.id)) return refuse("'" + a.id + "' is not a valid message id");
        if (find_message(d, a.id)) return refuse("the message id '" + a.id + "' is taken");
        if (a.text.size() > max_message_text_bytes)
            return refuse("the text is longer than " + std::to_string(max_message_text_bytes) + " bytes");
        if (a.attachment && !is_valid_attachment(*a.attachment)) return refuse("the attachment is not valid");
        if (a.parent && !a.parent->empty()) {
            if (auto parent = find_in_channel(d, a.channel, *a.parent)) {
                if (!get_str(d, parent->map, "parent").value_or("").empty())
                    return refuse("'" + *a.parent + "' is itself a reply");
            }
        }
        Message m;
        m.id = a.id;
        m.author = a.author;
        m.ts = a.ts;
        m.text = a.text;
        m.parent = a.parent.value_or("");
        m.mentions = a.mentions;
        m.reference = a.reference;
        m.attachment = a.attachment;
        insert_message(d, a.channel, m);
    }

    void operator()(action::EditMessage const& a)
    {
        auto hit = find_in_channel(d, a.channel, a.id);
        if (!hit) return refuse(no_message(a.id, a.channel));
        std::string previous = get_text(d, hit->map, "text").value_or("");
        if (previous == a.text) return refuse("the text is unchanged");
        auto history = must(ensure_list(d, hit->map, "history"), "put list");
        auto entry = must(insert_map(d, history, length(d, history)), "hrec");
        must(put_int(d, entry, "ts", a.ts), "hrec");
        must(put_str(d, entry, "text", previous), "hrec");
        auto text = must(ensure_text(d, hit->map, "text"), "put text");
        must(vemo_ui::doc::splice_text_diffed(d, text, a.text), "text");
        must(put_bool(d, hit->map, "edited", true), "text");
    }

    void operator()(action::DeleteMessage const& a)
    {
        auto hit = find_in_channel(d, a.channel, a.id);
        if (!hit) return refuse(no_message(a.id, a.channel));
        must(delete_index(d, hit->list, hit->index), "rx");
    }

    void operator()(action::AddReaction const& a)
    {
        auto hit = find_in_channel(d, a.channel, a.msg);
        if (!hit) return refuse(no_message(a.msg, a.channel));
        auto reactions = must(ensure_list(d, hit->map, "reactions"), "rx");
        if (find_reaction(reactions, a.emoji, a.user)) return refuse("that reaction is there already");
        auto entry = must(insert_map(d, reactions, length(d, reactions)), "rxentry");
        must(put_str(d, entry, "emoji", a.emoji), "rxentry");
        must(put_str(d, entry, "user", a.user), "rxentry");
    }

    void operator()(action::RemoveReaction const& a)
    {
        auto hit = find_in_channel(d, a.channel, a.msg);
        if (!hit) return refuse(no_message(a.msg, a.channel));
        auto reactions = get_list(d, hit->map, "reactions");
        if (!reactions) return;
        if (auto index = find_reaction(*reactions, a.emoji, a.user))
            must(delete_index(d, *reactions, *index), "rxentry");
    }

    std::optional<size_t> find_reaction(ObjId const& reactions, std::string_view emoji,
                                        std::string_view user)
    {
        size_t n = length(d, reactions);
        for (size_t i = 0; i < n; ++i) {
            auto entry = get_at(d, reactions, i);
            if (entry && get_str(d, *entry, "emoji") == emoji && get_str(d, *entry, "user") == user)
                return i;
        }
        return std::nullopt;
    }

    void operator()(action::PinMessage const& a)
    {
        auto hit = find_in_channel(d, a.channel, a.msg);
        if (!hit) return refuse(no_message(a.msg, a.channel));
        if (get_bool(d, hit->map, "pinned").value_or(false) != a.pinned)
            must(put_bool(d, hit->map, "pinned", a.pinned), "put map");
    }

    void operator()(action::CreateChannel const& a)
    {
        int64_t order = next_channel_order(d, a.workspace, a.category);
        write_channel(d, a.id, a.workspace, a.category, a.name, "", a.kind, order);
    }

    void operator()(action::CreateCategory const& a)
    {
        write_category(d, a.id, a.workspace, a.name, next_category_order(d, a.workspace), false);
    }

    void operator()(action::RenameCategory const& a)
    {
        auto cat = entity(d, categories_key, a.id);
        if (!cat) return refuse("no category '" + a.id + "'");
        must(put_str(d, *cat, "name", a.name), "put map");
    }

    void operator()(action::DeleteCategory const& a)
    {
        auto categories = get_map(d, root, categories_key);
        for (auto const& c : channel_listing(d)) {
            if (c.category != a.id) continue;
            // Each move lands after the uncategorised channels, including those moved before.
            int64_t order = next_channel_order(d, c.workspace, "");
            must(put_str(d, c.map, "category", ""), "put map");
            must(put_int(d, c.map, "order", order), "put map");
        }
        if (categories && has_key(d, *categories, a.id)) must(delete_key(d, *categories, a.id), "put map");
    }

    void operator()(action::SetCategoryCollapsed const& a)
    {
        auto cat = entity(d, categories_key, a.id);
        if (!cat) return refuse("no category '" + a.id + "'");
        must(put_bool(d, *cat, "collapsed", a.collapsed), "put map");
    }

    void operator()(action::ReorderChannel const& a)
    {
        auto listing = channel_listing(d);
        auto self = std::find_if(listing.begin(), listing.end(), [&](auto const& c) { return c.id == a.id; });
        if (self == listing.end()) return refuse("no channel '" + a.id + "'");
        std::vector<ChannelEntry> siblings;
        for (auto const& c : listing)
            if (c.workspace == self->workspace && c.category == self->category) siblings.push_back(c);
        // The listing is already sorted stably by order, so siblings keep that order.
        size_t i = size_t(std::find_if(siblings.begin(), siblings.end(), [&](auto const& c) { return c.id == a.id; }) - siblings.begin());
        size_t j;
        if (a.up) {
            if (i == 0) return refuse("'" + a.id + "' is first in its category already");
            j = i - 1;
        } else {
            j = i + 1;
            if (j >= siblings.size()) return refuse("'" + a.id + "' is last in its category already");
        }
        int64_t own = siblings[i].order;
        must(put_int(d, siblings[i].map, "order", siblings[j].order), "put map");
        must(put_int(d, siblings[j].map, "order", own), "put map");
    }

    void operator()(action::RenameChannel const& a)
    {
        auto ch = entity(d, channels_key, a.id);
        if (!ch) return refuse("no channel '" + a.id + "'");
        must(put_str(d, *ch, "name", a.name), "put map");
    }

    void operator()(action::DeleteChannel const& a)
    {
        for (auto key : {channels_key, messages_key, voice_key, drafts_key}) {
            auto map = get_map(d, root, key);
            if (map && has_key(d, *map, a.id)) must(delete_key(d, *map, a.id), "put map");
        }
    }

    void operator()(action::ArchiveChannel const& a)
    {
        auto ch = entity(d, channels_key, a.id);
        if (!ch) return refuse("no channel '" + a.id + "'");
        if (get_bool(d, *ch, "archived").value_or(false) != a.archived)
            must(put_bool(d, *ch, "archived", a.archived), "put map");
    }

    void operator()(action::MarkRead const& a)
    {
        // Creates the maps even when the count stays as it is.
        auto read = must(ensure_map(d, root, read_key), "put map");
        must(ensure_map(d, read, a.channel), "put map");
        set_read_count(d, a.channel, a.user, a.count);
    }

    void operator()(action::SetAgentWork const& a)
    {
        auto hit = find_in_channel(d, a.channel, a.msg);
        if (!hit) return refuse(no_message(a.msg, a.channel));
        auto stored = read_work(d, hit->map);
        if (!stored || !(*stored == a.work)) write_work(d, hit->map, a.work);
        if (!a.say || a.say->empty()) return;
        auto text_obj = d.get(hit->map, std::string("text"));
        if (!text_obj || !*text_obj) return;
        auto const& [value, id] = **text_obj;
        auto const* type = std::get_if<automerge::ObjType>(&value);
        if (!type || *type != automerge::ObjType::Text) return;
        if (!get_text(d, hit->map, "text").value_or("x").empty()) return;
        must(splice_text(d, id, 0, 0, *a.say), "text");
    }

    void operator()(action::JoinCall const& a) { join_call(d, a.channel, a.user); }

    void operator()(action::LeaveCall const& a)
    {
        auto voice = get_map(d, root, voice_key);
        auto call = voice ? get_map(d, *voice, a.channel) : std::nullopt;
        if (!call) return refuse("no call in '" + a.channel + "'");
        if (!has_key(d, *call, a.user)) return refuse("'" + a.user + "' is not in the call in '" + a.channel + "'");
        must(delete_key(d, *call, a.user), "put map");
    }

    void operator()(action::SetCallState const& a)
    {
        set_voice_flags(d, a.channel, a.user, a.talking, a.muted, a.deafened, a.audio_only);
    }

    void operator()(action::SetScreenShare const& a) { set_sharing(d, a.channel, a.user, a.sharing); }

    void operator()(action::SetCallTicket const& a) { set_ticket(d, a.channel, a.user, a.ticket); }
};

}  // namespace

bool is_valid_message_id(std::string_view id)
{
    if (id.empty() || id.size() > 128) return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

bool is_valid_attachment(Attachment const& attachment)
{
    auto common = [](std::string const& name, std::string const& blob) {
        return !name.empty() && name.size() <= 255 && !has_control_character(name) && is_hex_reference(blob);
    };
    struct Visitor {
        decltype(common)& ok;
        bool operator()(ImageAttachment const& a) const
        {
            return ok(a.name, a.blob) && a.w >= 1 && a.w <= max_image_side && a.h >= 1 && a.h <= max_image_side;
        }
        bool operator()(VideoAttachment const& a) const
        {
            return ok(a.name, a.blob) && a.size >= 1 && a.size <= max_attachment_bytes && a.w <= max_image_side &&
                   a.h <= max_image_side;
        }
        bool operator()(FileAttachment const& a) const
        {
            return ok(a.name, a.blob) && a.size >= 1 && a.size <= max_attachment_bytes;
        }
    };
    return std::visit(Visitor{common}, attachment);
}

std::optional<std::string> apply_action(automerge::AutoCommit& doc, ChatAction const& action)
{
    Applier applier{doc, std::nullopt};
    std::visit(applier, action);
    return std::move(applier.refused);
}

}  // namespace chat
