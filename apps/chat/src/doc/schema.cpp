#include "doc/schema.hpp"

#include <algorithm>

#include "doc/internal_error.hpp"

namespace chat::doc {

namespace {

ObjId const root = ObjId::root();

bool all_keys_valid(std::initializer_list<std::string_view> ids) {
    return std::ranges::all_of(ids, valid_key);
}

// "root"/`collection`/`id`, created as needed.
ObjId entity_map(AutoCommit& doc, std::string_view collection, std::string_view id) {
    auto parent = must(ensure_map(doc, root, collection), "put map");
    return must(ensure_map(doc, parent, id), "put map");
}

ObjId participant_map(AutoCommit& doc, std::string_view channel, std::string_view person) {
    auto call = entity_map(doc, voice_key, channel);
    return must(ensure_map(doc, call, person), "put map");
}

template <class T>
void put_if_different(AutoCommit& doc, ObjId const& map, std::string_view key,
                      std::optional<T> const& stored, T const& value, bool& wrote) {
    if (stored && *stored == value) return;
    if constexpr (std::is_same_v<T, std::string>)
        must(put_str(doc, map, key, value), "put map");
    else if constexpr (std::is_same_v<T, bool>)
        must(put_bool(doc, map, key, value), "put map");
    else
        must(put_int(doc, map, key, value), "put map");
    wrote = true;
}

void write_reactions(AutoCommit& doc, ObjId const& message, Message const& m) {
    auto list = must(put_object(doc, message, "reactions", ObjType::List), "rx");
    size_t n = 0;
    for (auto const& group : m.reactions) {
        for (auto const& user : group.users) {
            auto entry = must(insert_map(doc, list, n++), "rxentry");
            must(put_str(doc, entry, "emoji", group.emoji), "rxentry");
            must(put_str(doc, entry, "user", user), "rxentry");
        }
    }
}

void write_mentions(AutoCommit& doc, ObjId const& message, Message const& m) {
    auto list = must(put_object(doc, message, "mentions", ObjType::List), "mentions");
    for (size_t i = 0; i < m.mentions.size(); ++i) {
        auto const& mention = m.mentions[i];
        auto entry = must(insert_map(doc, list, i), "mention");
        must(put_str(doc, entry, "user", mention.user), "mention");
        must(put_int(doc, entry, "start", static_cast<int64_t>(mention.start)), "mention");
        must(put_int(doc, entry, "len", static_cast<int64_t>(mention.len)), "mention");
        must(put_bool(doc, entry, "agent", mention.is_agent), "mention");
    }
}

void write_history(AutoCommit& doc, ObjId const& message, Message const& m) {
    auto list = must(put_object(doc, message, "history", ObjType::List), "hist");
    for (size_t i = 0; i < m.history.size(); ++i) {
        auto entry = must(insert_map(doc, list, i), "hrec");
        must(put_int(doc, entry, "ts", m.history[i].ts), "hrec");
        must(put_str(doc, entry, "text", m.history[i].text), "hrec");
    }
}

// Reactions grouped by emoji in order of first use, each person once per emoji.
std::vector<ReactionGroup> read_reactions(AutoCommit const& doc, ObjHandle list) {
    std::vector<ReactionGroup> groups;
    doc.for_each_element(list, [&](ValueRef const& value) {
        auto entry = object_of(value, ObjType::Map);
        if (!entry) return;
        std::string_view emoji, user;
        doc.for_each_field(*entry, [&](std::string_view key, ValueRef const& field) {
            if (key == "emoji")
                emoji = str_of(field).value_or("");
            else if (key == "user")
                user = str_of(field).value_or("");
        });
        if (emoji.empty() || user.empty()) return;
        auto group = std::ranges::find(groups, emoji, &ReactionGroup::emoji);
        if (group == groups.end()) {
            if (groups.empty()) groups.reserve(4);
            groups.push_back(ReactionGroup{std::string(emoji), {std::string(user)}});
        } else if (std::ranges::find(group->users, user) == group->users.end()) {
            group->users.emplace_back(user);
        }
    });
    return groups;
}

std::vector<Mention> read_mentions(AutoCommit const& doc, ObjHandle list) {
    std::vector<Mention> mentions;
    doc.for_each_element(list, [&](ValueRef const& value) {
        auto entry = object_of(value, ObjType::Map);
        if (!entry) return;
        Mention& mention = mentions.emplace_back();
        doc.for_each_field(*entry, [&](std::string_view key, ValueRef const& field) {
            if (key == "user")
                mention.user = str_of(field).value_or("");
            else if (key == "start")
                mention.start = static_cast<uint64_t>(int_of(field).value_or(0));
            else if (key == "len")
                mention.len = static_cast<uint64_t>(int_of(field).value_or(0));
            else if (key == "agent")
                mention.is_agent = bool_of(field).value_or(false);
        });
    });
    return mentions;
}

std::vector<HistoryEntry> read_history(AutoCommit const& doc, ObjHandle list) {
    std::vector<HistoryEntry> history;
    doc.for_each_element(list, [&](ValueRef const& value) {
        auto entry = object_of(value, ObjType::Map);
        if (!entry) return;
        HistoryEntry& h = history.emplace_back();
        doc.for_each_field(*entry, [&](std::string_view key, ValueRef const& field) {
            if (key == "ts")
                h.ts = int_of(field).value_or(0);
            else if (key == "text")
                h.text = str_of(field).value_or("");
        });
    });
    return history;
}

struct AttachmentWriter {
    AutoCommit& doc;
    ObjId const& map;

