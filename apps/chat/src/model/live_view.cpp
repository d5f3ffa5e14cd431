#include "model/live_view.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "doc/schema.hpp"
#include "model/readers.hpp"

namespace chat::model {

using automerge::ObjHandle;
using automerge::Prop;

// One channel's messages (run i of all_messages for channel i): the maps they were read
// from, and what the sidebar and the people list need of them.
struct LiveView::Run {
    std::string channel;
    std::vector<ObjHandle> maps;  // one per message, in list order
    bool gaps = false;            // the list holds elements that are not maps
    size_t top_level = 0;
    std::map<std::string, int, std::less<>> people;  // how often each person id occurs
};

// What the changes since the last refresh wrote, sorted by what the model reads.
struct LiveView::Touched {
    bool workspaces = false;
    bool categories = false;
    bool channels = false;
    bool users = false;
    bool all_messages = false;                 // the map of channel lists itself
    std::set<std::string, std::less<>> lists;  // channel lists written to
    // List indexes of messages inserted, and of messages written inside, as they are now.
    std::map<std::string, std::set<size_t>, std::less<>> inserted;
    std::map<std::string, std::set<size_t>, std::less<>> messages;
};

namespace {

int64_t unix_seconds_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// Counts (or, with -1, uncounts) the people a message names.
template <class Counts>
void count_people(Counts& counts, Message const& m, int by) {
    auto add = [&](std::string const& id) {
        auto it = counts.try_emplace(id, 0).first;
        if ((it->second += by) == 0) counts.erase(it);
    };
    add(m.author);
    for (auto const& group : m.reactions)
        for (auto const& user : group.users) add(user);
    for (auto const& mention : m.mentions) add(mention.user);
}

std::optional<ObjHandle> messages_map(AutoCommit const& doc) {
    return doc::get_map(doc, ObjHandle{}, doc::messages_key);
}

// The maps of the channel's message list and whether it holds anything else.
std::vector<ObjHandle> list_maps(AutoCommit const& doc, std::optional<ObjHandle> messages,
                                 std::string_view channel, bool& gaps) {
    std::vector<ObjHandle> maps;
    auto list = messages ? doc::get_list(doc, *messages, channel) : std::nullopt;
    gaps = false;
    if (!list) return maps;
    auto values = doc.read_list(*list);
    maps.reserve(values.size());
    for (auto const& value : values) {
        if (auto map = doc::object_of(value, automerge::ObjType::Map))
            maps.push_back(*map);
        else
            gaps = true;
    }
    return maps;
}

// From how many messages a full rebuild reads on two threads: below, starting a thread
// costs about what it saves.
constexpr size_t parallel_rebuild_messages = 2000;
// How many messages of a list one thread takes at a time.
constexpr size_t rebuild_stretch = 256;

// Records lie far apart in the engine's tables and every step of reading one waits on the
// step before; asking for step k of record at+depth-k keeps the waits of several records in
// flight while `at` is read.
// Only records before `end` are looked at: a record past it may be another thread's, being
// read, and reading it fills its text's cache.
void prefetch_ahead(AutoCommit const& doc, std::vector<ObjHandle> const& maps, size_t at,
                    size_t end) {
    constexpr int depth = 7;
    for (int level = 0; level < depth; ++level)
        if (size_t ahead = at + size_t(depth - level); ahead < end)
            doc.prefetch(maps[ahead], level);
}

std::map<std::string, std::vector<VoiceParticipant>> workspace_calls(
    AutoCommit& doc, std::vector<Channel> const& channels, std::string_view workspace) {
    std::map<std::string, std::vector<VoiceParticipant>> calls;
    int64_t now = unix_seconds_now();
    for (auto const& channel : channels)
        if (channel.workspace == workspace && channel.kind == ChannelKind::Voice)
            calls[channel.id] = read_voice(doc, channel.id, now);
    return calls;
}

void fill_composers(AutoCommit& doc, ViewModel& vm, Navigation const& nav) {
    auto channel = std::ranges::find(vm.channels, nav.channel_id, &Channel::id);
    auto& main = vm.message_composer;
    main = {};
    main.draft_key = nav.channel_id;
    main.text = read_draft(doc, nav.channel_id);
    main.placeholder = "Message #" + (channel != vm.channels.end() ? channel->name : std::string());
    main.author = nav.local.id;
    if (nav.edit_text) {
        main.text = *nav.edit_text;
        main.cursor_at_end = true;
    }

    auto& thread = vm.thread_composer;
    thread = {};
    thread.draft_key =
        nav.thread_root ? doc::thread_draft_key(nav.channel_id, *nav.thread_root) : std::string();
    thread.text = nav.thread_root ? read_draft(doc, thread.draft_key) : std::string();
    thread.placeholder = "Reply…";
    thread.author = nav.local.id;
}

LiveView::Touched classify(std::vector<std::vector<Prop>> const& paths) {
    LiveView::Touched t;
    for (auto const& path : paths) {
        auto const* root_key = path.empty() ? nullptr : std::get_if<std::string>(&path[0]);
        if (!root_key) continue;
        if (*root_key == doc::workspaces_key)
            t.workspaces = true;
        else if (*root_key == doc::categories_key)
            t.categories = true;
        else if (*root_key == doc::channels_key)
            t.channels = true;
        else if (*root_key == doc::users_key)
            t.users = true;
        else if (*root_key != doc::messages_key)
            continue;  // read again on every refresh
        else if (path.size() == 1)
            t.all_messages = true;
        else if (auto const* channel = std::get_if<std::string>(&path[1])) {
            auto const* index = path.size() > 2 ? std::get_if<size_t>(&path[2]) : nullptr;
            if (path.size() == 2)
                t.lists.insert(*channel);
            else if (index && path.size() == 3)
                t.inserted[*channel].insert(*index);
            else if (index)
                t.messages[*channel].insert(*index);
        }
    }
    return t;
}

}  // namespace

LiveView::LiveView() = default;
LiveView::~LiveView() = default;
LiveView::LiveView(LiveView&&) noexcept = default;
LiveView& LiveView::operator=(LiveView&&) noexcept = default;

void LiveView::reset() {
    m_instance = 0;
    m_heads.clear();
}

ViewModel const& LiveView::refresh(AutoCommit& doc, Navigation& nav) {
    // Handles are only good for the document instance that gave them: another one, even at
    // the same address or with the same history, is read from scratch.
    std::optional<std::vector<std::vector<Prop>>> paths;
    if (m_instance != 0 && m_instance == doc.instance()) paths = doc.changed_paths(m_heads);
    if (paths)
        update(doc, nav, classify(*paths));
    else
        rebuild(doc, nav);
    m_instance = doc.instance();
    m_heads = doc.get_heads();
    return m_vm;
}

void LiveView::rebuild(AutoCommit& doc, Navigation& nav) {
    m_change = ViewChange{};
    m_vm = ViewModel{};
    m_vm.workspaces = read_workspaces(doc);
    m_vm.categories = read_categories(doc);
    m_vm.channels = read_channels(doc);
    m_vm.directory = read_users(doc);
    repair_selection(nav, m_vm.workspaces, m_vm.channels);
    m_runs.clear();
    m_runs.resize(m_vm.channels.size());
    for (size_t i = 0; i < m_runs.size(); ++i) m_runs[i].channel = m_vm.channels[i].id;
    auto messages = messages_map(doc);
    // The reading is cut into stretches of a channel's list, taken in turn by whichever
    // thread is free, so one long channel or a slow thread does not leave the other waiting.
    struct Stretch {
        size_t run = 0;
        size_t first = 0;
        size_t last = 0;
        std::map<std::string, int, std::less<>> people;
        size_t top_level = 0;
    };
    std::vector<Stretch> stretches;
    size_t total = 0;
    for (size_t i = 0; i < m_runs.size(); ++i) {
        auto list = messages ? doc::get_list(doc, *messages, m_runs[i].channel) : std::nullopt;
        size_t length = list ? doc.length(*list) : 0;
        total += length;
        for (size_t first = 0; first < length; first += rebuild_stretch)
            stretches.push_back({i, first, std::min(length, first + rebuild_stretch), {}, 0});
    }
    // Every list's first stretch before any second one: a run's maps are listed by the
    // thread that takes its first stretch, and the other should not have to wait for that.
    std::ranges::stable_sort(stretches, std::less<>(), &Stretch::first);
    std::vector<std::vector<Message>> lists(m_runs.size());
    // A run's maps are listed by the first thread to reach it; the list holds no more maps
    // than its length, fewer when some elements are not maps.
    std::vector<std::once_flag> listed(m_runs.size());
    std::atomic<size_t> next{0};
    auto read_stretches = [&] {
        for (size_t s; (s = next.fetch_add(1)) < stretches.size();) {
            auto& stretch = stretches[s];
            auto& run = m_runs[stretch.run];
            auto& list = lists[stretch.run];
            std::call_once(listed[stretch.run], [&] {
                run.maps = list_maps(doc, messages, run.channel, run.gaps);
                list.resize(run.maps.size());
            });
            auto const& maps = run.maps;
            size_t const end = std::min(stretch.last, maps.size());
            for (size_t at = stretch.first; at < end; ++at) {
                prefetch_ahead(doc, maps, at, end);
                auto& m = list[at];
                doc::read_message(doc, maps[at], run.channel, m);
                count_people(stretch.people, m, 1);
                if (!m.parent) ++stretch.top_level;
            }
        }
    };
    // A long history is read by two threads: reading a record waits on memory far more than
    // it computes, and the reads share nothing they write (each message is filled by one
    // thread, and a text's cache belongs to its one message).
    std::exception_ptr helper_failed;
    std::optional<std::thread> helper;
    if (total >= parallel_rebuild_messages) {
        try {
            helper.emplace([&] {
                try {
                    read_stretches();
                } catch (...) {
                    helper_failed = std::current_exception();
                }
            });
        } catch (std::system_error const&) {
            // No thread to be had: everything is read here.
        }
    }
    try {
        read_stretches();
    } catch (...) {
        if (helper) helper->join();
        throw;
    }
    if (helper) helper->join();
    if (helper_failed) std::rethrow_exception(helper_failed);
    for (auto& stretch : stretches) {
        auto& run = m_runs[stretch.run];
        for (auto const& [id, count] : stretch.people) run.people[id] += count;
        run.top_level += stretch.top_level;
    }
    m_vm.all_messages = MessageRuns(std::move(lists));
    m_open.clear();
    finish(doc, nav);
}

void LiveView::update(AutoCommit& doc, Navigation& nav, Touched const& touched) {
    m_change = ViewChange{false, false, {}};
    if (touched.workspaces) m_vm.workspaces = read_workspaces(doc);
    if (touched.categories) m_vm.categories = read_categories(doc);
    if (touched.users) m_vm.directory = read_users(doc);
    if (touched.channels) m_vm.channels = read_channels(doc);
    m_change.lists = touched.workspaces || touched.categories || touched.users || touched.channels;
    repair_selection(nav, m_vm.workspaces, m_vm.channels);
    lay_out_runs(doc, touched, touched.all_messages);

    for (size_t i = 0; i < m_runs.size(); ++i) {
        auto const& channel = m_runs[i].channel;
        auto dirty = touched.messages.find(channel);
        auto inserted = touched.inserted.find(channel);
        bool whole = touched.all_messages || touched.lists.contains(channel);
        if (!whole && dirty == touched.messages.end() && inserted == touched.inserted.end())
            continue;
        static std::set<size_t> const none;
        reread_run(doc, i, dirty == touched.messages.end() ? none : dirty->second,
                   inserted == touched.inserted.end() ? none : inserted->second, whole);
        m_change.channels.insert(channel);
    }
    // Written messages of an open channel whose list kept its shape are copied one by one.
    if (!m_open.empty() && m_open == nav.channel_id) {
        if (auto dirty = touched.messages.find(m_open); dirty != touched.messages.end()) {
            auto run = m_vm.all_messages.run(
                size_t(std::ranges::find(m_runs, m_open, &Run::channel) - m_runs.begin()));
            for (size_t k : dirty->second)
                if (k < m_vm.messages.size() && k < run.size()) m_vm.messages[k] = run[k];
        }
    }
    finish(doc, nav);
}

// Puts the runs in the order of the channels: kept channels keep their messages, new ones
// are read in full, and with `reread_all` every list is compared with the document again.
void LiveView::lay_out_runs(AutoCommit& doc, Touched const& touched, bool reread_all) {
    bool same = m_runs.size() == m_vm.channels.size();
    for (size_t i = 0; same && i < m_runs.size(); ++i)
        same = m_runs[i].channel == m_vm.channels[i].id;
    if (same) return;
    std::unordered_map<std::string_view, size_t> old_index;
    for (size_t i = 0; i < m_runs.size(); ++i) old_index.emplace(m_runs[i].channel, i);
    std::vector<Run> runs(m_vm.channels.size());
    auto& old_lists = m_vm.all_messages.runs_for_update();
    std::vector<std::vector<Message>> lists(runs.size());
    std::vector<size_t> fresh;
    std::vector<bool> kept(m_runs.size(), false);
    for (size_t i = 0; i < runs.size(); ++i) {
        auto found = old_index.find(m_vm.channels[i].id);
        if (found == old_index.end()) {
            runs[i].channel = m_vm.channels[i].id;
            fresh.push_back(i);
            continue;
        }
        kept[found->second] = true;
        runs[i] = std::move(m_runs[found->second]);
        lists[i] = std::move(old_lists[found->second]);
    }
    // Channels no longer listed take their messages with them.
    for (size_t i = 0; i < m_runs.size(); ++i)
        if (!kept[i]) m_change.channels.insert(m_runs[i].channel);
    m_runs = std::move(runs);
    m_vm.all_messages = MessageRuns(std::move(lists));
    m_open.clear();  // the open channel's copy is taken again
    if (reread_all) return;
    for (size_t i : fresh) {
        if (touched.lists.contains(m_runs[i].channel)) continue;  // read below anyway
        reread_run(doc, i, {}, {}, true);
        m_change.channels.insert(m_runs[i].channel);
    }
}

// Reads run `index` again. When messages were only inserted or written inside (not
// `whole`), just those are read; otherwise the list is compared with the maps read last
// time and only new or written messages are read. Indexes are the list's as it is now.
void LiveView::reread_run(AutoCommit& doc, size_t index, std::set<size_t> const& dirty,
                          std::set<size_t> const& inserted, bool whole) {
    auto& run = m_runs[index];
    auto& all = m_vm.all_messages.run_for_update(index);
    auto replace = [&](Message& old, Message fresh) {
        count_people(run.people, old, -1);
        run.top_level -= old.parent ? 0 : 1;
        count_people(run.people, fresh, 1);
        run.top_level += fresh.parent ? 0 : 1;
        old = std::move(fresh);
    };
    auto messages = messages_map(doc);
    auto list = messages ? doc::get_list(doc, *messages, run.channel) : std::nullopt;
    size_t n = list ? doc.length(*list) : 0;
    if (!whole && !run.gaps && n == run.maps.size() + inserted.size() &&
        insert_messages(doc, index, *list, inserted)) {
        for (size_t k : dirty)
            if (k < run.maps.size())
                replace(all[k], doc::read_message(doc, run.maps[k], run.channel));
        return;
    }

    bool gaps = false;
    auto maps = list_maps(doc, messages, run.channel, gaps);
    // The same maps in the same order: only the written messages change.
    if (!gaps && !run.gaps && maps == run.maps) {
        for (size_t k : dirty)
            if (k < maps.size()) replace(all[k], doc::read_message(doc, maps[k], run.channel));
        return;
    }
    std::vector<Message> fresh;
    fresh.reserve(maps.size());
    std::map<ObjHandle, size_t> old_at;
    size_t same = 0;
    while (same < maps.size() && same < run.maps.size() && maps[same] == run.maps[same]) ++same;
    for (size_t k = same; k < run.maps.size(); ++k) old_at.emplace(run.maps[k], k);
    std::vector<bool> reused(run.maps.size(), false);
    for (size_t k = 0; k < maps.size(); ++k) {
        std::optional<size_t> old;
        if (k < same)
            old = k;
        else if (auto it = old_at.find(maps[k]); it != old_at.end())
            old = it->second;
        // A list with gaps has no stable index for a written message: read them all.
        bool written = gaps || dirty.contains(k);
        if (old && !reused[*old] && !written) {
            reused[*old] = true;
            fresh.push_back(std::move(all[*old]));
            continue;
        }
        auto m = doc::read_message(doc, maps[k], run.channel);
        count_people(run.people, m, 1);
        run.top_level += m.parent ? 0 : 1;
        fresh.push_back(std::move(m));
    }
    for (size_t k = 0; k < run.maps.size(); ++k) {
        if (reused[k]) continue;
        auto const& gone = all[k];
        count_people(run.people, gone, -1);
        run.top_level -= gone.parent ? 0 : 1;
    }
    bool resized = fresh.size() != all.size();
    all = std::move(fresh);
    run.maps = std::move(maps);
    run.gaps = gaps;
    if (resized) m_vm.all_messages.recount();
    if (run.channel == m_open) m_open.clear();
}

// Reads the messages inserted at `inserted` (ascending, as the list is now) into the run,
// its run of all_messages and the open channel's copy. False, with nothing changed, when one of
// them is not a map: the caller then compares the whole list.
bool LiveView::insert_messages(AutoCommit& doc, size_t index, ObjHandle list,
                               std::set<size_t> const& inserted) {
    auto& run = m_runs[index];
    std::vector<std::pair<size_t, ObjHandle>> maps;
    for (size_t k : inserted) {
        auto value = doc.read(list, k);
        auto map = value ? doc::object_of(*value, automerge::ObjType::Map) : std::nullopt;
        if (!map) return false;
        maps.emplace_back(k, *map);
    }
    bool open = run.channel == m_open;
    auto& all = m_vm.all_messages.run_for_update(index);
    for (auto& [k, map] : maps) {
        auto m = doc::read_message(doc, map, run.channel);
        count_people(run.people, m, 1);
        run.top_level += m.parent ? 0 : 1;
        if (open) m_vm.messages.insert(m_vm.messages.begin() + ptrdiff_t(k), m);
        all.insert(all.begin() + ptrdiff_t(k), std::move(m));
        run.maps.insert(run.maps.begin() + ptrdiff_t(k), map);
    }
    if (!maps.empty()) m_vm.all_messages.recount();
    return true;
}

void LiveView::finish(AutoCommit& doc, Navigation& nav) {
    auto& vm = m_vm;
    for (size_t i = 0; i < vm.channels.size(); ++i) {
        auto& channel = vm.channels[i];
        channel.unread =
            channel.id == nav.channel_id
                ? 0
                : unread_from(m_runs[i].top_level, doc::read_count(doc, channel.id, nav.local.id));
    }

    auto open = std::ranges::find(m_runs, nav.channel_id, &Run::channel);
    if (open == m_runs.end()) {
        vm.messages = read_messages(doc, nav.channel_id);
        m_open.clear();
    } else if (m_open != nav.channel_id) {
        auto run = vm.all_messages.run(size_t(open - m_runs.begin()));
        vm.messages.assign(run.begin(), run.end());
        m_open = nav.channel_id;
    }

    vm.voice_participants = workspace_calls(doc, vm.channels, nav.workspace_id);

    std::set<std::string, std::less<>> ids;
    for (size_t i = 0; i < vm.channels.size(); ++i)
        if (vm.channels[i].workspace == nav.workspace_id)
            for (auto const& [id, count] : m_runs[i].people) ids.insert(id);
    for (auto const& [channel, participants] : vm.voice_participants)
        for (auto const& p : participants) ids.insert(p.person);
    vm.people.clear();
    for (auto const& person : vm.directory)
        if (ids.contains(person.id)) vm.people.push_back(person);
    if (std::ranges::find(vm.people, nav.local.id, &Person::id) == vm.people.end()) {
        vm.people.push_back(Person{nav.local.id, nav.local.name, nav.local.initials,
                                   nav.local.color_idx, nav.local.presence, false});
    }
    sort_people(vm.people);
    fill_composers(doc, vm, nav);
}

}  // namespace chat::model
