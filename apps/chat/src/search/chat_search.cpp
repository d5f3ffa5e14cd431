#include "search/chat_search.hpp"

#include <algorithm>
#include <future>
#include <span>
#include <unordered_set>

#include "search/search_entries.hpp"
#include "xdg_paths/xdg_paths.hpp"

namespace chat::search {

namespace {

class Hasher {
  public:
    Hasher& add(std::string_view s) { return mix(std::hash<std::string_view>{}(s) + s.size()); }
    Hasher& add(uint64_t v) { return mix(v); }
    uint64_t value() const { return m_hash; }

  private:
    Hasher& mix(uint64_t v) {
        m_hash = (m_hash ^ v) * 0x9e3779b97f4a7c15ULL;
        m_hash ^= m_hash >> 29;
        return *this;
    }
    uint64_t m_hash = 0x84222325cbf29ce4ULL;
};

uint64_t entry_digest(sp::SearchEntry const& e) {
    Hasher h;
    h.add(e.collection).add(e.title).add(e.kind.value_or("\x1e")).add(e.subtitle.value_or("\x1e"));
    h.add(e.action_address).add(e.text).add(e.scope).add(uint64_t(e.timestamp));
    return h.value();
}

// A fingerprint of what a message's entry is made of, besides the names of people (see
// people_digest), cheap enough to take of every message on every change: it reads only what
// sits in the record itself, not the text. An edit always grows the history, so the text's
// length and the history's cover every change an action makes.
uint64_t edits_of(Message const& m) {
    return uint64_t(m.history.size()) << 1 | uint64_t(m.edited);
}

uint64_t message_digest(int64_t ts, size_t text_size, size_t author_size, uint64_t edits,
                        Attachment const* attachment, uint64_t channel_digest) {
    Hasher h;
    h.add(uint64_t(ts)).add(channel_digest).add(text_size).add(author_size).add(edits);
    if (attachment)
        h.add(std::visit([](auto const& a) -> std::string_view { return a.name; }, *attachment));
    return h.value();
}

uint64_t message_digest(Message const& m, uint64_t channel_digest) {
    return message_digest(m.ts, m.text.size(), m.author.size(), edits_of(m),
                          m.attachment ? &*m.attachment : nullptr, channel_digest);
}

uint64_t channel_digest(Channel const* c, EntryContext const& ctx) {
    if (!c) return 0;
    return Hasher().add(conversation_title(*c)).add(ctx.workspace_name(c->workspace)).value();
}

uint64_t people_digest(std::vector<Person> const& people) {
    Hasher h;
    for (auto const& p : people) h.add(p.id).add(p.name);
    return h.value();
}

std::span<Message const> channel_messages(model::ViewModel const& view, std::string const& id) {
    return view.all_messages.channel(id);
}

sp::SearchPage empty_page() {
    return {};
}

}  // namespace

ChatSearchProvider::ChatSearchProvider(std::optional<std::filesystem::path> index_file)
    : m_indexer([file = std::move(index_file)]() -> std::shared_ptr<sp::SearchCatalog> {
          if (file) {
              if (auto opened = sp::SearchCatalog::open("Chat", *file)) return std::move(*opened);
          }
          return sp::SearchCatalog::in_memory("Chat");
      }) {}

ChatSearchProvider::~ChatSearchProvider() = default;

sp::SearchPage ChatSearchProvider::query_page(sp::SearchQuery const& query,
                                              std::optional<sp::SearchCursor> const& cursor,
                                              sp::PageLimits limits) const {
    auto catalog = m_built ? m_indexer.catalog() : nullptr;
    return catalog ? catalog->query_page(query, cursor, limits) : empty_page();
}

std::optional<sp::CatalogStats> ChatSearchProvider::stats() const {
    auto catalog = m_built ? m_indexer.catalog() : nullptr;
    if (!catalog) return std::nullopt;
    return catalog->stats();
}

bool ChatSearchProvider::cursor_is_current(sp::SearchCursor const& cursor) const {
    auto catalog = m_built ? m_indexer.catalog() : nullptr;
    return catalog && catalog->cursor_is_current(cursor);
}

bool ChatSearchProvider::indexing() const {
    return m_indexer.busy();
}

uint64_t ChatSearchProvider::generation() const {
    auto catalog = m_built ? m_indexer.catalog() : nullptr;
    return catalog ? catalog->generation() : 0;
}

// What the first build's entries and fingerprints are made of, copied for other threads:
// the lists, and of each message only the fields its entry and fingerprint read (a whole
// message record is several times larger, and copying 100,000 of them is most of the cost).
struct ChatSearchProvider::Snapshot {
    struct MessageCopy {
        std::string id, channel, author, text;
        int64_t ts = 0;
        uint64_t edits = 0;
        HeapOptional<Attachment> attachment;
    };
    model::ViewModel lists;  // without messages
    std::vector<MessageCopy> messages;

