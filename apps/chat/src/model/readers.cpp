#include "model/readers.hpp"

#include <algorithm>
#include <limits>

#include "doc/schema.hpp"

namespace chat::model {

namespace {

using automerge::ObjHandle;
using doc::get_bool;
using doc::get_int;
using doc::get_map;
using doc::get_str;

ObjHandle const root{};

uint32_t low32(std::optional<int64_t> value) {
    return static_cast<uint32_t>(static_cast<uint64_t>(value.value_or(0)));
}

std::string str_or_empty(AutoCommit const& doc, ObjHandle map, std::string_view key) {
    return std::string(get_str(doc, map, key).value_or(""));
}

// Reads every map entry of a root map, in key order, with `read_one`.
template <class T, class ReadOne>
std::vector<T> read_root_map(AutoCommit const& doc, std::string_view root_key, ReadOne read_one) {
    std::vector<T> out;
    auto map = get_map(doc, root, root_key);
    if (!map) return out;
    out.reserve(doc.length(*map));
    doc.for_each_field(*map, [&](std::string_view id, automerge::ValueRef const& value) {
        if (auto entry = doc::object_of(value, automerge::ObjType::Map))
            out.push_back(read_one(*entry, std::string(id)));
    });
    return out;
}

// The channel's message list, when there is one.
std::optional<ObjHandle> message_list(AutoCommit const& doc, std::string_view channel) {
    auto messages = get_map(doc, root, doc::messages_key);
    return messages ? doc::get_list(doc, *messages, channel) : std::nullopt;
}

// The input is in id order already, so a stable sort by order leaves equal orders by id.
template <class T>
void sort_by_order(std::vector<T>& items) {
    std::ranges::stable_sort(items, {}, &T::order);
}

}  // namespace

std::vector<Workspace> read_workspaces(AutoCommit& doc) {
    auto out = read_root_map<Workspace>(doc, doc::workspaces_key, [&](ObjHandle m, std::string id) {
        return Workspace{std::move(id), str_or_empty(doc, m, "name"), str_or_empty(doc, m, "glyph"),
                         low32(get_int(doc, m, "color_idx")), low32(get_int(doc, m, "order"))};
    });
    sort_by_order(out);
    return out;
}

std::vector<Category> read_categories(AutoCommit& doc) {
    auto out = read_root_map<Category>(doc, doc::categories_key, [&](ObjHandle m, std::string id) {
        return Category{std::move(id), str_or_empty(doc, m, "workspace"),
                        str_or_empty(doc, m, "name"), low32(get_int(doc, m, "order")),
                        get_bool(doc, m, "collapsed").value_or(false)};
    });
    sort_by_order(out);
    return out;
}

std::vector<Channel> read_channels(AutoCommit& doc) {
    auto out = read_root_map<Channel>(doc, doc::channels_key, [&](ObjHandle m, std::string id) {
        Channel c;
        c.id = std::move(id);
        c.workspace = str_or_empty(doc, m, "workspace");
        c.category = str_or_empty(doc, m, "category");
        c.name = str_or_empty(doc, m, "name");
        c.topic = str_or_empty(doc, m, "topic");
        c.order = low32(get_int(doc, m, "order"));
        c.kind = doc::channel_kind_from_word(str_or_empty(doc, m, "kind"));
        c.archived = get_bool(doc, m, "archived").value_or(false);
        return c;
    });
    sort_by_order(out);
    return out;
}

void sort_people(std::vector<Person>& people) {
    std::ranges::stable_sort(people, [](Person const& a, Person const& b) {
        if (a.name != b.name) return a.name < b.name;
        return a.id < b.id;
    });
}

std::vector<Person> read_users(AutoCommit& doc) {
    auto out = read_root_map<Person>(doc, doc::users_key, [&](ObjHandle m, std::string id) {
        return Person{std::move(id),
                      str_or_empty(doc, m, "name"),
                      str_or_empty(doc, m, "initials"),
                      low32(get_int(doc, m, "color_idx")),
                      presence_from_word(str_or_empty(doc, m, "status")),
                      get_bool(doc, m, "agent").value_or(false)};
    });
    sort_people(out);
    return out;
}

std::vector<Message> read_messages(AutoCommit& doc, std::string_view channel) {
    std::vector<Message> out;
    auto list = message_list(doc, channel);
    if (!list) return out;
    auto maps = doc::list_maps(doc, *list);
    out.reserve(maps.size());
    for (auto const& entry : maps) out.push_back(doc::read_message(doc, entry.map, channel));
    return out;
}

std::vector<VoiceParticipant> read_voice(AutoCommit& doc, std::string_view channel) {
    return read_voice(doc, channel, std::numeric_limits<int64_t>::min());
}

std::vector<VoiceParticipant> read_voice(AutoCommit& doc, std::string_view channel, int64_t now) {
    std::vector<VoiceParticipant> out;
    auto voice = get_map(doc, root, doc::voice_key);
    auto call = voice ? get_map(doc, *voice, channel) : std::nullopt;
    if (!call) return out;
    for (auto const& [person, value] : doc.read_map(*call)) {
        auto m = doc::object_of(value, automerge::ObjType::Map);
        if (!m) continue;
        auto last_seen = get_int(doc, *m, doc::last_seen_key);
        if (now != std::numeric_limits<int64_t>::min() && doc::is_stale_presence(last_seen, now))
            continue;
        out.push_back(VoiceParticipant{std::string(person), str_or_empty(doc, *m, "ticket"),
                                       get_bool(doc, *m, "talking").value_or(false),
                                       get_bool(doc, *m, "muted").value_or(false),
                                       get_bool(doc, *m, "deafened").value_or(false),
                                       get_bool(doc, *m, "audio_only").value_or(false),
                                       get_bool(doc, *m, "sharing").value_or(false)});
    }
    return out;
}

std::string read_draft(AutoCommit& doc, std::string_view key) {
    auto drafts = get_map(doc, root, doc::drafts_key);
    auto text = drafts ? doc::get_text_object(doc, *drafts, key) : std::nullopt;
    return text ? std::string(doc.text(*text)) : std::string();
}

uint32_t unread_from(size_t top_level, int64_t read) {
    if (read < 0) read = 0;
    if (uint64_t(read) >= top_level) return 0;
    uint64_t diff = top_level - uint64_t(read);
    return static_cast<uint32_t>(std::min<uint64_t>(diff, std::numeric_limits<uint32_t>::max()));
}

uint32_t unread(AutoCommit& doc, std::string_view channel, std::string_view person) {
    size_t top_level = 0;
    if (auto list = message_list(doc, channel))
        for (auto const& entry : doc::list_maps(doc, *list))
            if (get_str(doc, entry.map, "parent").value_or("").empty()) ++top_level;
    return unread_from(top_level, doc::read_count(doc, channel, person));
}

}  // namespace chat::model
