#pragma once

#include <array>
#include <automerge/automerge.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "actions/chat_action.hpp"
#include "audio/call_audio.hpp"
#include "media/call_transport.hpp"
#include "video/call_video.hpp"

namespace chat::call {

// What the application hands a call step: the document and who and when we are.
struct CallEnv {
    automerge::AutoCommit* doc = nullptr;
    std::string self;       // the local identity
    bool permitted = true;  // the participation check (write access)
    double now = 0;         // monotonic seconds, for retry pacing
    std::int64_t wall = 0;  // Unix seconds, for the presence refresh
};

// Frames counted per kind; a frame is dropped for one reason only.
struct KindCounters {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    std::uint64_t dropped_own = 0;
    std::uint64_t dropped_sequence = 0;
    std::uint64_t dropped_unauthenticated = 0;
};

inline constexpr char media_stopped_notice[] =
    "Media stopped: stream sequence limit reached. Leave and rejoin to restart it.";

// The call of one device: its state, the media transport, the microphone and the loudspeaker.
// Lives inside the application object and runs on the UI thread only. State changes that
// others must see go out as chat actions through `dispatch`.
class CallSession {
  public:
    using Dispatch = std::function<bool(ChatAction const&)>;

    CallSession(std::unique_ptr<media::CallTransport> transport, Dispatch dispatch,
                video::VideoSources sources = {});
    ~CallSession();

    void set_transport(std::unique_ptr<media::CallTransport> transport);
    media::CallTransport& transport() { return *m_transport; }
    void set_cues_enabled(bool enabled) { m_cues.enabled = enabled; }

    // Lifecycle and toggles. Each issues its actions in a fixed order.
    void join_call(CallEnv const& env, std::string const& channel);
    void leave_call(CallEnv const& env);
    void toggle_mute(CallEnv const& env);
    void toggle_deafen(CallEnv const& env);
    void toggle_audio_only(CallEnv const& env);
    // A leave asked for from outside (the desktop, a hand-over); carried out by the next step.
    void request_leave() { m_pending_leave = true; }
    // Enters the call state without joining again: the document still holds our record. The
    // record is brought up to date when an earlier run of this device wrote it.
    void resume(CallEnv const& env, std::string const& channel, bool muted, bool audio_only);

    // Screen sharing. A request asks the desktop which screen to share; its answer is
    // collected by poll_screen_capture, which answers the failure text when there was one.
    bool request_screen_share(CallEnv const& env);
    std::optional<std::string> poll_screen_capture(CallEnv const& env);
    bool start_screen_share(vemo_ui::capture::ScreenCapture capture, int width, int height);
    void stop_screen_share();
    // The screen-share control: stops a running share, or asks for one.
    void toggle_screen_share(CallEnv const& env);
    bool screen_request_pending() const { return m_video.screen_request_pending(); }
    // A still picture of a share: the flag without a capture (screenshots only).
    void show_sharing_for_review() { m_sharing = m_in_call; }

    // Once per frame, and every 20 ms while in a call even when nothing is drawn.
    void step(CallEnv const& env);
    // Sound must not wait for the next step: `wake` is called from other threads when a
    // microphone packet is ready or frames arrived, and its owner then runs media_step on the
    // UI thread. media_step only moves media that is there: it starts and stops nothing, and
    // checks senders against the participants read by the last step.
    void set_media_waker(std::function<void()> wake);
    void media_step(CallEnv const& env);
    void connect_call_peers(CallEnv const& env);
    bool send_media(std::string const& sender, media::MediaKind kind,
                    media::MediaTimestamp timestamp, std::vector<std::uint8_t> payload);
    // A crashed run may have left our participant record behind; nobody else removes it.
    void clear_leftover_records(CallEnv const& env);

    bool in_call() const { return m_in_call; }
    std::string const& channel() const { return m_channel; }
    bool muted() const { return m_muted; }
    bool deafened() const { return m_deafened; }
    bool audio_only() const { return m_audio_only; }
    bool sharing() const { return m_sharing; }
    std::optional<std::string> const& notice() const { return m_notice; }
    std::uint64_t sequence() const { return m_sequence; }
    audio::CueSetting const& cues() const { return m_cues; }
    KindCounters const& counters(media::MediaKind kind) const {
        return m_counters[std::size_t(kind)];
    }
    bool capturing() const { return m_capture != nullptr; }
    bool playing() const { return m_playback != nullptr; }
    std::uint64_t playback_position_ms() const {
        return m_playback ? m_playback->next_presentation_ms() : 0;
    }
    // Peers we connected to in the last step.
    std::vector<std::string> const& connected_peers() const { return m_peers; }
    // Whether the screen-share flag still has to be published.
    bool screen_share_changed() const { return m_screen_share_changed; }
    video::CallVideo& video() { return m_video; }
    video::CallVideo const& video() const { return m_video; }
    // The call state as JSON text, for automation.
    std::string describe() const;

  private:
    struct Participant {
        std::string person;
        std::string ticket;
    };
    std::vector<Participant> live_participants(CallEnv const& env) const;
    void publish_call_state(CallEnv const& env);
    void enter_call(std::string const& channel);
    void leave_state();
    void teardown();
    void send_microphone(CallEnv const& env);
    void send_captured_audio(CallEnv const& env);
    void send_camera(CallEnv const& env);
    void send_screen(CallEnv const& env);
    void end_screen_share(std::string const& why);
    void receive(CallEnv const& env);
    bool authentic(media::MediaFrame const& frame);
    void play_received_audio(CallEnv const& env, media::MediaFrame const& frame);
    void refresh_presence(CallEnv const& env);
    void stop_source(media::MediaKind kind);
    bool issue(ChatAction const& action) { return m_dispatch && m_dispatch(action); }

    std::unique_ptr<media::CallTransport> m_transport;
    Dispatch m_dispatch;

    std::string m_channel;
    bool m_in_call = false;
    bool m_muted = false;
    bool m_deafened = false;
    bool m_audio_only = false;
    bool m_sharing = false;
    bool m_screen_share_changed = false;
    bool m_pending_leave = false;
    std::uint64_t m_sequence = 0;
    std::map<std::string, std::uint64_t> m_last_sequence;
    std::optional<std::string> m_notice;
    std::array<KindCounters, 3> m_counters{};
    std::vector<std::string> m_peers;
    std::uint64_t m_dials = 0;                // the transport's count when we last looked
    std::vector<Participant> m_participants;  // as read by the last step
    std::function<void()> m_wake;
    std::map<std::string, std::string> m_ticket_keys;  // ticket text -> endpoint key
    std::optional<std::int64_t> m_presence_written;

    audio::CueSetting m_cues;
    std::unique_ptr<audio::AudioCapture> m_capture;
    std::unique_ptr<audio::AudioPlayback> m_playback;
    audio::RetryGate m_capture_gate;
    audio::RetryGate m_playback_gate;
    video::CallVideo m_video;
};

}  // namespace chat::call
