#include "app/attention.hpp"

#include <algorithm>

#include "app/draw_markup.hpp"

namespace chat {

namespace {

// Clocks of peers disagree a little: a message stamped shortly before this window opened
// may still be news.
constexpr int64_t clock_slack_seconds = 120;
constexpr size_t body_limit = 240;

std::string shortened(std::string const& text) {
    if (text.size() <= body_limit) return text;
    size_t cut = body_limit;
    // Never end inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "…";
}

bool mentions(Message const& m, std::string const& me) {
    return std::ranges::any_of(m.mentions, [&](Mention const& x) { return x.user == me; });
}

// Roots of the threads the person wrote in: their own top-level messages and the roots of
// their replies.
std::unordered_set<std::string> own_threads(model::MessageRuns const& all,
                                            std::string const& me) {
    std::unordered_set<std::string> roots;
    for (auto const& m : all)
        if (m.author == me) roots.insert(m.parent ? *m.parent : m.id);
    return roots;
}

bool is_shown(Message const& m, ShownConversation const& shown) {
    if (!shown.window_active || m.channel != shown.channel) return false;
    return !m.parent || shown.thread == m.parent;
}

std::string channel_name(model::ViewModel const& view, std::string const& id) {
    auto it = std::ranges::find(view.channels, id, &Channel::id);
    return it == view.channels.end() ? id : it->name;
}

}  // namespace

std::vector<Alert> Attention::update(model::ViewModel const& view, std::string const& me,
                                     ShownConversation const& shown,
                                     std::set<std::string> const& muted, int64_t now) {
    std::vector<Alert> alerts;
    if (!m_started) {
        m_started = true;
        m_start_time = now;
        for (auto const& m : view.all_messages) m_seen.insert(m.id);
        return alerts;
    }
    std::optional<std::unordered_set<std::string>> threads;  // read once, when needed
    for (auto const& m : view.all_messages) {
        if (!m_seen.insert(m.id).second) continue;
        if (m.author == me || m.ts < m_start_time - clock_slack_seconds) continue;
        if (muted.contains(m.channel) || is_shown(m, shown)) continue;
        bool mention = mentions(m, me);
        if (!mention && m.parent) {
            if (!threads) threads = own_threads(view.all_messages, me);
            if (!threads->contains(*m.parent)) continue;
        } else if (!mention) {
            continue;
        }
        std::string author = model::person_name(view.directory, m.author);
        alerts.push_back(Alert{m.id, author + " in #" + channel_name(view, m.channel),
                               shortened(message_displayed_text(m)), mention});
    }
    return alerts;
}

int total_unread(model::ViewModel const& view) {
    int total = 0;
    for (auto const& c : view.channels)
        if (!c.archived) total += int(c.unread);
    return total;
}

}  // namespace chat
