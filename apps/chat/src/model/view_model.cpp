#include "model/view_model.hpp"

#include <algorithm>
#include <chrono>
#include <set>

#include "doc/schema.hpp"
#include "model/readers.hpp"

namespace chat::model {

namespace {

int64_t unix_seconds_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

template <class T>
bool contains_id(std::vector<T> const& items, std::string_view id) {
    return std::ranges::find(items, id, &T::id) != items.end();
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

struct ChannelMessages {
    size_t begin = 0;
    size_t end = 0;
    size_t top_level = 0;
};

// Reads every channel's messages into `all`, remembering where each channel's run lies.
std::vector<ChannelMessages> read_all_messages(AutoCommit& doc,
                                               std::vector<Channel> const& channels,
                                               std::vector<Message>& all) {
    std::vector<ChannelMessages> runs;
    runs.reserve(channels.size());
    for (auto const& channel : channels) {
        ChannelMessages run{all.size(), all.size(), 0};
        auto messages = read_messages(doc, channel.id);
        for (auto& m : messages) {
            if (!m.parent) ++run.top_level;
            all.push_back(std::move(m));
        }
        run.end = all.size();
        runs.push_back(run);
    }
    return runs;
}

void fill_unread(AutoCommit& doc, std::vector<Channel>& channels,
                 std::vector<ChannelMessages> const& runs, Navigation const& nav) {
    for (size_t i = 0; i < channels.size(); ++i) {
        auto& channel = channels[i];
        channel.unread =
            channel.id == nav.channel_id
                ? 0
                : unread_from(runs[i].top_level, doc::read_count(doc, channel.id, nav.local.id));
    }
}

std::vector<Person> workspace_people(ViewModel const& vm, std::vector<ChannelMessages> const& runs,
                                     Navigation const& nav) {
    std::set<std::string, std::less<>> ids;
    for (size_t i = 0; i < vm.channels.size(); ++i) {
        if (vm.channels[i].workspace != nav.workspace_id) continue;
        for (size_t k = runs[i].begin; k < runs[i].end; ++k) {
            auto const& m = vm.all_messages[k];
            ids.insert(m.author);
            for (auto const& group : m.reactions)
                ids.insert(group.users.begin(), group.users.end());
            for (auto const& mention : m.mentions) ids.insert(mention.user);
        }
    }
    for (auto const& [channel, participants] : vm.voice_participants)
        for (auto const& p : participants) ids.insert(p.person);

    std::vector<Person> people;
    for (auto const& person : vm.directory)
        if (ids.contains(person.id)) people.push_back(person);
    if (!contains_id(people, nav.local.id)) {
        people.push_back(Person{nav.local.id, nav.local.name, nav.local.initials,
                                nav.local.color_idx, nav.local.presence, false});
    }
    sort_people(people);
    return people;
}

std::map<std::string, std::vector<VoiceParticipant>> workspace_calls(
    AutoCommit& doc, std::vector<Channel> const& channels, std::string_view workspace) {
    std::map<std::string, std::vector<VoiceParticipant>> calls;
    for (auto const& channel : channels)
        if (channel.workspace == workspace && channel.kind == ChannelKind::Voice)
            calls[channel.id] = read_voice(doc, channel.id, unix_seconds_now());
    return calls;
}

void fill_composers(AutoCommit& doc, ViewModel& vm, Navigation const& nav) {
    auto channel = std::ranges::find(vm.channels, nav.channel_id, &Channel::id);
    auto& main = vm.message_composer;
    main.draft_key = nav.channel_id;
    main.text = read_draft(doc, nav.channel_id);
    main.placeholder = "Message #" + (channel != vm.channels.end() ? channel->name : std::string());
    main.author = nav.local.id;
    if (nav.edit_text) {
        main.text = *nav.edit_text;
        main.cursor_at_end = true;
    }

    auto& thread = vm.thread_composer;
    thread.draft_key =
        nav.thread_root ? doc::thread_draft_key(nav.channel_id, *nav.thread_root) : std::string();
    thread.text = nav.thread_root ? read_draft(doc, thread.draft_key) : std::string();
    thread.placeholder = "Reply…";
    thread.author = nav.local.id;
}

}  // namespace

bool is_visible_in(Channel const& channel, std::string_view workspace) {
    return channel.workspace == workspace && !channel.archived;
}

void repair_selection(Navigation& nav, std::vector<Workspace> const& workspaces,
                      std::vector<Channel> const& channels) {
    if (!contains_id(workspaces, nav.remembered_workspace_id) && !workspaces.empty()) {
        nav.remembered_workspace_id =
            contains_id(workspaces, nav.workspace_id) ? nav.workspace_id : workspaces.front().id;
    }
    if (!contains_id(workspaces, nav.workspace_id) && !workspaces.empty()) {
        nav.workspace_id = workspaces.front().id;
        nav.channel_id.clear();
    }
    auto open = std::ranges::find(channels, nav.channel_id, &Channel::id);
    if (open == channels.end() || open->workspace != nav.workspace_id) {
        auto first = std::ranges::find_if(
            channels, [&](Channel const& c) { return is_visible_in(c, nav.workspace_id); });
        if (first != channels.end()) nav.channel_id = first->id;
    }
}

ViewModel refresh(AutoCommit& doc, Navigation& nav) {
    ViewModel vm;
    vm.workspaces = read_workspaces(doc);
    vm.categories = read_categories(doc);
    vm.channels = read_channels(doc);
    repair_selection(nav, vm.workspaces, vm.channels);

    auto runs = read_all_messages(doc, vm.channels, vm.all_messages);
    fill_unread(doc, vm.channels, runs, nav);

    auto open = std::ranges::find(vm.channels, nav.channel_id, &Channel::id);
    if (open != vm.channels.end()) {
        auto const& run = runs[size_t(open - vm.channels.begin())];
        vm.messages.assign(vm.all_messages.begin() + ptrdiff_t(run.begin),
                           vm.all_messages.begin() + ptrdiff_t(run.end));
    } else {
        vm.messages = read_messages(doc, nav.channel_id);
    }

    vm.directory = read_users(doc);
    vm.voice_participants = workspace_calls(doc, vm.channels, nav.workspace_id);
    vm.people = workspace_people(vm, runs, nav);
    fill_composers(doc, vm, nav);
    return vm;
}

std::string day_label(int64_t ts, int64_t now) {
    constexpr int64_t day = 86400;
    int64_t d = floor_div(now, day) - floor_div(ts, day);
    if (d <= 0) return "Today";
    if (d == 1) return "Yesterday";
    return std::to_string(d) + " days ago";
}

Person const* find_person(std::vector<Person> const& people, std::string_view id) {
    auto it = std::ranges::find(people, id, &Person::id);
    return it == people.end() ? nullptr : &*it;
}

std::string person_name(std::vector<Person> const& people, std::string_view id) {
    auto const* person = find_person(people, id);
    return person ? person->name : "Unknown person";
}

}  // namespace chat::model
