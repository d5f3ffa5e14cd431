#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

// Carrying a live session (a call) across a restart of the application's window, and ending
// it from outside. The application describes its running session as text; the framework keeps
// that text between two runs and hands it back, and delivers requests to resume or to leave.
namespace vemo_ui::realtime_continuity {

// Which media a running session carries, and what the user turned off.
struct RealtimeMediaFacets {
    bool microphone = false;
    bool camera = false;
    bool screen_share = false;
    bool share_audio = false;
    bool operator==(RealtimeMediaFacets const&) const = default;
};

struct RealtimeControlIntent {
    bool microphone_muted = false;
    bool camera_muted = false;
    bool screen_share_paused = false;
    bool share_audio_muted = false;
    bool operator==(RealtimeControlIntent const&) const = default;
};

// What a widget with a live session offers the framework. The requests are carried out by the
// widget's next sync.
class Participant {
  public:
    virtual ~Participant() = default;
    // The running session as text; nothing when none runs.
    virtual std::optional<std::string> export_continuation() const = 0;
    // Keeps a handed-over session pending; false when the text names nothing the widget knows.
    virtual bool import_continuation(std::string const& text) = 0;
    virtual void request_resume() = 0;
    virtual void request_leave() = 0;
};

// A session handed over longer ago than this is not resumed: the other participants have
// stopped seeing this device in it, and a microphone must not come back on by surprise.
inline constexpr std::int64_t max_handover_age_seconds = 60;

// The hand-over between two runs: one small file beside the application's document.
class Store {
  public:
    explicit Store(std::filesystem::path file) : m_file(std::move(file)) {}
    std::filesystem::path const& file() const { return m_file; }
    // Keeps the session with the wall-clock time of the hand-over, replacing any earlier one;
    // with nothing to keep, removes what was kept.
    std::expected<void, std::string> save(std::optional<std::string> const& session,
                                          std::int64_t wall_seconds) const;
    // What was kept, once: the file is removed. Nothing when it is missing, unreadable,
    // malformed, from the future or older than `max_handover_age_seconds`.
    std::optional<std::string> take(std::int64_t wall_seconds) const;

  private:
    std::filesystem::path m_file;
};

// Seconds since the Unix epoch, the clock the hand-over's age is measured on.
std::int64_t wall_seconds();

// At the end of a run: keeps the participant's running session (or clears the store).
std::expected<void, std::string> hand_over(Participant const& participant, Store const& store,
                                           std::int64_t wall_seconds);
// Offers a kept session to the participant and asks it to resume; true when it was accepted.
bool take_back(Participant& participant, std::string const& session);

}  // namespace vemo_ui::realtime_continuity