    explicit Snapshot(model::ViewModel const& view) {
        lists.workspaces = view.workspaces;
        lists.channels = view.channels;
        lists.categories = view.categories;
        lists.directory = view.directory;
        messages.reserve(view.all_messages.size());
        for (auto const& m : view.all_messages)
            messages.push_back(
                {m.id, m.channel, m.author, m.text, m.ts, edits_of(m), m.attachment});
    }

    std::vector<sp::SearchEntry> entries() const {
        auto out = search_entries(lists);
        EntryContext ctx(lists);
        out.reserve(out.size() + messages.size());
        Message m;
        for (auto const& c : messages) {
            m.id = c.id;
            m.channel = c.channel;
            m.author = c.author;
            m.text = c.text;
            m.ts = c.ts;
            m.attachment = c.attachment;
            if (auto e = message_entry(m, ctx)) out.push_back(std::move(*e));
        }
        return out;
    }

    // The fingerprints later updates compare against, channel by channel.
    std::unordered_map<std::string, std::vector<Seen>> fingerprints() const {
        EntryContext ctx(lists);
        std::unordered_map<std::string, std::vector<Seen>> out;
        for (size_t begin = 0; begin < messages.size();) {
            std::string const& channel_id = messages[begin].channel;
            size_t end = begin;
            while (end < messages.size() && messages[end].channel == channel_id) ++end;
            if (auto const* channel = ctx.channel(channel_id)) {
                uint64_t context = channel_digest(channel, ctx);
                auto& run = out[channel_id];
                run.reserve(end - begin);
                for (size_t i = begin; i < end; ++i) {
                    auto const& c = messages[i];
                    run.push_back(
                        {c.id, message_digest(c.ts, c.text.size(), c.author.size(), c.edits,
                                              c.attachment ? &*c.attachment : nullptr, context)});
                }
            }
            begin = end;
        }
        return out;
    }
};

void ChatSearchProvider::first_build(model::ViewModel const& view) {
    // The UI thread copies what the entries are made of and nothing more: the entries are
    // made on the indexer's thread and the fingerprints on a thread of their own, which the
    // next update waits for (they take a fraction of the copy's time).
    EntryContext ctx(view);
    std::vector<sp::SearchEntry> small;
    std::vector<std::string> none;
    m_people_digest = people_digest(view.directory);
    update_small(view, ctx, small, none);
    size_t messages = 0;
    auto const& all = view.all_messages;
    for (size_t r = 0; r < all.run_count(); ++r) {
        auto list = all.run(r);
        if (!list.empty() && ctx.channel(list.front().channel)) messages += list.size();
    }
    m_last = {small.size() + messages, 0};
    auto snapshot = std::make_shared<Snapshot const>(view);
    m_fingerprints =
        std::async(std::launch::async, [snapshot] { return snapshot->fingerprints(); });
    m_indexer.submit_all([snapshot] { return snapshot->entries(); });
    m_built = true;
}

void ChatSearchProvider::take_fingerprints() {
    if (m_fingerprints.valid()) m_messages = m_fingerprints.get();
}

void ChatSearchProvider::update(model::ViewModel const& view) {
    if (!m_built) return first_build(view);
    take_fingerprints();
    EntryContext ctx(view);
    std::vector<sp::SearchEntry> changed;
    std::vector<std::string> gone;
    uint64_t people = people_digest(view.directory);
    bool names_changed = people != m_people_digest;
    m_people_digest = people;
    update_small(view, ctx, changed, gone);
    update_messages(view, ctx, names_changed, changed, gone);
    m_last = {changed.size(), gone.size()};
    m_indexer.submit(std::move(changed), std::move(gone));
}

void ChatSearchProvider::update(model::ViewModel const& view, model::ViewChange const& change) {
    // Lists and names feed every message's entry: those changes take the full comparison.
    if (!m_built || change.everything || change.lists) return update(view);
    take_fingerprints();
    EntryContext ctx(view);
    std::vector<sp::SearchEntry> changed;
    std::vector<std::string> gone;
    for (auto const& channel : change.channels) {
        auto run =
            update_channel(ctx, channel, channel_messages(view, channel), false, changed, gone);
        if (run && !run->empty()) m_messages[channel] = std::move(*run);
    }
    m_last = {changed.size(), gone.size()};
    m_indexer.submit(std::move(changed), std::move(gone));
}

void ChatSearchProvider::update_small(model::ViewModel const& view, EntryContext const& ctx,
                                      std::vector<sp::SearchEntry>& changed,
                                      std::vector<std::string>& gone) {
    std::vector<sp::SearchEntry> entries;
    auto add = [&](std::optional<sp::SearchEntry> e) {
        if (e) entries.push_back(std::move(*e));
    };
    for (auto const& ws : view.workspaces) add(workspace_entry(ws));
    for (auto const& c : view.channels) add(conversation_entry(c, ctx));
    for (auto const& c : view.categories) add(category_entry(c, ctx));
    for (auto const& p : view.directory) add(person_entry(p));

    std::unordered_map<std::string, uint64_t> now;
    for (auto& e : entries) {
        uint64_t digest = entry_digest(e);
        now[e.action_address] = digest;
        auto it = m_small.find(e.action_address);
        if (it == m_small.end() || it->second != digest) changed.push_back(std::move(e));
    }
    for (auto const& [address, digest] : m_small)
        if (!now.contains(address)) gone.push_back(address);
    m_small = std::move(now);
}

// Messages come channel by channel; each channel's list is compared with the last one in
// order, so a message added at the end costs one comparison per message and one entry. Ids
// matched in order are moved over, not copied.
void ChatSearchProvider::update_messages(model::ViewModel const& view, EntryContext const& ctx,
                                         bool everything, std::vector<sp::SearchEntry>& changed,
                                         std::vector<std::string>& gone) {
    std::unordered_map<std::string, std::vector<Seen>> now;
    auto const& all = view.all_messages;
    for (size_t r = 0; r < all.run_count(); ++r) {
        auto list = all.run(r);
        if (list.empty()) continue;
        std::string const& channel_id = list.front().channel;
        auto run = update_channel(ctx, channel_id, list, everything, changed, gone);
        if (run) now[channel_id] = std::move(*run);
    }
    // Channels no longer listed (or no longer indexed): all their messages are gone.
    for (auto const& [channel, old] : m_messages)
        for (auto const& seen : old) gone.push_back("chat.message:" + seen.id);
    m_messages = std::move(now);
}

// One channel's messages against what was handed over last time; takes the channel's old
// list out of m_messages and answers the new one (none when the channel is not indexed).
std::optional<std::vector<ChatSearchProvider::Seen>> ChatSearchProvider::update_channel(
    EntryContext const& ctx, std::string const& channel_id, std::span<Message const> messages,
    bool everything, std::vector<sp::SearchEntry>& changed, std::vector<std::string>& gone) {
    std::vector<Seen> old;
    if (auto it = m_messages.find(channel_id); it != m_messages.end()) {
        old = std::move(it->second);
        m_messages.erase(it);
    }
    auto const* channel = ctx.channel(channel_id);
    if (!channel) {
        for (auto const& seen : old) gone.push_back("chat.message:" + seen.id);
        return std::nullopt;
    }
    auto changed_message = [&](Message const& m) {
        if (auto e = message_entry(m, ctx)) changed.push_back(std::move(*e));
    };
    uint64_t context = channel_digest(channel, ctx);
    std::vector<Seen> run;
    run.reserve(messages.size());
    // In order while the ids agree.
    size_t i = 0;
    for (; i < messages.size() && i < old.size() && old[i].id == messages[i].id; ++i) {
        auto& seen = old[i];
        uint64_t digest = message_digest(messages[i], context);
        if (digest != seen.digest || everything) changed_message(messages[i]);
        run.push_back({std::move(seen.id), digest});
    }
    // The rest by id: what is new or changed is handed over, what is missing is gone.
    std::unordered_map<std::string_view, uint64_t> rest;
    for (size_t j = i; j < old.size(); ++j) rest.emplace(old[j].id, old[j].digest);
    for (; i < messages.size(); ++i) {
        uint64_t digest = message_digest(messages[i], context);
        auto found = rest.find(messages[i].id);
        if (found == rest.end() || found->second != digest || everything)
            changed_message(messages[i]);
        if (found != rest.end()) rest.erase(found);
        run.push_back({messages[i].id, digest});
    }
    for (auto const& [id, digest] : rest) gone.push_back("chat.message:" + std::string(id));
    return run;
}

std::optional<std::filesystem::path> index_file_for(std::filesystem::path const& document) {
    auto cache = xdg_paths::cache_dir();
    if (!cache) return std::nullopt;
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(document, ec);
    std::string key = (ec ? document : canonical).string();
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : key) h = (h ^ c) * 0x100000001b3ULL;
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.sqlite", static_cast<unsigned long long>(h));
    return *cache / "vemo-chat" / "search" / name;
}

}  // namespace chat::search
