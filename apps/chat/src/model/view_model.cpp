#include "model/view_model.hpp"

#include <algorithm>

#include "model/live_view.hpp"

namespace chat::model {

namespace {

template <class T>
bool contains_id(std::vector<T> const& items, std::string_view id) {
    return std::ranges::find(items, id, &T::id) != items.end();
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
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
    LiveView view;
    view.refresh(doc, nav);
    return std::move(view).take();
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
