#include "vemo_ui/bound_dispatch.hpp"

#include <mutex>

namespace vemo_ui::bound_dispatch {

namespace {

struct History {
    std::mutex mutex;
    std::deque<DispatchedAction> entries;
    uint64_t next_token = 1;
};

History& shared()
{
    static History h;
    return h;
}

}  // namespace

std::optional<Token> typed_action_before(automerge::AutoCommit& document,
                                         vemo_actions::EncodedAction const& action)
{
    auto heads = document.get_heads();
    auto& h = shared();
    std::lock_guard lock(h.mutex);
    DispatchedAction entry;
    entry.token = h.next_token++;
    entry.action = action;
    entry.heads_before = std::move(heads);
    h.entries.push_back(std::move(entry));
    while (h.entries.size() > history_limit) h.entries.pop_front();
    return Token{h.entries.back().token};
}

void report_typed_action(automerge::AutoCommit&, Token token,
                         std::vector<automerge::ChangeHash> heads_after)
{
    auto& h = shared();
    std::lock_guard lock(h.mutex);
    for (auto it = h.entries.rbegin(); it != h.entries.rend(); ++it) {
        if (it->token != token.id) continue;
        it->heads_after = std::move(heads_after);
        it->reported = true;
        return;
    }
}

std::vector<DispatchedAction> history()
{
    auto& h = shared();
    std::lock_guard lock(h.mutex);
    return {h.entries.begin(), h.entries.end()};
}

void clear_history()
{
    auto& h = shared();
    std::lock_guard lock(h.mutex);
    h.entries.clear();
}

}  // namespace vemo_ui::bound_dispatch
