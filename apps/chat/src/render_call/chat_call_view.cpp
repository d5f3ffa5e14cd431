// The call view's share of the window: building the scene from the view model, placing the
// floating call, its drag and hand-off, and drawing it.
#include <algorithm>

#include "app/chat_app.hpp"
#include "app/localisation.hpp"
#include "media/call_session.hpp"
#include "model/view_model.hpp"
#include "vemo_ui/painter.hpp"

namespace chat {

using vemo_ui::Rect;

namespace {

vemo_ui::FloatingValues const floating_call_values{};

}  // namespace

render_call::CallScene ChatApp::call_scene() const {
    render_call::CallScene scene;
    auto const& call = *m_call;
    scene.channel_id = call.channel();
    auto const* channel = find_channel(call.channel());
    scene.title = channel ? channel->name : "Call";
    bool sharing = call.sharing();
    scene.muted = call.muted();
    scene.deafened = call.deafened();
    scene.audio_only = call.audio_only();
    scene.participants_open = m_call_view.participants_open;
    scene.reveal = std::max(0.0, m_call_view.reveal);
    scene.notice = call.notice();
    scene.hover = m_call_view.hover_for_review
                      ? std::optional<HitTarget>(HitTarget{*m_call_view.hover_for_review})
                      : m_hover;
    scene.focus = m_focused;

    render_call::CallTile self;
    self.id = m_identity.id;
    self.name = "You";
    self.initials = m_identity.initials;
    self.color = uint32_t(m_identity.color_idx);
    self.local = true;
    self.talking = !call.muted();
    self.muted = call.muted();
    self.audio_only = call.audio_only();
    self.sharing = sharing;
    // Pictures are converted for painting here, once each, on the first frame that shows them.
    auto& video = m_call->video();
    if (!call.audio_only()) self.camera = video.self_view_image();
    scene.tiles.push_back(std::move(self));

    auto it = m_view.voice_participants.find(call.channel());
    if (it != m_view.voice_participants.end()) {
        scene.participants = it->second.size();
        for (auto const& record : it->second) {
            if (record.person == m_identity.id) continue;
            render_call::CallTile tile;
            tile.id = record.person;
            if (auto const* person = model::find_person(m_view.directory, record.person)) {
                tile.name = person->name;
                tile.initials = person->initials;
                tile.color = person->color_idx;
            }
            tile.talking = record.talking && !record.muted;
            tile.muted = record.muted;
            tile.audio_only = record.audio_only;
            tile.sharing = record.sharing;
            if (!record.audio_only) tile.camera = video.camera_image(record.person);
            scene.tiles.push_back(std::move(tile));
        }
    }
    if (sharing) {
        scene.presenter = 0;
        scene.screen = video.screen_preview_image();
    } else {
        for (size_t i = 1; i < scene.tiles.size(); ++i)
            if (scene.tiles[i].sharing) {
                scene.presenter = i;
                scene.screen = video.screen_image(scene.tiles[i].id);
                break;
            }
    }
    return scene;
}

void ChatApp::place_call_view() {
    Rect content = content_bounds();
    if (!m_call->in_call() || m_call_view.expanded || content.is_empty()) return;
    m_call_view.placement.place(content, floating_call_values);
}

bool ChatApp::call_view_animating() const {
    if (!m_call->in_call()) return false;
    auto const& p = m_call_view.placement;
    return m_call_view.animating() || p.is_dragging() || p.is_handoff_animating() ||
           p.is_collapse_animating();
}

bool ChatApp::call_expanded() const {
    return m_call->in_call() && m_call_view.expanded;
}

bool ChatApp::is_dragging_floating_call() const {
    return m_call->in_call() && m_call_view.placement.is_dragging();
}

void ChatApp::toggle_call_expanded() {
    m_call_view.expanded = !m_call_view.expanded;
    m_layout_changed = true;
}

void ChatApp::toggle_call_participants() {
    m_call_view.toggle_participants(m_time);
}

// The drag of the floating call by its handle; answers whether the event was the drag's.
bool ChatApp::handle_call_drag(vemo_ui::PointerEvent const& p) {
    using Kind = vemo_ui::PointerEvent::Kind;
    auto& placement = m_call_view.placement;
    if (!m_call->in_call() || m_call_view.expanded) return false;
    Rect content = content_bounds();
    if (!placement.is_dragging()) {
        if (p.kind != Kind::Press || p.button != vemo_ui::PointerButton::Primary) return false;
        auto target = target_at(p.position);
        if (!target || target->kind != HitKind::CallDragHandle) return false;
        Rect r = placement.rect();
        m_call_view.drag_window_size = {r.width + 2 * render_call::floating_frame_side,
                                        r.height + render_call::floating_header};
        placement.begin_drag(content, p.position);
        return true;
    }
    if (p.kind == Kind::Move) {
        placement.update_drag(p.position, content);
        return true;
    }
    // The pointer leaving the window does not end the drag: the panel follows it out onto the
    // desktop, and the window keeps the pointer until the button is let go.
    if (p.kind == Kind::Leave) return true;
    if (p.kind == Kind::Release) {
        placement.end_drag(p.position);
        // Without a desktop surface to show it on, the panel comes back into the window.
        if (placement.is_detached() && !m_call_desktop_surface)
            placement.confirm_app_adoption(content);
        return true;
    }
    return false;
}

void ChatApp::draw_call_overlay(vemo_ui::DrawContext& ctx) {
    // A call left or taken back leaves no controls behind where its own window was.
    if (!m_call->in_call() || m_call_view.expanded || !m_call_view.placement.is_detached())
        m_surface_hits.clear();
    if (!m_call->in_call()) return;
    m_call_view.placement.tick(m_time);  // the frame's clock, from sync
    if (m_call_view.tick(m_time)) m_hover_stale = true;
    auto scene = call_scene();
    if (m_call_view.expanded) {
        render_call::draw_expanded_call(
            ctx, scene, m_regions.main, [](std::string_view key) { return translate(key); },
            m_hits);
        return;
    }
    if (m_call_view.placement.is_detached()) return;  // on its own surface
    render_call::draw_floating_call(ctx, scene, m_call_view.placement, m_hits);
}

void ChatApp::draw_floating_surfaces(vemo_ui::DrawContext& ctx) {
    if (!m_call->in_call() || m_call_view.expanded || !m_call_view.placement.is_detached()) return;
    auto scene = call_scene();
    std::vector<HitRegion> hits;
    render_call::draw_floating_call(ctx, scene, m_call_view.placement, hits);
}

void ChatApp::set_up_floating_call_for_review(std::string_view name) {
    if (!name.starts_with("floating-call") || !m_call->in_call()) return;
    auto& placement = m_call_view.placement;
    if (name == "floating-call-attached") {
        placement.pin_handoff_for_visual_review(1000);
        return;
    }
    Rect attached = placement.attached_rect();
    placement.detach_to_desktop({760, 300, attached.width, attached.height});
    m_call_desktop_surface = true;
    if (name == "floating-call-hover") m_call_view.hover_for_review = HitKind::CallLeave;
    constexpr std::string_view collapse_prefix = "floating-call-collapse-";
    if (name.starts_with(collapse_prefix)) {
        if (auto value = vemo_ui::collapse_value_for(name.substr(collapse_prefix.size())))
            placement.freeze_collapse(*value);
    }
    bool returning = name == "floating-call-returning" || name == "floating-call-returned";
    if (returning) {
        Rect r = placement.rect();
        Rect content = content_bounds();
        placement.begin_drag(content, {r.center().x, r.y - 18});
        placement.update_drag({720, 210}, content);
    }
    if (name == "floating-call-returned") adopt_desktop_surface("active-call:" + m_call->channel());
    placement.pin_handoff_for_visual_review(returning ? 500 : 1000);
}

std::string ChatApp::call_surface_id() const {
    return "active-call:" + m_call->channel();
}

bool ChatApp::adopt_desktop_surface(std::string const& surface_id) {
    if (!m_call->in_call() || surface_id != call_surface_id()) return false;
    m_call_view.placement.confirm_app_adoption(content_bounds());
    m_surface_hits.clear();
    return true;
}

// --- The detached call's own desktop window -------------------------------------------------

namespace {

constexpr char const* call_surface_title = "Active call";
constexpr char const* call_surface_app_id = "so.vemo.chat";

}  // namespace

void ChatApp::set_desktop_surfaces_available(bool available) {
    m_call_desktop_surface = available;
}

std::vector<vemo_ui::DesktopSurface> ChatApp::desktop_surfaces() const {
    auto const& placement = m_call_view.placement;
    if (!m_call_desktop_surface || !m_call->in_call() || m_call_view.expanded ||
        !placement.is_detached())
        return {};
    // The window holds the whole frame around the panel's body, at its settled size.
    Rect window = render_call::floating_window_rect(placement.rect(), call_scene());
    return {{call_surface_id(), call_surface_title, call_surface_app_id, window}};
}

void ChatApp::draw_desktop_surface(std::string const& id, vemo_ui::DrawContext& ctx) {
    if (id != call_surface_id() || desktop_surfaces().empty()) return;
    m_surface_hits.clear();
    render_call::draw_floating_call(ctx, call_scene(), m_call_view.placement, m_surface_hits);
}

vemo_ui::a11y::AccessNode ChatApp::desktop_surface_accessibility(std::string const& id) const {
    using vemo_ui::a11y::AccessNode;
    auto surfaces = desktop_surfaces();
    if (surfaces.empty() || id != surfaces.front().id) return {};
    AccessNode root;
    root.role = vemo_ui::a11y::Role::Window;
    root.id = id;
    root.label = surfaces.front().title;
    root.description = status_text_for_access();
    root.rect = surfaces.front().rect;
    for (auto const& region : m_surface_hits) {
        auto const& t = region.target;
        if (!has_access_node(t.kind)) continue;
        AccessNode node;
        node.role = access_role(t.kind);
        node.id = semantic_id(t);
        node.label = access_label(t, label_facts(t));
        node.rect = region.rect;
        node.states = control_states(t, label_facts(t));
        root.children.push_back(std::move(node));
    }
    return root;
}

// "Design Huddle, 4 in call": what a screen reader says about the detached window.
std::string ChatApp::status_text_for_access() const {
    auto scene = call_scene();
    return scene.title + ", " + std::to_string(std::max<size_t>(scene.participants, 1)) +
           " in call";
}

void ChatApp::desktop_surface_returned(std::string const& id) {
    adopt_desktop_surface(id);
}

void ChatApp::main_window_moved(vemo_ui::Point by) {
    m_call_view.placement.shift_detached({-by.x, -by.y});
}

}  // namespace chat
