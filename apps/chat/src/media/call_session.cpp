#include "media/call_session.hpp"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "doc/document.hpp"
#include "doc/schema.hpp"
#include "model/readers.hpp"

namespace chat::call {

using media::MediaKind;

namespace {

constexpr std::uint64_t max_sequence = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_times(std::uint64_t value, std::uint64_t factor) {
    return value > max_sequence / factor ? max_sequence : value * factor;
}

constexpr std::array all_kinds{MediaKind::Microphone, MediaKind::Camera, MediaKind::ScreenShare};

}  // namespace

CallSession::CallSession(std::unique_ptr<media::CallTransport> transport, Dispatch dispatch,
                         video::VideoSources sources)
    : m_transport(std::move(transport)),
      m_dispatch(std::move(dispatch)),
      m_video(std::move(sources)) {}

CallSession::~CallSession() = default;

void CallSession::set_transport(std::unique_ptr<media::CallTransport> transport) {
    m_transport = std::move(transport);
    m_ticket_keys.clear();
    if (m_wake) m_transport->on_arrival(m_wake);
}

void CallSession::set_media_waker(std::function<void()> wake) {
    m_wake = std::move(wake);
    m_transport->on_arrival(m_wake);
}

// --- Lifecycle ----------------------------------------------------------------------------

void CallSession::join_call(CallEnv const& env, std::string const& channel) {
    if (!env.permitted) return;
    if (m_in_call && m_channel != channel) issue(action::LeaveCall{m_channel, env.self});
    enter_call(channel);
    issue(action::JoinCall{channel, env.self});
    issue(action::SetCallTicket{channel, env.self, m_transport->local_ticket()});
    publish_call_state(env);
    m_transport->enable_kind(MediaKind::Microphone);
    connect_call_peers(env);
    m_presence_written.reset();
    refresh_presence(env);
    audio::play_cue(m_cues, audio::Cue::Join);
}

void CallSession::leave_call(CallEnv const& env) {
    if (!m_in_call) return;
    issue(action::LeaveCall{m_channel, env.self});
    for (auto kind : all_kinds) m_transport->disable_kind(kind);
    leave_state();
    audio::play_cue(m_cues, audio::Cue::Leave);
}

void CallSession::toggle_mute(CallEnv const& env) {
    if (!m_in_call) return;
    m_muted = !m_muted;
    if (!m_muted) m_deafened = false;
    publish_call_state(env);
}

void CallSession::toggle_deafen(CallEnv const& env) {
    if (!m_in_call) return;
    m_deafened = !m_deafened;
    if (m_deafened) m_muted = true;
    publish_call_state(env);
}

void CallSession::toggle_audio_only(CallEnv const& env) {
    if (!m_in_call) return;
    m_audio_only = !m_audio_only;
    publish_call_state(env);
}

void CallSession::resume(CallEnv const& env, std::string const& channel, bool muted,
                         bool audio_only) {
    enter_call(channel);
    m_muted = muted;
    m_audio_only = audio_only;
    m_screen_share_changed = true;
    m_transport->enable_kind(MediaKind::Microphone);
    // After a restart the endpoint, and so the ticket, is new: peers would dial the old one and
    // drop our frames as not coming from the key it names. A record that is gone altogether
    // (left from another device of ours) is written again.
    if (!env.doc) return;
    auto records = model::read_voice(*env.doc, channel);
    auto own = std::find_if(records.begin(), records.end(),
                            [&](auto const& p) { return p.person == env.self; });
    if (own == records.end()) issue(action::JoinCall{channel, env.self});
    if (own == records.end() || own->ticket != m_transport->local_ticket()) {
        issue(action::SetCallTicket{channel, env.self, m_transport->local_ticket()});
        publish_call_state(env);
    }
}

void CallSession::publish_call_state(CallEnv const& env) {
    issue(action::SetCallState{m_channel, env.self, !m_muted, m_muted, m_deafened, m_audio_only});
}

void CallSession::enter_call(std::string const& channel) {
    m_channel = channel;
    m_in_call = true;
    m_deafened = false;
    m_sharing = false;
    m_presence_written.reset();
    m_participants.clear();
}

void CallSession::leave_state() {
    m_in_call = false;
    m_sharing = false;
    m_presence_written.reset();
}

void CallSession::clear_leftover_records(CallEnv const& env) {
    if (!env.doc) return;
    auto& doc = *env.doc;
    auto voice = doc::get_map(doc, doc::ObjId::root(), doc::voice_key);
    if (!voice) return;
    for (auto const& channel : doc::keys(doc, *voice)) {
        if (m_in_call && channel == m_channel) continue;
        auto call = doc::get_map(doc, *voice, channel);
        if (call && doc::get_map(doc, *call, env.self)) issue(action::LeaveCall{channel, env.self});
    }
}

// --- The per-frame step --------------------------------------------------------------------

void CallSession::step(CallEnv const& env) {
    if (std::exchange(m_pending_leave, false) && m_in_call) {
        issue(action::LeaveCall{m_channel, env.self});
        for (auto kind : all_kinds) m_transport->disable_kind(kind);
        leave_state();
    }
    if (!m_in_call) {
        teardown();
        return;
    }
    if (std::exchange(m_screen_share_changed, false))
        issue(action::SetScreenShare{m_channel, env.self, m_sharing});
    connect_call_peers(env);
    send_microphone(env);
    send_camera(env);
    send_screen(env);
    receive(env);
    refresh_presence(env);
}

void CallSession::media_step(CallEnv const& env) {
    if (!m_in_call) return;
    if (m_capture && !m_muted && !m_deafened && env.permitted) send_captured_audio(env);
    // Until a step has read who takes part (just after resuming), frames wait for it.
    if (!m_participants.empty()) receive(env);
}

void CallSession::teardown() {
    m_capture.reset();
    m_video.reset();
    m_playback.reset();
    m_last_sequence.clear();
    m_sequence = 0;
    m_notice.reset();
    m_peers.clear();
    m_participants.clear();
}

std::vector<CallSession::Participant> CallSession::live_participants(CallEnv const& env) const {
    std::vector<Participant> out;
    if (!env.doc) return out;
    for (auto& p : model::read_voice(*env.doc, m_channel, env.wall))
        out.push_back({std::move(p.person), std::move(p.ticket)});
    return out;
}

void CallSession::connect_call_peers(CallEnv const& env) {
    auto before = std::exchange(m_peers, {});
    std::vector<std::string> present;
    m_participants = live_participants(env);
    for (auto const& p : m_participants) {
        present.push_back(p.person);
        if (p.person == env.self || p.ticket.empty()) continue;
        if (m_transport->connect(p.ticket)) m_peers.push_back(p.person);
        m_transport->expect_peer(p.person, false);
    }
    m_video.release_decoders_except(present);
    // Someone new sees our camera and screen from the next frame on rather than at the next
    // key frame. So does a peer we dialled again: what went to a dial that failed never
    // reached them, and the new connection's queue must start with a key frame.
    bool fresh = std::ranges::any_of(
        m_peers, [&](auto const& p) { return std::ranges::find(before, p) == before.end(); });
    auto dials = m_transport->dials();
    if (std::exchange(m_dials, dials) != dials) fresh = true;
    if (fresh) m_video.refresh_key_frames();
}

void CallSession::refresh_presence(CallEnv const& env) {
    if (!env.doc) return;
    if (m_presence_written && env.wall >= *m_presence_written &&
        env.wall - *m_presence_written < doc::voice_presence_refresh_seconds)
        return;
    doc::touch_voice_presence(*env.doc, m_channel, env.self, env.wall);
    m_presence_written = env.wall;
}

// --- Sending ------------------------------------------------------------------------------

bool CallSession::send_media(std::string const& sender, MediaKind kind,
                             media::MediaTimestamp timestamp, std::vector<std::uint8_t> payload) {
    if (payload.size() > media::max_payload_bytes) {
        m_notice = std::string(media::display_name(kind)) + " stopped: encoded frame (" +
                   std::to_string(payload.size()) + " bytes) exceeds Chat's " +
                   std::to_string(media::max_payload_bytes) + " byte media limit";
        m_transport->disable_kind(kind);
        stop_source(kind);
        return false;
    }
    if (m_sequence == max_sequence) {
        m_notice = media_stopped_notice;
        for (auto k : all_kinds) m_transport->disable_kind(k);
        if (m_sharing) stop_source(MediaKind::ScreenShare);
        return false;
    }
    std::uint64_t s = m_sequence++;
    media::MediaFrame frame{sender, std::move(payload), timestamp, s, kind, {}};
    if (m_transport->send_frame(std::move(frame))) ++m_counters[std::size_t(kind)].sent;
    return true;
}

void CallSession::stop_source(MediaKind kind) {
    switch (kind) {
        case MediaKind::Microphone:
            m_capture.reset();
            break;
        case MediaKind::ScreenShare:
            m_sharing = false;
            m_video.stop_screen();
            m_screen_share_changed = true;
            break;
        case MediaKind::Camera:
            m_video.stop_camera();
            break;
    }
}

void CallSession::send_microphone(CallEnv const& env) {
    if (m_muted || m_deafened || !env.permitted) {
        m_capture.reset();
        return;
    }
    if (!m_capture) {
        if (!m_capture_gate.ready(env.now)) return;
        m_capture = audio::AudioCapture::start(m_wake);
        if (!m_capture) {
            m_capture_gate.failed(env.now);
            return;
        }
    }
    if (m_capture->failed()) {
        m_capture.reset();
        m_capture_gate.failed(env.now);
        return;
    }
    send_captured_audio(env);
}

void CallSession::send_captured_audio(CallEnv const& env) {
    for (auto& packet : m_capture->pull_packets()) {
        auto stamp = media::MediaTimestamp::from_millis(saturating_times(m_sequence, 20));
        if (!send_media(env.self, MediaKind::Microphone, stamp, std::move(packet))) break;
    }
}

// --- Video ------------------------------------------------------------------------------

void CallSession::send_camera(CallEnv const& env) {
    if (m_audio_only || !env.permitted) {
        if (m_video.camera_running()) m_transport->disable_kind(MediaKind::Camera);
        m_video.stop_camera();
        return;
    }
    bool was_running = m_video.camera_running();
    auto unit = m_video.next_camera_unit(env.now);
    if (!was_running && m_video.camera_running()) m_transport->enable_kind(MediaKind::Camera);
    if (!unit) return;
    auto stamp = media::MediaTimestamp::from_millis(saturating_times(m_sequence, 33));
    send_media(env.self, MediaKind::Camera, stamp, std::move(*unit));
}

void CallSession::send_screen(CallEnv const& env) {
    if (!m_video.screen_running()) return;
    if (m_video.screen_failed()) {
        end_screen_share("the shared screen is no longer available");
        return;
    }
    auto packet = m_video.next_screen_packet(vemo_callstream::session::Clock::now());
    if (!packet) {
        end_screen_share(packet.error().display_text());
        return;
    }
    if (!*packet) return;
    auto stamp = media::MediaTimestamp::from_millis(saturating_times(m_sequence, 33));
    send_media(env.self, MediaKind::ScreenShare, stamp, std::move(**packet));
}

// The share ended without the user asking: say why, and tell the others on the next step.
void CallSession::end_screen_share(std::string const& why) {
    m_notice = "Screen sharing stopped: " + why;
    m_sharing = false;
    stop_screen_share();
    m_screen_share_changed = true;
}

bool CallSession::request_screen_share(CallEnv const& env) {
    if (!m_in_call || m_sharing || m_video.screen_request_pending() || !env.permitted) return false;
    m_video.begin_screen_request();
    return m_video.screen_request_pending();
}

std::optional<std::string> CallSession::poll_screen_capture(CallEnv const& env) {
    auto answer = m_video.poll_screen_request();
    if (!answer) return std::nullopt;
    if (!*answer) return answer->error();
    // An answer that comes after we left, while already sharing or without the right to
    // take part starts nothing; dropping the grant closes the desktop's cast.
    if (!m_in_call || m_sharing || !env.permitted) return std::nullopt;
    start_screen_share(std::move(**answer), video::screen_width, video::screen_height);
    return std::nullopt;
}

bool CallSession::start_screen_share(vemo_ui::capture::ScreenCapture capture, int width,
                                     int height) {
    auto started = m_video.start_screen(std::move(capture), width, height);
    if (!started) {
        // Claiming to share without a stream would leave everyone looking at nothing.
        m_notice = "Screen sharing failed: " + started.error();
        return false;
    }
    m_transport->enable_kind(MediaKind::ScreenShare);
    m_sharing = true;
    m_screen_share_changed = true;
    return true;
}

void CallSession::stop_screen_share() {
    m_video.stop_screen();
    m_transport->disable_kind(MediaKind::ScreenShare);
}

void CallSession::toggle_screen_share(CallEnv const& env) {
    if (!m_in_call) return;
    if (!m_sharing) {
        request_screen_share(env);
        return;
    }
    m_sharing = false;
    stop_screen_share();
    issue(action::SetScreenShare{m_channel, env.self, false});
}

// --- Receiving ----------------------------------------------------------------------------

// A frame counts only when the connection it came on belongs to the endpoint named by the
// sender's own ticket; anyone else who learned a ticket could otherwise speak for anybody.
bool CallSession::authentic(media::MediaFrame const& frame) {
    auto it = std::ranges::find(m_participants, frame.sender, &Participant::person);
    if (it == m_participants.end() || it->ticket.empty() || frame.remote_endpoint.empty())
        return false;
    auto key = m_ticket_keys.find(it->ticket);
    if (key == m_ticket_keys.end())
        key = m_ticket_keys.emplace(it->ticket, media::ticket_endpoint_id(it->ticket).value_or(""))
                  .first;
    return !key->second.empty() && key->second == frame.remote_endpoint;
}

void CallSession::receive(CallEnv const& env) {
    auto frames = m_transport->drain_frames();
    if (frames.empty()) return;
    for (auto& frame : frames) {
        auto& count = m_counters[std::size_t(frame.kind)];
        if (frame.sender == env.self) {
            ++count.dropped_own;
            continue;
        }
        // Checked before the sequence so that a forged frame cannot advance a real
        // sender's sequence and silence it.
        if (!authentic(frame)) {
            ++count.dropped_unauthenticated;
            continue;
        }
        bool fresh_counter = frame.sequence == 0 && frame.timestamp == media::MediaTimestamp{};
        if (!fresh_counter && !m_last_sequence.empty()) {
            auto last = m_last_sequence.find(frame.sender);
            if (last != m_last_sequence.end() && last->second >= frame.sequence) {
                ++count.dropped_sequence;
                continue;
            }
        }
        m_last_sequence[frame.sender] = frame.sequence;
        ++count.received;
        if (frame.kind == MediaKind::Microphone)
            play_received_audio(env, frame);
        else
            m_video.receive(frame.kind, frame.sender, frame.payload);
    }
}

void CallSession::play_received_audio(CallEnv const& env, media::MediaFrame const& frame) {
    if (m_deafened) return;
    if (m_playback && m_playback->failed()) {
        m_playback.reset();
        m_playback_gate.failed(env.now);
    }
    if (!m_playback) {
        if (!m_playback_gate.ready(env.now)) return;
        m_playback = audio::AudioPlayback::start();
        if (!m_playback) {
            m_playback_gate.failed(env.now);
            return;
        }
    }
    m_playback->push(frame.payload);
}

// --- Automation ---------------------------------------------------------------------------

std::string CallSession::describe() const {
    using nlohmann::json;
    json media = json::object();
    char const* names[] = {"microphone", "camera", "screen_share"};
    for (auto kind : all_kinds) {
        auto const& c = counters(kind);
        media[names[std::size_t(kind)]] = {{"sent", c.sent},
                                           {"received", c.received},
                                           {"dropped",
                                            {{"own", c.dropped_own},
                                             {"sequence", c.dropped_sequence},
                                             {"unauthenticated", c.dropped_unauthenticated}}}};
    }
    char const* cue_names[] = {"join", "leave", "none"};
    json out = {{"channel", m_channel},
                {"in_call", m_in_call},
                {"muted", m_muted},
                {"deafened", m_deafened},
                {"audio_only", m_audio_only},
                {"sharing", m_sharing},
                {"notice", m_notice ? json(*m_notice) : json(nullptr)},
                {"peers", m_peers},
                {"networked", m_transport->is_networked()},
                {"capturing", capturing()},
                {"playing", playing()},
                {"sequence", m_sequence},
                {"cue", cue_names[std::size_t(m_cues.last)]},
                {"video", m_video.describe()},
                {"media", std::move(media)}};
    return out.dump();
}

}  // namespace chat::call
