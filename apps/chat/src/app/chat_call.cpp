// The call as the window sees it: joining and leaving, the call controls, and the call's
// share of the frame.
#include <glib.h>

#include <utility>

#include "app/chat_app.hpp"
#include "app/composer_text.hpp"
#include "doc/schema.hpp"
#include "media/call_session.hpp"

namespace chat {

namespace {

constexpr double call_tick_seconds = 0.020;

constexpr HitKind call_controls[] = {
    HitKind::CallParticipantsToggle,
    HitKind::CallMute,
    HitKind::CallDeafen,
    HitKind::CallAudioOnly,
    HitKind::CallShareScreen,
    HitKind::CallExpand,
    HitKind::CallLeave,
};

}  // namespace

call::CallEnv ChatApp::call_env() const {
    return call::CallEnv{m_doc, m_identity.id, can_write(), m_time, now_seconds()};
}

void ChatApp::set_call_transport(std::unique_ptr<media::CallTransport> transport) {
    m_call->set_transport(std::move(transport));
}

void ChatApp::join_call(std::string const& channel) {
    if (!m_doc) return;
    m_call->join_call(call_env(), channel);
    m_call_view.reset();
    m_layout_changed = true;
    refresh();
}

void ChatApp::leave_call() {
    if (!m_call->in_call()) return;
    m_call->leave_call(call_env());
    m_call_view.reset();
    m_layout_changed = true;
    refresh();
}

// Answers whether the target was a call control taken by the running call.
bool ChatApp::activate_call_control(HitTarget const& target) {
    if (!m_call->in_call()) return false;
    auto env = call_env();
    switch (target.kind) {
        case HitKind::CallMute:
            if (can_write()) m_call->toggle_mute(env);
            return true;
        case HitKind::CallDeafen:
            if (can_write()) m_call->toggle_deafen(env);
            return true;
        case HitKind::CallAudioOnly:
            if (can_write()) m_call->toggle_audio_only(env);
            return true;
        case HitKind::CallLeave:
            leave_call();
            return true;
        case HitKind::StartCall:
            m_layout_changed = true;
            return true;
        case HitKind::CallExpand:
            toggle_call_expanded();
            return true;
        case HitKind::CallParticipantsToggle:
            toggle_call_participants();
            return true;
        case HitKind::CallShareScreen:
            if (m_call->sharing()) {
                m_call->toggle_screen_share(env);
                m_layout_changed = true;
            } else {
                request_screen_share();
            }
            return true;
        case HitKind::CallDragHandle:
            return true;
        default:
            return false;
    }
}

// The call controls answer by their identifiers while a call runs, whether or not the call
// view drew them this frame.
bool ChatApp::perform_call_control(std::string const& id) {
    if (!m_call->in_call()) return false;
    for (auto kind : call_controls) {
        HitTarget target{kind};
        if (semantic_id(target) != id) continue;
        activate(target);
        return true;
    }
    return false;
}

// --- Screen sharing -----------------------------------------------------------------------

bool ChatApp::request_screen_share() {
    if (!m_call->request_screen_share(call_env())) return false;
    poll_screen_capture();
    return true;
}

void ChatApp::poll_screen_capture() {
    if (!m_call->screen_request_pending()) return;
    // The desktop's dialogue answers on the default main context. Inside the window's main
    // loop that context runs anyway; a headless session turns it here, briefly.
    if (g_main_depth() == 0)
        for (int i = 0; i < 16 && g_main_context_iteration(nullptr, FALSE); ++i) {
        }
    bool was_sharing = m_call->sharing();
    if (auto failure = m_call->poll_screen_capture(call_env())) m_status = *failure;
    if (was_sharing != m_call->sharing()) m_layout_changed = true;
}

bool ChatApp::start_screen_share(vemo_ui::capture::ScreenCapture capture, int width, int height) {
    if (!m_call->start_screen_share(std::move(capture), width, height)) return false;
    m_layout_changed = true;
    return true;
}

void ChatApp::stop_screen_share() {
    m_call->stop_screen_share();
    m_layout_changed = true;
}

// --- Continuation -------------------------------------------------------------------------

std::optional<std::string> ChatApp::export_call_continuation() const {
    if (!m_call->in_call()) return std::nullopt;
    auto const* channel = find_channel(m_call->channel());
    if (!channel || channel->kind != ChannelKind::Voice) return std::nullopt;
    bool audio_only = m_call->audio_only();
    call::ChatCallContinuation c{channel->workspace,
                                 channel->id,
                                 {true, !audio_only, m_call->sharing(), false},
                                 {m_call->muted(), audio_only, false, true}};
    return call::encode_continuation(c);
}

bool ChatApp::import_call_continuation(std::string const& json) {
    auto c = call::decode_continuation(json);
    if (!c) return false;
    auto const* channel = find_channel(c->channel_id);
    if (!channel || channel->kind != ChannelKind::Voice || channel->workspace != c->workspace_id)
        return false;
    m_pending_continuation = std::move(*c);
    return true;
}

void ChatApp::request_call_leave() {
    m_call->request_leave();
}

void ChatApp::resume_pending_continuation() {
    if (!std::exchange(m_call_resume_requested, false) || !m_pending_continuation) return;
    auto c = std::move(*m_pending_continuation);
    m_pending_continuation.reset();
    if (m_call->in_call() && m_call->channel() == c.channel_id) return;
    m_call->resume(call_env(), c.channel_id, c.controls.microphone_muted,
                   c.controls.camera_muted || !c.media.camera);
    // The share carries on only with a fresh capture permission from this desktop.
    if (c.media.screen_share && !c.controls.screen_share_paused) request_screen_share();
    m_layout_changed = true;
}

// --- The frame -----------------------------------------------------------------------------

void ChatApp::run_call_step() {
    if (!m_doc) return;
    resume_pending_continuation();
    auto env = call_env();
    if (m_interactive && !std::exchange(m_call_leftovers_cleared, true))
        m_call->clear_leftover_records(env);
    bool was_in_call = m_call->in_call();
    m_call->step(env);
    // This frame draws every picture that has arrived so far.
    m_pictures_shown = m_call->video().picture_serial();
    if (was_in_call != m_call->in_call()) {
        m_layout_changed = true;
        refresh();
    }
    // Participants whose device stopped refreshing its record expire without any change to
    // the document, so the view is read again now and then.
    if (m_time - m_voice_view_read_at >= double(doc::voice_presence_refresh_seconds)) {
        m_voice_view_read_at = m_time;
        refresh();
    }
}

// Between ticks, as soon as a microphone packet is ready or frames arrived.
void ChatApp::run_media_step() {
    if (m_doc) m_call->media_step(call_env());
}

// Pictures that arrived between frames (the realtime tick receives them) ask for a frame.
bool ChatApp::call_pictures_new() const {
    return m_call->in_call() && m_call->video().picture_serial() != m_pictures_shown;
}

double ChatApp::realtime_interval() const {
    return m_call->in_call() ? call_tick_seconds : 0;
}

void ChatApp::realtime_tick(vemo_ui::FrameContext& ctx) {
    m_doc = ctx.document;
    m_time = ctx.time;
    if (m_doc) m_call->step(call_env());
}

std::optional<std::string> ChatApp::automation_state(std::string const& topic) {
    if (topic != "call") return std::nullopt;
    return m_call->describe();
}

}  // namespace chat
