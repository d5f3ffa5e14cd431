#include "app/access_rows.hpp"

#include <algorithm>

#include "app/composer_text.hpp"
#include "app/draw_markup.hpp"
#include "model/view_model.hpp"

namespace chat {

using vemo_ui::a11y::AccessNode;
using vemo_ui::a11y::Role;

std::string row_label(Message const& m, std::string_view author, size_t replies) {
    std::string label;
    label.append(author).append(", ").append(clock_time(m.ts)).append(": ");
    label += message_displayed_text(m);
    if (m.edited) label += ", edited";
    if (m.pinned) label += ", pinned";
    for (auto const& g : m.reactions)
        label += ", " + g.emoji + " " + std::to_string(g.users.size()) +
                 (g.users.size() == 1 ? " reaction" : " reactions");
    if (replies) label += ", " + std::to_string(replies) + (replies == 1 ? " reply" : " replies");
    return label;
}

bool AccessRows::Recipe::matches(Message const& m, size_t now_replies) const {
    if (ts != m.ts || edited != m.edited || pinned != m.pinned || replies != now_replies ||
        author != m.author || text != m.text || mentions != m.mentions ||
        reactions.size() != m.reactions.size())
        return false;
    for (size_t i = 0; i < reactions.size(); ++i)
        if (reactions[i].second != m.reactions[i].users.size() ||
            reactions[i].first != m.reactions[i].emoji)
            return false;
    return true;
}

AccessRows::Recipe AccessRows::Recipe::of(Message const& m, size_t replies) {
    Recipe r;
    r.author = m.author;
    r.text = m.text;
    r.ts = m.ts;
    r.mentions = m.mentions;
    for (auto const& g : m.reactions) r.reactions.emplace_back(g.emoji, g.users.size());
    r.replies = replies;
    r.edited = m.edited;
    r.pinned = m.pinned;
    return r;
}

void AccessRows::begin(RowContext const& context) {
    m_directory = &context.directory;
    m_added = 0;
    m_same = true;
    m_cursor = 0;
    m_index.clear();
    m_next.clear();
    m_next_recipes.clear();
    bool same = context.self == m_self && context.can_write == m_can_write &&
                std::ranges::equal(context.directory, m_names, [](Person const& p, auto const& n) {
                    return p.id == n.first && p.name == n.second;
                });
    if (same) return;
    m_list.clear();
    m_recipes.clear();
    m_names.clear();
    for (auto const& p : context.directory) m_names.emplace_back(p.id, p.name);
    m_self = context.self;
    m_can_write = context.can_write;
}

std::optional<size_t> AccessRows::previous(std::string_view message) {
    // Read only: the tree offered before shares this list.
    std::vector<AccessNode> const& last = m_list;
    auto message_of = [&](size_t i) {
        return std::string_view(last[i].id).substr(m_prefix.size());
    };
    // Mostly the rows come in the order they came before.
    if (m_cursor < last.size() && message_of(m_cursor) == message) return m_cursor++;
    if (m_index.empty())
        for (size_t i = 0; i < last.size(); ++i) m_index.emplace(message_of(i), i);
    auto it = m_index.find(message);
    if (it == m_index.end()) return std::nullopt;
    m_cursor = it->second + 1;
    return it->second;
}

void AccessRows::diverge(size_t count) {
    std::vector<AccessNode> const& last = m_list;
    m_same = false;
    m_next.reserve(last.size() + 1);
    m_next_recipes.reserve(last.size() + 1);
    for (size_t i = 0; i < count; ++i) {
        m_next.push_back(last[i]);
        m_next_recipes.push_back(std::move(m_recipes[i]));
        m_recipes[i].taken = true;
    }
}

void AccessRows::add(Message const& m, size_t replies, vemo_ui::Rect rect,
                     vemo_ui::a11y::States states) {
    size_t place = m_added++;
    auto was = previous(m.id);
    auto kept = [&] {
        return was && !m_recipes[*was].taken && m_recipes[*was].matches(m, replies);
    };
    std::vector<AccessNode> const& last = m_list;
    if (m_same) {
        if (was == place && kept() && last[place].rect == rect && last[place].states == states)
            return;
        diverge(place);  // takes the recipes before this row
    }
    bool keep = kept();
    AccessNode row = keep ? last[*was] : make(m, replies);
    row.rect = rect;
    row.states = states;
    m_next.push_back(std::move(row));
    if (keep) {
        m_next_recipes.push_back(std::move(m_recipes[*was]));
        m_recipes[*was].taken = true;
    } else {
        m_next_recipes.push_back(Recipe::of(m, replies));
    }
}

vemo_ui::a11y::NodeList AccessRows::end() {
    if (m_same && m_added != m_list.size()) diverge(m_added);  // rows left the end
    if (!m_same) {
        m_list = std::move(m_next);
        m_recipes = std::move(m_next_recipes);
    }
    m_next = {};
    m_next_recipes = {};
    m_index.clear();
    m_directory = nullptr;
    return m_list;
}

AccessNode AccessRows::make(Message const& m, size_t replies) {
    ++m_made;
    AccessNode row;
    row.role = Role::ListItem;
    row.id = m_prefix + m.id;
    static std::vector<Person> const nobody;
    row.label =
        row_label(m, model::person_name(m_directory ? *m_directory : nobody, m.author), replies);
    // What a pointer user reaches through the hover bar and the context menu.
    row.actions = {"reply", "menu"};
    if (m_can_write) row.actions.insert(row.actions.begin(), "react");
    if (m_can_write && m.author == m_self) row.actions.push_back("edit");
    row.content = vemo_ui::a11y::next_content_stamp();
    return row;
}

}  // namespace chat
