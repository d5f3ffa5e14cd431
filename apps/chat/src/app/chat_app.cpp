#include "app/chat_app.hpp"

#include <glib.h>

#include <algorithm>
#include <cstdlib>

#include "actions/resources.hpp"
#include "audio/call_audio.hpp"
#include "doc/ids.hpp"
#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "media/call_session.hpp"
#include "media/simulated_transport.hpp"
#include "model/readers.hpp"
#include "vemo_ui/doc_text.hpp"
#include "vemo_ui/presence.hpp"

namespace chat {

using vemo_ui::Rect;

namespace {

constexpr size_t attachment_pass_channels = 256;
constexpr size_t attachment_pass_messages = 256;
constexpr size_t attachment_pass_moves = 32;
constexpr size_t demo_reference_max = 256;
constexpr std::string_view demo_scheme = "vemo-demo://";

doc::LocalPerson local_person(LocalIdentity const& id) {
    return {id.id, id.display_name, id.initials, id.color_idx, Presence::Online};
}

}  // namespace

ChatApp::ChatApp() : m_images(vemo_ui::ImageStore::create()) {
    m_nav.workspace_id = "ws_acme";
    m_nav.remembered_workspace_id = "ws_acme";
    m_nav.channel_id = "c_crit";
    m_nav.local = local_person(m_identity);
    m_seen_ids.push_back(m_identity.id);
    m_composer.set_text_size(15);
    m_thread_composer.set_text_size(15);
    m_composer.set_placeholder("Message #");
    m_thread_composer.set_placeholder("Reply…");
    register_pictures();
    apply_focus_rule();
    m_call = std::make_unique<call::CallSession>(
        std::make_unique<media::SimulatedTransport>(),
        [this](ChatAction const& action) { return dispatch(action); });
}

ChatApp::~ChatApp() = default;

std::unique_ptr<ChatApp> ChatApp::create_interactive() {
    auto app = std::make_unique<ChatApp>();
    app->m_interactive = true;
    app->m_identity = determine_local_identity(IdentitySources::from_environment());
    app->m_seen_ids = {app->m_identity.id};
    app->m_nav.local = local_person(app->m_identity);
    // The first refresh picks the first workspace there is.
    app->m_nav.workspace_id.clear();
    app->m_nav.remembered_workspace_id.clear();
    app->m_nav.channel_id.clear();
    // Tests keep call media on the loopback interface, as sharing's own switch does.
    p2p::EndpointOptions media_options;
    char const* loopback = std::getenv("VEMO_CHAT_MEDIA_LOOPBACK");
    media_options.loopback_only = loopback && std::string_view(loopback) == "1";
    app->m_call->set_transport(media::create_transport(std::move(media_options)));
    app->m_call->video().set_sources(video::VideoSources::system());
    app->load_user_settings_file();
    app->m_call->set_cues_enabled(audio::gstreamer_available() && app->m_settings.sounds);
    app->m_media_wakeup =
        std::make_unique<media::MainLoopWakeup>([raw = app.get()] { raw->run_media_step(); });
    app->m_call->set_media_waker(app->m_media_wakeup->waker());
    return app;
}

// --- Frame cycle -------------------------------------------------------------------------

void ChatApp::sync(vemo_ui::FrameContext& ctx) {
    m_ui_scale = float(ctx.ui_scale);
    m_time = ctx.time;
    m_tooltips.tick(ctx.time);
    tick_flaps(ctx.time);
    m_sharing = ctx.sharing;
    m_doc = ctx.document;
    poll_screen_capture();
    poll_attachment_listing();
    if (!m_doc) return;
    auto& doc = *m_doc;

    seed(doc);
    if (!m_attachment_pass_done) demo_attachment_pass(doc);
    poll_attachment_import();
    poll_attachment_export();
    if (m_initial_draft) {
        doc::set_draft(doc, m_nav.channel_id, *m_initial_draft);
        m_initial_draft.reset();
    }
    auto heads = doc.get_heads();
    if (heads != m_heads || m_view.workspaces.empty()) refresh();
    if (m_nav.thread_root && !find_message(*m_nav.thread_root)) {
        close_thread();
        apply_focus_rule();
        refresh();
    }
    mark_shown_read();
    update_attention();
    run_call_step();
}

void ChatApp::seed(automerge::AutoCommit& doc) {
    doc::seed_for_frame(doc, m_interactive, m_use_home_seed, local_person(m_identity));
}

void ChatApp::demo_attachment_pass(automerge::AutoCommit& doc) {
    m_attachment_pass_done = true;
    auto root = automerge::ObjId::root();
    auto messages = doc::get_map(doc, root, doc::messages_key);
    if (!messages) return;
    std::vector<std::pair<automerge::ObjId, std::string>> found;
    size_t examined = 0;
    auto channels = doc::keys(doc, *messages);
    for (size_t c = 0; c < channels.size() && c < attachment_pass_channels; ++c) {
        auto list = doc::get_list(doc, *messages, channels[c]);
        if (!list) continue;
        size_t n = doc::length(doc, *list);
        for (size_t i = 0; i < n && examined < attachment_pass_messages; ++i, ++examined) {
            auto msg = doc::get_at(doc, *list, i);
            if (!msg) continue;
            auto attachment = doc::get_map(doc, *msg, "attachment");
            if (!attachment) continue;
            auto blob = doc::get_str(doc, *attachment, "blob");
            if (blob && !blob->empty()) continue;
            auto path = doc::get_str(doc, *attachment, "path");
            if (path && path->size() <= demo_reference_max && path->starts_with(demo_scheme))
                found.emplace_back(*attachment, *path);
        }
    }
    for (size_t i = 0; i < found.size() && i < attachment_pass_moves; ++i) {
        (void)doc::put_str(doc, found[i].first, "blob", found[i].second);
        (void)doc::delete_key(doc, found[i].first, "path");
    }
}

void ChatApp::refresh() {
    if (!m_doc) return;
    m_nav.local = local_person(m_identity);
    m_live.refresh(*m_doc, m_nav);
    m_search_change.add(m_live.last_change());
    m_heads = m_doc->get_heads();

    m_reply_counts.clear();
    m_top_level.clear();
    for (size_t i = 0; i < m_view.messages.size(); ++i) {
        auto const& m = m_view.messages[i];
        if (m.parent)
            ++m_reply_counts[*m.parent];
        else
            m_top_level.push_back(i);
    }

    auto put_back = [](vemo_ui::TextInput& input, model::ComposerState const& state) {
        if (input.text() != state.text) {
            input.set_text(state.text);
            input.set_cursor_pos(g_utf8_strlen(state.text.data(), ssize_t(state.text.size())));
        }
        input.set_placeholder(state.placeholder);
        input.set_local_author(state.author);
    };
    // While an edit runs the model hands the edit text to the message composer; the editor
    // holds it here, so the composer keeps its draft.
    model::ComposerState main = m_view.message_composer;
    if (m_editing) main.text = model::read_draft(*m_doc, m_nav.channel_id);
    put_back(m_composer, main);
    put_back(m_thread_composer, m_view.thread_composer);
    update_search();
}

void ChatApp::mark_shown_read() {
    if (!m_doc || m_nav.channel_id.empty()) return;
    auto count = int64_t(m_top_level.size());
    if (doc::read_count(*m_doc, m_nav.channel_id, m_identity.id) == count) return;
    dispatch(action::MarkRead{m_nav.channel_id, m_identity.id, count});
    refresh();
}

void ChatApp::tick_flaps(double now) {
    if (m_modes.known) {
        m_left_flap.on_mode(m_modes.narrow ? vemo_ui::FlapMode::Overlay : vemo_ui::FlapMode::Wide);
        m_right_flap.on_mode(m_modes.thread_narrow ? vemo_ui::FlapMode::Overlay
                                                   : vemo_ui::FlapMode::Wide);
    }
    m_left_flap.tick(now);
    m_right_flap.tick(now);
}

bool ChatApp::dispatch(ChatAction const& action) {
    if (!m_doc) return false;
    std::string user = m_identity.id;
    ResourceInputs in{m_view, m_nav, user, now_seconds()};
    return dispatch_action(m_actions, *m_doc, action, action_context(action, in));
}

// --- Widget operations -------------------------------------------------------------------

vemo_ui::LayoutNode ChatApp::build_layout() {
    return vemo_ui::LayoutNode::fill(debug_name());
}

void ChatApp::apply_layout(vemo_ui::Layout const& layout, double origin_x, double origin_y) {
    auto node = layout.rect_of(debug_name());
    if (!node) return;
    m_x0 = origin_x + node->x;
    m_y0 = origin_y + node->y;
    m_x1 = m_x0 + node->width;
    m_y1 = m_y0 + node->height;
    m_modes = modes_for(m_x1 - m_x0, m_ui_scale, m_modes);
    if (m_modes.known) {
        m_left_flap.on_mode(m_modes.narrow ? vemo_ui::FlapMode::Overlay : vemo_ui::FlapMode::Wide);
        m_right_flap.on_mode(m_modes.thread_narrow ? vemo_ui::FlapMode::Overlay
                                                   : vemo_ui::FlapMode::Wide);
    }
    place_call_view();
}

bool ChatApp::text_input_active() const {
    if (m_search_window.is_open()) return m_search_window.input().is_focused();
    return m_composer.is_focused() || m_thread_composer.is_focused() || m_edit_input.is_focused() ||
           m_rename_input.is_focused() || m_invite_input.is_focused();
}

std::optional<Rect> ChatApp::text_input_caret_rect() const {
    // The search window covers the conversation and takes the typing while it is open, so
    // input-method popups belong at its field even though a composer keeps its focus.
    if (m_search_window.is_open()) {
        if (m_search_window.input().is_focused()) return m_search_window.input().caret_rect();
        return std::nullopt;
    }
    for (auto const* input :
         {&m_invite_input, &m_rename_input, &m_edit_input, &m_thread_composer, &m_composer})
        if (input->is_focused()) return input->caret_rect();
    return std::nullopt;
}

bool ChatApp::needs_animation_frame() const {
    return animation_moves_controls() || m_tooltips.pending() || call_pictures_new();
}

// A tooltip waiting to show and a new call picture repaint without moving or changing any
// control; everything else that animates may.
bool ChatApp::animation_moves_controls() const {
    return m_hover_stale || m_left_flap.is_animating() || m_right_flap.is_animating() ||
           !m_images->is_idle() || m_attachment_jobs.busy() || !m_waiting_imports.empty() ||
           m_attachment_export.running() || call_view_animating() ||
           (m_call_resume_requested && m_pending_continuation) || search_behind();
}

bool ChatApp::take_layout_changed() {
    return std::exchange(m_layout_changed, false);
}

std::optional<Rect> ChatApp::synthetic_accessibility_rect(int kind, size_t index) const {
    if (kind != 1 || index >= m_rows.size()) return std::nullopt;
    return m_rows[index].rect;
}

bool ChatApp::focus_synthetic_accessibility(int kind, size_t index) {
    if (kind != 1 || index >= m_rows.size()) return false;
    m_focused_row = m_rows[index].message;
    return true;
}

void ChatApp::draw_with_presence(vemo_ui::DrawContext& ctx, vemo_ui::PresenceCtx const& presence) {
    if (auto const& id = presence.self_id(); id && *id != m_identity.id) {
        m_identity.id = *id;
        m_identity.color_idx = color_index_for(*id);
        if (std::ranges::find(m_seen_ids, *id) == m_seen_ids.end()) m_seen_ids.push_back(*id);
    }
    if (auto const& name = presence.self_name(); name && *name != m_identity.display_name) {
        m_identity.display_name = *name;
        m_identity.initials = initials_for(*name);
    }
    m_presence_colors.clear();
    for (auto const& person : m_view.people)
        if (auto color = presence.color_for(person.id)) m_presence_colors[person.id] = *color;
    draw(ctx);
}

std::vector<vemo_actions::resource::Resource> ChatApp::list_resources() {
    std::string user = m_identity.id;
    return chat::list_resources(ResourceInputs{m_view, m_nav, user, now_seconds()});
}

std::optional<vemo_actions::resource::Resource> ChatApp::describe_resource(
    std::string const& address) {
    std::string user = m_identity.id;
    return chat::describe_resource(address, ResourceInputs{m_view, m_nav, user, now_seconds()});
}

std::optional<vemo_ui::bound_dispatch::DispatchReport> ChatApp::take_dispatch_report() {
    return std::exchange(m_actions.pending_report, std::nullopt);
}

std::expected<void, std::string> ChatApp::handle_operation(
    vemo_actions::EncodedAction const& operation) {
    auto outcome = handle_chat_operation(operation, m_view, m_nav.workspace_id, *this);
    if (auto const* error = std::get_if<OperationError>(&outcome))
        return std::unexpected(error->message);
    if (std::holds_alternative<OperationNotHandled>(outcome))
        return std::unexpected("no operation handler for '" + operation.kind + "'");
    refresh();
    return {};
}

std::expected<void, std::string> ChatApp::dispatch_encoded(
    vemo_actions::EncodedAction const& encoded) {
    if (encoded.kind != chat_action_kind)
        return std::unexpected("no action handler for '" + encoded.kind + "'");
    if (!m_doc) return std::unexpected(std::string("no document is open"));
    auto action = decode_chat_action(encoded.json);
    if (!action) return std::unexpected(action.error());
    if (!dispatch(*action)) {
        auto const& report = m_actions.pending_report;
        return std::unexpected(report && !report->ok ? report->error
                                                     : std::string("action dispatch failed"));
    }
    refresh();
    return {};
}

// --- Operations --------------------------------------------------------------------------

void ChatApp::open_workspace(std::string const& workspace) {
    m_in_inbox = false;
    m_nav.workspace_id = workspace;
    m_nav.remembered_workspace_id = workspace;
    m_nav.channel_id.clear();
    close_thread();
    jump_to_latest();
    apply_focus_rule();
    refresh();
}

void ChatApp::open_channel(std::string const& workspace, std::string const& channel) {
    m_nav.workspace_id = workspace;
    m_nav.remembered_workspace_id = workspace;
    select_channel(channel);
}

void ChatApp::open_category(std::string const& workspace, std::string const& category) {
    m_in_inbox = false;
    m_nav.workspace_id = workspace;
    m_nav.remembered_workspace_id = workspace;
    if (m_modes.narrow) m_left_flap.set_override(true);
    (void)category;
    refresh();
}

void ChatApp::reveal_message(std::string const& workspace, std::string const& channel,
                             std::string const& message, std::optional<std::string> const& parent) {
    open_channel(workspace, channel);
    if (parent) open_thread(*parent);
    m_pending_reveal = parent ? *parent : message;
    if (parent) m_pending_thread_reveal = message;
}

void ChatApp::open_person(std::string const& user) {
    (void)user;
    open_people_panel();
}

// --- Lookups -----------------------------------------------------------------------------

Channel const* ChatApp::find_channel(std::string_view id) const {
    auto it = std::ranges::find(m_view.channels, id, &Channel::id);
    return it == m_view.channels.end() ? nullptr : &*it;
}

Category const* ChatApp::find_category(std::string_view id) const {
    auto it = std::ranges::find(m_view.categories, id, &Category::id);
    return it == m_view.categories.end() ? nullptr : &*it;
}

Message const* ChatApp::find_message(std::string_view id) const {
    auto it = std::ranges::find(m_view.messages, id, &Message::id);
    return it == m_view.messages.end() ? nullptr : &*it;
}

std::string ChatApp::workspace_name(std::string_view id) const {
    auto it = std::ranges::find(m_view.workspaces, id, &Workspace::id);
    return it == m_view.workspaces.end() ? std::string() : it->name;
}

uint32_t ChatApp::inbox_unread() const {
    uint32_t total = 0;
    for (auto const& c : m_view.channels)
        if (!c.archived && c.kind == ChannelKind::Text) total += c.unread;
    return total;
}

std::string ChatApp::thread_draft_key() const {
    return m_nav.thread_root ? doc::thread_draft_key(m_nav.channel_id, *m_nav.thread_root)
                             : std::string();
}

std::vector<MentionCandidate> ChatApp::mention_candidates() const {
    std::vector<MentionCandidate> out;
    for (auto const& p : m_view.people) out.push_back({p.id, p.name, p.agent});
    for (auto const& id : m_seen_ids) {
        if (std::ranges::find(out, id, &MentionCandidate::id) != out.end()) continue;
        auto const* p = model::find_person(m_view.directory, id);
        out.push_back({id, p ? p->name : id, p && p->agent});
    }
    std::ranges::sort(out, [](MentionCandidate const& a, MentionCandidate const& b) {
        return std::tie(a.name, a.id) < std::tie(b.name, b.id);
    });
    return out;
}

std::vector<std::string> ChatApp::shown_image_references() const {
    std::vector<std::string> refs;
    for (auto const& m : m_view.messages)
        if (m.attachment)
            if (auto const* image = std::get_if<ImageAttachment>(&*m.attachment))
                refs.push_back(image_source(image->blob));
    for (auto const& entry : m_picker.entries)
        if (!entry.preview_source.empty()) refs.push_back(entry.preview_source);
    return refs;
}

// --- Scenario set-up ---------------------------------------------------------------------

void ChatApp::close_panels() {
    m_nav.thread_root.reset();
    m_right_flap.set_override(false);
    m_right_flap.progress = 0;
}

void ChatApp::close_left_flap() {
    m_left_flap.set_override(false);
    m_left_flap.progress = 0;
}

void ChatApp::open_people_panel() {
    m_nav.thread_root.reset();
    m_right_flap.set_override(true);
    m_right_flap.progress = 1;
}

void ChatApp::open_thread(std::string const& root) {
    if (!m_nav.thread_root) m_right_opened_for_thread = !m_right_flap.target();
    // Another thread opens at its latest reply.
    if (m_nav.thread_root != root) m_thread_scroll.jump_to_latest();
    m_nav.thread_root = root;
    m_thread_focus = true;
    m_focused.reset();
    m_right_flap.set_override(true);
    m_right_flap.progress = 1;
    apply_focus_rule();
}

void ChatApp::close_thread() {
    m_nav.thread_root.reset();
    m_thread_focus = false;
    if (std::exchange(m_right_opened_for_thread, false)) m_right_flap.set_override(false);
    apply_focus_rule();
}

void ChatApp::scroll_back(double offset) {
    m_scroll.scroll_back(offset);
}

void ChatApp::set_edit_text(std::string text) {
    m_edit_input.set_text(text);
    m_edit_input.set_cursor_pos(g_utf8_strlen(text.data(), ssize_t(text.size())));
}

}  // namespace chat