    void str(std::string_view key, std::string_view value) const {
        must(put_str(doc, map, key, value), "att");
    }
    void num(std::string_view key, int64_t value) const {
        must(put_int(doc, map, key, value), "att");
    }

    void operator()(ImageAttachment const& a) const {
        str("kind", "image");
        str("name", a.name);
        str("blob", a.blob);
        num("w", a.w);
        num("h", a.h);
    }
    void operator()(VideoAttachment const& a) const {
        str("kind", "video");
        str("name", a.name);
        str("blob", a.blob);
        num("w", a.w);
        num("h", a.h);
        num("size", static_cast<int64_t>(a.size));
    }
    void operator()(FileAttachment const& a) const {
        str("kind", "file");
        str("name", a.name);
        str("blob", a.blob);
        num("size", static_cast<int64_t>(a.size));
    }
};

}  // namespace

std::string thread_draft_key(std::string_view channel, std::string_view root) {
    std::string key(channel);
    key += "::t::";
    key += root;
    return key;
}

std::string_view channel_kind_word(ChannelKind kind) {
    return kind == ChannelKind::Voice ? "voice" : "text";
}

ChannelKind channel_kind_from_word(std::string_view word) {
    return word == "voice" ? ChannelKind::Voice : ChannelKind::Text;
}

bool is_seeded(AutoCommit& doc) {
    return get_bool(doc, root, seeded_key).value_or(false);
}

bool write_workspace(AutoCommit& doc, std::string_view id, std::string_view name,
                     std::string_view glyph, int64_t color_idx, int64_t order) {
    if (!valid_key(id)) return false;
    auto map = entity_map(doc, workspaces_key, id);
    must(put_str(doc, map, "name", name), "put map");
    must(put_str(doc, map, "glyph", glyph), "put map");
    must(put_int(doc, map, "color_idx", color_idx), "put map");
    must(put_int(doc, map, "order", order), "put map");
    return true;
}

bool write_category(AutoCommit& doc, std::string_view id, std::string_view workspace,
                    std::string_view name, int64_t order, bool collapsed) {
    if (!valid_key(id)) return false;
    auto map = entity_map(doc, categories_key, id);
    must(put_str(doc, map, "workspace", workspace), "put map");
    must(put_str(doc, map, "name", name), "put map");
    must(put_int(doc, map, "order", order), "put map");
    must(put_bool(doc, map, "collapsed", collapsed), "put map");
    return true;
}

bool write_channel(AutoCommit& doc, std::string_view id, std::string_view workspace,
                   std::string_view category, std::string_view name, std::string_view topic,
                   ChannelKind kind, int64_t order) {
    if (!valid_key(id)) return false;
    auto map = entity_map(doc, channels_key, id);
    must(put_str(doc, map, "workspace", workspace), "put map");
    must(put_str(doc, map, "category", category), "put map");
    must(put_str(doc, map, "name", name), "put map");
    must(put_str(doc, map, "topic", topic), "put map");
    must(put_str(doc, map, "kind", channel_kind_word(kind)), "put map");
    must(put_int(doc, map, "order", order), "put map");
    if (kind == ChannelKind::Voice) entity_map(doc, voice_key, id);
    return true;
}

bool write_person(AutoCommit& doc, std::string_view id, std::string_view name,
                  std::string_view initials, int64_t color_idx, std::string_view status) {
    if (!valid_key(id)) return false;
    auto map = entity_map(doc, users_key, id);
    must(put_str(doc, map, "name", name), "put map");
    must(put_str(doc, map, "initials", initials), "put map");
    must(put_int(doc, map, "color_idx", color_idx), "put map");
    must(put_str(doc, map, "status", status), "put map");
    return true;
}

bool update_person(AutoCommit& doc, std::string_view id, std::string_view name,
                   std::string_view initials, int64_t color_idx, std::string_view status) {
    if (!valid_key(id)) return false;
    // Compare against what would be stored, so a name with broken UTF-8 settles too.
    auto const want_name = sanitized_utf8(name);
    auto const want_initials = sanitized_utf8(initials);
    auto const want_status = sanitized_utf8(status);
    auto users = get_map(doc, root, users_key);
    auto existing = users ? get_map(doc, *users, id) : std::nullopt;
    std::optional<std::string> stored_name, stored_initials, stored_status;
    std::optional<int64_t> stored_color;
    if (existing) {
        stored_name = get_str(doc, *existing, "name");
        stored_initials = get_str(doc, *existing, "initials");
        stored_color = get_int(doc, *existing, "color_idx");
        stored_status = get_str(doc, *existing, "status");
    }
    bool const unchanged = stored_name == want_name && stored_initials == want_initials &&
                           stored_color == color_idx && stored_status == want_status;
    if (unchanged) return false;
    auto map = entity_map(doc, users_key, id);
    bool wrote = false;
    put_if_different(doc, map, "name", stored_name, want_name, wrote);
    put_if_different(doc, map, "initials", stored_initials, want_initials, wrote);
    put_if_different(doc, map, "color_idx", stored_color, color_idx, wrote);
    put_if_different(doc, map, "status", stored_status, want_status, wrote);
    return wrote;
}

std::optional<MessageLocation> find_message(AutoCommit& doc, std::string_view id) {
    auto messages = get_map(doc, root, messages_key);
    if (!messages) return std::nullopt;
    for (auto const& channel : keys(doc, *messages)) {
        auto list = get_list(doc, *messages, channel);
        if (!list) continue;
        size_t n = length(doc, *list);
        for (size_t i = 0; i < n; ++i) {
            auto map = get_at(doc, *list, i);
            if (map && get_str(doc, *map, "id") == id)
                return MessageLocation{channel, i, std::move(*map)};
        }
    }
    return std::nullopt;
}

bool insert_message(AutoCommit& doc, std::string_view channel, Message const& m) {
    if (!valid_key(channel)) return false;
    if (find_message(doc, m.id)) return false;

    auto messages = must(ensure_map(doc, root, messages_key), "put map");
    auto list = must(ensure_list(doc, messages, channel), "put list");
    auto map = must(insert_map(doc, list, length(doc, list)), "insert msg");

    must(put_str(doc, map, "id", m.id), "insert msg");
    must(put_str(doc, map, "author", m.author), "insert msg");
    must(put_int(doc, map, "ts", m.ts), "insert msg");
    must(put_str(doc, map, "parent", m.parent.value_or("")), "insert msg");
    must(put_bool(doc, map, "edited", m.edited), "insert msg");

    auto text = must(put_object(doc, map, "text", ObjType::Text), "text");
    if (!m.text.empty()) must(splice_text(doc, text, 0, 0, m.text), "text");

    write_reactions(doc, map, m);
    write_mentions(doc, map, m);
    if (m.reference)
        must(put_str(doc, map, "reference", resource_ref_to_json_text(*m.reference)), "insert msg");
    if (m.work) write_work(doc, map, *m.work);
    write_history(doc, map, m);
    if (m.attachment) write_attachment(doc, map, *m.attachment);
    return true;
}

void write_attachment(AutoCommit& doc, ObjId const& message, Attachment const& attachment) {
    auto map = must(put_object(doc, message, "attachment", ObjType::Map), "att");
    std::visit(AttachmentWriter{doc, map}, attachment);
}

std::optional<Attachment> read_attachment(AutoCommit& doc, ObjId const& message) {
    auto handle = doc.handle(message);
    auto map = handle ? get_map(doc, *handle, "attachment") : std::nullopt;
    if (!map) return std::nullopt;
    return read_attachment_map(doc, *map);
}

Attachment read_attachment_map(AutoCommit const& doc, ObjHandle map) {
    auto str = [&](std::string_view key) {
        return std::string(get_str(doc, map, key).value_or(""));
    };
    auto kind = get_str(doc, map, "kind").value_or("");
    auto name = str("name");
    auto blob = str("blob");
    if (blob.empty()) blob = str("path");
    auto w = static_cast<uint32_t>(get_int(doc, map, "w").value_or(0));
    auto h = static_cast<uint32_t>(get_int(doc, map, "h").value_or(0));
    auto size = static_cast<uint64_t>(get_int(doc, map, "size").value_or(0));
    if (kind == "image") return ImageAttachment{std::move(name), std::move(blob), w, h};
    if (kind == "video") return VideoAttachment{std::move(name), std::move(blob), w, h, size};
    return FileAttachment{std::move(name), std::move(blob), size};
}

Message read_message(AutoCommit& doc, ObjId const& map, std::string_view channel) {
    auto handle = doc.handle(map);
    if (!handle) {
        Message m;
        m.channel = std::string(channel);
        return m;
    }
    return read_message(doc, *handle, channel);
}

Message read_message(AutoCommit const& doc, ObjHandle map, std::string_view channel) {
    Message m;
    read_message(doc, map, channel, m);
    return m;
}

// One pass over the record's fields, in key order.
void read_message(AutoCommit const& doc, ObjHandle map, std::string_view channel, Message& m) {
    m.channel = std::string(channel);
    auto str = [](ValueRef const& v) { return str_of(v).value_or(""); };
    doc.for_each_field(map, [&](std::string_view key, ValueRef const& value) {
        if (key == "id") {
            m.id = str(value);
        } else if (key == "author") {
            m.author = str(value);
        } else if (key == "text") {
            if (auto text = object_of(value, ObjType::Text)) m.text = doc.text(*text);
        } else if (key == "ts") {
            m.ts = int_of(value).value_or(0);
        } else if (key == "parent") {
            if (auto parent = str(value); !parent.empty()) m.parent = std::string(parent);
        } else if (key == "edited") {
            m.edited = bool_of(value).value_or(false);
        } else if (key == "history") {
            if (auto list = object_of(value, ObjType::List)) m.history = read_history(doc, *list);
        } else if (key == "reactions") {
            if (auto list = object_of(value, ObjType::List))
                m.reactions = read_reactions(doc, *list);
        } else if (key == "mentions") {
            if (auto list = object_of(value, ObjType::List)) m.mentions = read_mentions(doc, *list);
        } else if (key == "reference") {
            if (auto reference = str_of(value))
                m.reference = resource_ref_from_json_text(*reference);
        } else if (key == "attachment") {
            if (auto attachment = object_of(value, ObjType::Map))
                m.attachment = read_attachment_map(doc, *attachment);
        } else if (key == "pinned") {
            m.pinned = bool_of(value).value_or(false);
        } else if (key == "work") {
            if (auto work = object_of(value, ObjType::Map)) m.work = read_work_map(doc, *work);
        }
    });
}

int64_t read_count(AutoCommit& doc, std::string_view channel, std::string_view person) {
    auto read = get_map(doc, ObjHandle{}, read_key);
    auto counts = read ? get_map(doc, *read, channel) : std::nullopt;
    return counts ? get_int(doc, *counts, person).value_or(0) : 0;
}

bool set_read_count(AutoCommit& doc, std::string_view channel, std::string_view person,
                    int64_t count) {
    if (!all_keys_valid({channel, person})) return false;
    auto counts = entity_map(doc, read_key, channel);
    if (get_int(doc, counts, person).value_or(0) == count) return false;
    must(put_int(doc, counts, person, count), "put map");
    return true;
}

bool join_call(AutoCommit& doc, std::string_view channel, std::string_view person) {
    if (!all_keys_valid({channel, person})) return false;
    auto map = participant_map(doc, channel, person);
    if (get_bool(doc, map, "talking")) return false;
    for (auto key : {"talking", "muted", "deafened", "audio_only", "sharing"})
        must(put_bool(doc, map, key, false), "put map");
    return true;
}

bool set_voice_flags(AutoCommit& doc, std::string_view channel, std::string_view person,
                     bool talking, bool muted, bool deafened, bool audio_only) {
    if (!all_keys_valid({channel, person})) return false;
    auto map = participant_map(doc, channel, person);
    must(put_bool(doc, map, "talking", talking), "put map");
    must(put_bool(doc, map, "muted", muted), "put map");
    must(put_bool(doc, map, "deafened", deafened), "put map");
    must(put_bool(doc, map, "audio_only", audio_only), "put map");
    return true;
}

bool set_sharing(AutoCommit& doc, std::string_view channel, std::string_view person, bool sharing) {
    if (!all_keys_valid({channel, person})) return false;
    auto map = participant_map(doc, channel, person);
    if (get_bool(doc, map, "sharing").value_or(false) == sharing) return false;
    must(put_bool(doc, map, "sharing", sharing), "put map");
    return true;
}

bool set_ticket(AutoCommit& doc, std::string_view channel, std::string_view person,
                std::string_view ticket) {
    if (!all_keys_valid({channel, person})) return false;
    auto map = participant_map(doc, channel, person);
    auto want = sanitized_utf8(ticket);
    if (get_str(doc, map, "ticket").value_or("") == want) return false;
    must(put_str(doc, map, "ticket", want), "put map");
    return true;
}

bool is_stale_presence(std::optional<int64_t> last_seen, int64_t now) {
    return last_seen && now - *last_seen > voice_presence_expiry_seconds;
}

bool touch_voice_presence(AutoCommit& doc, std::string_view channel, std::string_view person,
                          int64_t now) {
    auto voice = get_map(doc, ObjId::root(), voice_key);
    auto call = voice ? get_map(doc, *voice, channel) : std::nullopt;
    auto record = call ? get_map(doc, *call, person) : std::nullopt;
    if (!record) return false;
    must(put_int(doc, *record, last_seen_key, now), "put map");
    return true;
}

}  // namespace chat::doc
