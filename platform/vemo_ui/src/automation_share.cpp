#include "automation_share.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace vemo_ui::launch::detail {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int join_deadline_ms = 30000;
constexpr int max_settle_ms = 60000;
constexpr std::chrono::milliseconds pump_pause{2};
// How often an idle session looks at its peers: well inside the delay a person notices, and
// cheap enough (a poll with nothing to do takes microseconds).
constexpr int idle_share_interval_ms = 20;

json status_json(share::Status const& s) {
    json devices = json::array();
    for (auto const& d : s.devices) {
        devices.push_back({{"key", d.key},
                           {"person", d.person},
                           {"name", d.name},
                           {"last_seen", d.last_seen},
                           {"connected", d.connected},
                           {"last_sync", d.last_sync ? json(*d.last_sync) : json(nullptr)},
                           {"bytes_sent", d.bytes_sent},
                           {"bytes_received", d.bytes_received}});
    }
    return {
        {"url", s.document_url},
        {"key", s.device_key},
        {"devices", std::move(devices)},
        {"server",
         {{"url", s.server_url ? json(*s.server_url) : json(nullptr)}, {"state", s.server_state}}},
        {"joining", s.joining},
        {"summary", s.summary()}};
}

// Runs frames for `ms` milliseconds, so that the conversation with peers goes on while a test
// or an agent waits.
void pump(std::function<void()> const& frame, int ms) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    do {
        frame();
        std::this_thread::sleep_for(pump_pause);
    } while (Clock::now() < until);
}

ShareAnswer join(vemo_ui::detail::AppSession& session, share::Sharing& sharing,
                 automation::Command const& cmd, std::function<void()> const& frame) {
    auto invite = cmd.string("invite");
    if (!invite) return std::unexpected(invite.error());
    // Tests may wait less than the full time; nobody waits more.
    auto timeout = cmd.integer_or("timeout_ms", join_deadline_ms, 0, join_deadline_ms);
    if (!timeout) return std::unexpected(timeout.error());
    if (auto begun = sharing.begin_join(*invite); !begun) return std::unexpected(begun.error());
    auto wait = std::chrono::milliseconds(*timeout);
    auto deadline = Clock::now() + wait;
    while (sharing.join_state() == share::JoinState::Waiting && Clock::now() < deadline) {
        frame();
        std::this_thread::sleep_for(pump_pause);
    }
    if (sharing.join_state() != share::JoinState::Done) {
        auto problem = sharing.join_problem();
        sharing.abandon_join(problem);
        return std::unexpected("the workspace did not arrive within " +
                               std::to_string((wait.count() + 999) / 1000) + " s: " + problem);
    }
    frame();
    session.commit();
    return json{{"url", sharing.document_url()}};
}

}  // namespace

std::optional<ShareAnswer> run_share_command(vemo_ui::detail::AppSession& session,
                                             automation::Command const& cmd,
                                             std::function<void()> const& frame) {
    auto const& name = cmd.name();
    if (name != "invite" && name != "join" && name != "sharing") return std::nullopt;
    auto* sharing = session.sharing();
    if (!sharing)
        return ShareAnswer(
            std::unexpected(std::string("this session does not share its document")));
    if (name == "invite") {
        auto invite = sharing->create_invite();
        if (!invite) return ShareAnswer(std::unexpected(invite.error()));
        return ShareAnswer(json{{"invite", *invite}});
    }
    if (name == "join") return join(session, *sharing, cmd, frame);
    auto settle = cmd.integer_or("settle_ms", 0, 0, max_settle_ms);
    if (!settle) return ShareAnswer(std::unexpected(settle.error()));
    if (*settle > 0) pump(frame, int(*settle));
    return ShareAnswer(status_json(sharing->status()));
}

int idle_wait_ms(vemo_ui::detail::AppSession& session, int wait_ms) {
    if (!session.sharing()) return wait_ms;
    return wait_ms < 0 ? idle_share_interval_ms : std::min(wait_ms, idle_share_interval_ms);
}

void share_while_idle(vemo_ui::detail::AppSession& session) {
    if (!session.sharing()) return;
    session.poll_sharing();
    session.commit();
}

}  // namespace vemo_ui::launch::detail
