#include "vemo_ui/realtime_continuity.hpp"

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

namespace vemo_ui::realtime_continuity {

using nlohmann::json;

std::expected<void, std::string> Store::save(std::optional<std::string> const& session,
                                             std::int64_t wall_seconds) const {
    std::error_code ec;
    if (!session) {
        std::filesystem::remove(m_file, ec);
        if (ec) return std::unexpected("cannot remove " + m_file.string() + ": " + ec.message());
        return {};
    }
    // Written beside and renamed over, so that a reader never sees half a file.
    auto partial = m_file;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << json{{"saved_at", wall_seconds}, {"session", *session}}.dump();
        if (!out.flush()) return std::unexpected("cannot write " + partial.string());
    }
    std::filesystem::rename(partial, m_file, ec);
    if (ec) {
        std::filesystem::remove(partial, ec);
        return std::unexpected("cannot replace " + m_file.string());
    }
    return {};
}

std::optional<std::string> Store::take(std::int64_t wall_seconds) const {
    std::ifstream in(m_file, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    std::error_code ec;
    std::filesystem::remove(m_file, ec);
    auto kept = json::parse(text.str(), nullptr, false);
    if (!kept.is_object()) return std::nullopt;
    auto saved_at = kept.find("saved_at");
    auto session = kept.find("session");
    if (saved_at == kept.end() || !saved_at->is_number_integer() || session == kept.end() ||
        !session->is_string())
        return std::nullopt;
    auto age = wall_seconds - saved_at->get<std::int64_t>();
    if (age < 0 || age > max_handover_age_seconds) return std::nullopt;
    return session->get<std::string>();
}

std::expected<void, std::string> hand_over(Participant const& participant, Store const& store,
                                           std::int64_t wall_seconds) {
    return store.save(participant.export_continuation(), wall_seconds);
}

std::int64_t wall_seconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

bool take_back(Participant& participant, std::string const& session) {
    if (!participant.import_continuation(session)) return false;
    participant.request_resume();
    return true;
}

}  // namespace vemo_ui::realtime_continuity
