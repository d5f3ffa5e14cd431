#include <algorithm>
#include <cmath>
#include <tuple>

#include "app/chat_app.hpp"
#include "app/draw_markup.hpp"

namespace chat {

using vemo_ui::Event;
using vemo_ui::Key;
using vemo_ui::KeyEvent;
using vemo_ui::PointerButton;
using vemo_ui::PointerEvent;

namespace {

constexpr double swipe_activate_below = 6;
constexpr double swipe_delete_from = 88;

bool is_text_field(HitKind kind) {
    return kind == HitKind::FocusRename || kind == HitKind::FocusEdit ||
           kind == HitKind::FocusMain || kind == HitKind::FocusThread;
}

}  // namespace

bool ChatApp::handle_event(Event const& event) {
    if (handle_search_event(event)) return true;
    if (auto const* key = std::get_if<KeyEvent>(&event)) return handle_key(*key);
    if (auto const* pointer = std::get_if<PointerEvent>(&event)) return handle_pointer(*pointer);
    if (auto const* wheel = std::get_if<vemo_ui::WheelEvent>(&event)) return handle_wheel(*wheel);
    if (std::holds_alternative<vemo_ui::TextEvent>(event) ||
        std::holds_alternative<vemo_ui::PreeditEvent>(event)) {
        if (m_share_dialog) return m_invite_input.handle_event(event);
        if (m_renaming) return m_rename_input.handle_event(event);
        if (m_editing) return m_edit_input.handle_event(event);
        return key_to_composer(event);
    }
    return false;
}

bool ChatApp::handle_key(KeyEvent const& key) {
    if (m_menu.is_open()) {
        bool used = m_menu.handle_event(key);
        if (auto chosen = m_menu.take_chosen()) run_menu_item(chosen->code);
        if (!m_menu.is_open()) m_menu_target.reset();
        return used;
    }
    if (!key.pressed) return false;
    if (handle_share_key(key)) return true;
    if (m_renaming) {
        if (key.key == Key::Escape) return cancel_rename(), true;
        bool used = m_rename_input.handle_event(key);
        if (m_rename_input.take_submit()) submit_rename();
        m_rename_input.take_dirty();
        return used;
    }
    if (m_editing) {
        if (key.key == Key::Escape) return cancel_edit(), true;
        bool used = m_edit_input.handle_event(key);
        if (m_edit_input.take_submit()) save_edit();
        m_edit_input.take_dirty();
        return used;
    }
    bool plain = !key.mods.control && !key.mods.alt && !key.mods.super;
    if (key.key == Key::Tab && !key.mods.control) return move_focus(key.mods.shift), true;
    bool on_control = m_focused && !is_text_field(m_focused->kind);
    if ((key.key == Key::Enter || key.key == Key::Space) && on_control) {
        // A focused message row answers in its thread.
        if (m_focused->kind == HitKind::MessageMenu && m_focused->b == thread_row_tag)
            focus_target({HitKind::FocusThread});
        else if (m_focused->kind == HitKind::MessageMenu)
            activate({HitKind::OpenThread, m_focused->a});
        else
            activate(*m_focused);
        return true;
    }
    if (key.key == Key::F6) return jump_region(key.mods.shift), true;
    if (key.key == Key::ContextMenu || (key.key == Key::F10 && key.mods.shift))
        return open_menu_for_focus();
    // Paging and Ctrl+Home/End scroll the thread while the focus is in it, else the history.
    bool in_thread = focus_in_thread();
    auto& scroll = in_thread ? m_thread_scroll : m_scroll;
    if (key.key == Key::PageUp || key.key == Key::PageDown) {
        double view =
            in_thread ? m_thread_list.height : m_regions.main.height - m_regions.heading.height;
        double page = std::max(vemo_ui::wheel_line_points, view * 0.75);
        scroll.scroll_by(key.key == Key::PageUp ? -page : page);
        return true;
    }
    if (key.key == Key::Home && key.mods.control) return scroll.scroll_back(1e9), true;
    bool row_key = key.key == Key::Up || key.key == Key::Down ||
                   (plain && (key.key == Key::Home || key.key == Key::End));
    if (row_key && on_control && m_focused->kind == HitKind::MessageMenu)
        return move_row_focus(key.key), true;
    if (key.key == Key::End && key.mods.control) return scroll.jump_to_latest(), true;
    if (handle_picker_key(key)) return true;
    paste_picture_on(key);
    if (key.key == Key::Escape) {
        if (m_menu.is_open())
            m_menu.close();
        else if (m_settings_open)
            m_settings_open = false;
        else if (m_emoji)
            m_emoji.reset();
        else if (m_history)
            m_history.reset();
        else if (m_nav.thread_root) {
            close_thread();
            apply_focus_rule();
            refresh();
        }
        return true;
    }
    if (key.key == Key::Up && !key.mods.shift && plain) {
        bool thread = m_thread_focus && m_nav.thread_root;
        auto const& input = thread ? m_thread_composer : m_composer;
        if (input.text().empty() && input.is_focused()) {
            if (can_write()) edit_last_own_message();
            return true;
        }
    }
    return key_to_composer(key);
}

bool ChatApp::key_to_composer(Event const& event) {
    if (!can_write()) return false;
    bool thread = m_thread_focus && m_nav.thread_root;
    auto& input = thread ? m_thread_composer : m_composer;
    if (!input.is_focused()) return false;
    bool used = input.handle_event(event);
    if (input.take_submit()) send_focused();
    if (input.take_dirty()) store_draft(thread);
    return used;
}

bool ChatApp::edit_last_own_message() {
    bool thread = m_thread_focus && m_nav.thread_root;
    for (auto it = m_view.messages.rbegin(); it != m_view.messages.rend(); ++it) {
        if (it->author != m_identity.id) continue;
        bool in_thread = it->parent && it->parent == m_nav.thread_root;
        if (thread ? !in_thread : it->parent.has_value()) continue;
        begin_edit(it->channel, it->id);
        return true;
    }
    return false;
}

int ChatApp::region_rank(HitRegion const& region) const {
    auto c = region.rect.center();
    switch (region.target.kind) {
        case HitKind::EmojiChoice:
            return 6;
        case HitKind::FocusMain:
        case HitKind::Send:
        case HitKind::ComposerEmoji:
        case HitKind::Attach:
            return 4;
        default:
            break;
    }
    if (m_regions.left_shown && m_regions.rail.contains(c)) return 0;
    if (m_regions.left_shown && m_regions.sidebar.contains(c)) return 1;
    if (m_regions.right_shown && m_regions.right.contains(c)) return 5;
    if (m_regions.heading.contains(c)) return 2;
    return 3;
}

std::vector<ChatApp::FocusStop> ChatApp::focus_stops() const {
    // Region by region (rail, sidebar, heading, messages, composer, right panel, popovers),
    // then top to bottom and left to right as the eye reads.
    std::vector<FocusStop> drawn;
    for (auto const& r : m_hits)
        if (has_access_node(r.target.kind) || r.target.kind == HitKind::MessageMenu)
            drawn.push_back({r.target, region_rank(r), std::round(r.rect.y / 4), r.rect.x});
    if (auto away = offscreen_row_stop()) drawn.push_back(*away);
    auto key = [](FocusStop const& s) { return std::tuple{s.rank, s.row, s.x}; };
    std::ranges::stable_sort(drawn, [&](auto const& a, auto const& b) { return key(a) < key(b); });
    // A control drawn twice is one stop, at its first place in that order.
    std::vector<FocusStop> stops;
    for (auto const& s : drawn)
        if (std::ranges::none_of(stops, [&](auto const& t) { return t.target == s.target; }))
            stops.push_back(s);
    return stops;
}

// The focused message row while it is scrolled out of view (it keeps the focus): a stop of its
// list placed before the rows drawn when it lies above them, after everything drawn in the list
// when it lies below, so Tab and F6 go on from where the row is.
std::optional<ChatApp::FocusStop> ChatApp::offscreen_row_stop() const {
    if (!m_focused || m_focused->kind != HitKind::MessageMenu) return std::nullopt;
    bool thread = m_focused->b == thread_row_tag;
    if (thread && (!m_nav.thread_root || !m_regions.right_shown)) return std::nullopt;
    auto const& drawn = thread ? m_thread_rows : m_rows;
    if (std::ranges::any_of(drawn, [&](RowBox const& r) { return r.message == m_focused->a; }))
        return std::nullopt;
    auto ids = row_ids(thread);
    auto at = std::ranges::find(ids, m_focused->a);
    if (at == ids.end()) return std::nullopt;
    bool above = drawn.empty() || at < std::ranges::find(ids, drawn.front().message);
    vemo_ui::Rect list = thread ? m_thread_list : m_regions.main;
    int rank = region_rank({{list.center().x, list.center().y, 0, 0}, *m_focused});
    constexpr double far = 1e9;
    return FocusStop{*m_focused, rank, above ? -far : far, 0};
}

void ChatApp::move_focus(bool backwards) {
    auto stops = focus_stops();
    if (stops.empty()) return;
    std::optional<size_t> at;
    if (m_focused)
        for (size_t i = 0; i < stops.size(); ++i)
            if (stops[i].target == *m_focused) at = i;
    if (!at && !m_focused)
        for (size_t i = 0; i < stops.size(); ++i)
            if ((stops[i].target.kind == HitKind::FocusMain && m_composer.is_focused()) ||
                (stops[i].target.kind == HitKind::FocusThread && m_thread_composer.is_focused()))
                at = i;
    size_t n = stops.size();
    size_t next = !at ? (backwards ? n - 1 : 0) : backwards ? (*at + n - 1) % n : (*at + 1) % n;
    focus_target(stops[next].target);
}

void ChatApp::jump_region(bool backwards) {
    auto stops = focus_stops();
    if (stops.empty()) return;
    int current = -1;
    for (auto const& s : stops)
        if ((m_focused && s.target == *m_focused) ||
            (!m_focused && s.target.kind == HitKind::FocusMain && m_composer.is_focused()) ||
            (!m_focused && s.target.kind == HitKind::FocusThread && m_thread_composer.is_focused()))
            current = s.rank;
    std::vector<int> ranks;
    for (auto const& s : stops)
        if (ranks.empty() || ranks.back() != s.rank) ranks.push_back(s.rank);
    auto it = std::ranges::find(ranks, current);
    size_t i = it == ranks.end() ? (backwards ? ranks.size() - 1 : 0)
               : backwards       ? (size_t(it - ranks.begin()) + ranks.size() - 1) % ranks.size()
                                 : (size_t(it - ranks.begin()) + 1) % ranks.size();
    for (auto const& s : stops)
        if (s.rank == ranks[i]) return focus_target(s.target);
}

// Arrows and Home/End move within the list the focused row is in: the whole loaded history
// of the conversation (scrolling the row into view) or the thread panel's rows.
void ChatApp::move_row_focus(Key key) {
    bool thread = m_focused->b == thread_row_tag;
    auto ids = row_ids(thread);
    auto it = std::ranges::find(ids, m_focused->a);
    if (it == ids.end()) return;
    size_t at = size_t(it - ids.begin());
    size_t last = ids.size() - 1;
    size_t next = key == Key::Home  ? 0
                  : key == Key::End ? last
                  : key == Key::Up  ? (at > 0 ? at - 1 : 0)
                                    : std::min(at + 1, last);
    focus_message_row(ids[next], thread);
}

// The ids of the rows of the thread panel, root first, or of the conversation's history.
std::vector<std::string> ChatApp::row_ids(bool thread) const {
    std::vector<std::string> ids;
    if (thread)
        for (auto const* m : thread_messages()) ids.push_back(m->id);
    else
        for (size_t i : m_top_level) ids.push_back(m_view.messages[i].id);
    return ids;
}

void ChatApp::focus_message_row(std::string const& message, bool thread) {
    focus_target({HitKind::MessageMenu, message, thread ? thread_row_tag : ""});
    if (thread) {
        m_pending_thread_reveal = message;
        return;
    }
    m_pending_reveal = message;
    m_reveal_nearest = true;
}

bool ChatApp::focus_in_thread() const {
    if (!m_nav.thread_root || !m_regions.right_shown) return false;
    if (!m_focused) return m_thread_focus && m_thread_composer.is_focused();
    if (m_focused->kind == HitKind::MessageMenu) return m_focused->b == thread_row_tag;
    if (m_focused->kind == HitKind::FocusThread) return true;
    return std::ranges::any_of(m_hits, [&](HitRegion const& r) {
        return r.target == *m_focused && m_regions.right.contains(r.rect.center());
    });
}

bool ChatApp::open_menu_for_focus() {
    HitTarget target{HitKind::Dismiss};
    vemo_ui::Rect at = m_composer_rect;
    if (m_focused) {
        target = *m_focused;
        if (auto const* r = region_of(semantic_id(*m_focused))) at = r->rect;
        for (auto const& r : m_hits)
            if (r.target == *m_focused) at = r.rect;
    }
    open_context_menu(menu_for(target), {at.x + 12, at.center().y});
    return true;
}

ChatApp::MenuTarget ChatApp::menu_for(HitTarget const& target) const {
    switch (target.kind) {
        case HitKind::Channel:
        case HitKind::VoiceChannel:
            return {MenuKind::Channel, target.a, ""};
        case HitKind::CategoryToggle:
            return {MenuKind::Category, target.a, ""};
        case HitKind::AddChannel:
            return {MenuKind::Category, target.b, ""};
        case HitKind::MessageMenu:
            return {MenuKind::Message, target.a, m_nav.channel_id};
        default:
            return {MenuKind::Workspace, m_nav.workspace_id, ""};
    }
}

std::optional<HitTarget> ChatApp::target_at(vemo_ui::Point p) const {
    // The detached call's own window lies above the main window.
    for (auto it = m_surface_hits.rbegin(); it != m_surface_hits.rend(); ++it)
        if (it->rect.contains(p)) return it->target;
    for (auto it = m_hits.rbegin(); it != m_hits.rend(); ++it)
        if (it->rect.contains(p)) return it->target;
    return std::nullopt;
}

HitRegion const* ChatApp::region_of(std::string const& semantic) const {
    // "id#N" names the N-th copy of a control drawn in several places.
    std::string id = semantic;
    int copy = 1;
    if (auto hash = id.rfind('#');
        hash != std::string::npos && hash + 1 < id.size() &&
        id.find_first_not_of("0123456789", hash + 1) == std::string::npos &&
        id.size() - hash <= 4) {
        copy = std::stoi(id.substr(hash + 1));
        id.resize(hash);
    }
    for (auto const& r : m_hits)
        if (semantic_id(r.target) == id && --copy == 0) return &r;
    return nullptr;
}

bool ChatApp::handle_pointer(PointerEvent const& p) {
    m_pointer = p.position;
    if (handle_call_drag(p)) return true;
    if (m_menu.is_open() && p.kind != PointerEvent::Kind::Move) {
        bool used = m_menu.handle_event(p);
        if (auto chosen = m_menu.take_chosen()) run_menu_item(chosen->code);
        if (!m_menu.is_open()) m_menu_target.reset();
        if (used) return true;
    }
    switch (p.kind) {
        case PointerEvent::Kind::Leave:
            m_pointer_inside = false;
            m_hover.reset();
            m_hover_message.reset();
            m_tooltips.on_leave();
            show_link_cursor(m_hover);
            return false;
        case PointerEvent::Kind::Move: {
            m_pointer_inside = true;
            if (m_menu.is_open()) m_menu.handle_event(p);
            m_hover = target_at(p.position);
            show_link_cursor(m_hover);
            m_hover_message.reset();
            for (auto it = m_hits.rbegin(); it != m_hits.rend(); ++it)
                if (it->target.kind == HitKind::MessageMenu && it->target.b.empty() &&
                    it->rect.contains(p.position)) {
                    m_hover_message = it->target.a;
                    break;
                }
            if (m_hover && shows_tooltip(m_hover->kind)) {
                auto const* region = region_of(semantic_id(*m_hover));
                m_tooltips.on_pointer(semantic_id(*m_hover),
                                      region ? region->rect : vemo_ui::Rect{},
                                      access_label(*m_hover, label_facts(*m_hover)), m_time);
            } else {
                m_tooltips.on_pointer("", {}, "", m_time);
            }
            for (auto* input : {&m_composer, &m_thread_composer, &m_edit_input, &m_rename_input})
                input->handle_event(p);
            return m_hover.has_value();
        }
        case PointerEvent::Kind::Press: {
            m_tooltips.on_press();
            auto target = target_at(p.position);
            if (p.button == PointerButton::Primary && open_attachment_at(p.position, target))
                return true;
            if (!target) return false;
            if (p.button == PointerButton::Secondary) {
                open_context_menu(menu_for(*target), p.position);
                return true;
            }
            if (p.button != PointerButton::Primary) return false;
            if (target->kind == HitKind::Channel) {
                m_channel_press = std::pair{p.position, target->a};
                return true;
            }
            if (target->kind == HitKind::FocusMain || target->kind == HitKind::FocusThread ||
                target->kind == HitKind::FocusEdit || target->kind == HitKind::FocusRename) {
                focus_target(*target);
                activate(*target);
                auto& input = target->kind == HitKind::FocusMain     ? m_composer
                              : target->kind == HitKind::FocusThread ? m_thread_composer
                              : target->kind == HitKind::FocusEdit   ? m_edit_input
                                                                     : m_rename_input;
                input.handle_event(p);
                return true;
            }
            // A click moves the keyboard focus away from whatever Tab had reached.
            m_focused.reset();
            activate(*target);
            return true;
        }
        case PointerEvent::Kind::Release: {
            for (auto* input : {&m_composer, &m_thread_composer, &m_edit_input, &m_rename_input})
                input->handle_event(p);
            auto press = std::exchange(m_channel_press, std::nullopt);
            if (!press || p.button != PointerButton::Primary) return false;
            double travel = std::max(press->first.x - p.position.x, 0.0);
            if (travel < swipe_activate_below) {
                activate(HitTarget{HitKind::Channel, press->second, "", {}});
            } else if (travel >= swipe_delete_from && find_channel(press->second)) {
                if (dispatch(action::DeleteChannel{press->second}) &&
                    m_nav.channel_id == press->second)
                    m_nav.channel_id.clear();
                refresh();
            }
            return true;
        }
    }
    return false;
}

bool ChatApp::handle_wheel(vemo_ui::WheelEvent const& wheel) {
    // The open thread lies over the conversation in a narrow window, so it is asked first.
    bool over_thread =
        m_nav.thread_root && m_regions.right_shown && m_regions.right.contains(wheel.position);
    if (!over_thread && !m_regions.main.contains(wheel.position) &&
        !m_regions.right.contains(wheel.position))
        return false;
    // The lists grow upwards from the latest message, so scrolling up moves away from it.
    if (wheel.dy != 0) (over_thread ? m_thread_scroll : m_scroll).scroll_by(wheel.dy);
    return true;
}

bool ChatApp::perform_semantic_action(std::string const& id, std::string const& action) {
    if (auto searched = perform_search_action(id, action)) return *searched;
    if (auto row = perform_row_action(id, action)) return *row;
    if (id.starts_with(vemo_ui::ContextMenu::item_id_prefix)) {
        if (!m_menu.is_open()) return false;
        m_menu.perform_semantic_action(id);
        if (auto chosen = m_menu.take_chosen(); chosen && can_write()) run_menu_item(chosen->code);
        return true;
    }
    auto const* region = region_of(id);
    if (!region) return perform_call_control(id);
    auto target = region->target;
    if (is_text_field(target.kind) && action != "activate" && action != "focus" &&
        !action.empty()) {
        auto& input = text_field(target.kind);
        bool used = input.perform_action(action);
        if (input.take_submit()) {
            if (target.kind == HitKind::FocusEdit)
                save_edit();
            else if (target.kind == HitKind::FocusRename)
                submit_rename();
            else
                send_focused();
        }
        if (input.take_dirty() &&
            (target.kind == HitKind::FocusMain || target.kind == HitKind::FocusThread))
            store_draft(target.kind == HitKind::FocusThread);
        return used;
    }
    if (is_text_field(target.kind)) focus_target(target);
    // Assistive technology moving its focus there: a keyboard stop takes the focus and
    // nothing is activated.
    if (action == "focus" && !is_text_field(target.kind)) return focus_target(target), true;
    activate(target);
    return true;
}

bool ChatApp::perform_text_edit(std::string const& id, vemo_ui::a11y::TextEdit const& edit) {
    if (id == search_field_id) {
        if (!m_search_window.is_open()) return false;
        m_search_window.input().apply_edit(edit);
        m_search_window.input().take_dirty();
        m_search_window.refresh(*search_provider());
        return true;
    }
    auto const* region = region_of(id);
    if (!region || !is_text_field(region->target.kind)) return false;
    auto kind = region->target.kind;
    bool composer = kind == HitKind::FocusMain || kind == HitKind::FocusThread;
    if (!edit.select_only && composer && !can_write()) return false;
    auto& input = text_field(kind);
    input.apply_edit(edit);
    if (input.take_dirty() && composer) store_draft(kind == HitKind::FocusThread);
    return true;
}

LabelFacts ChatApp::label_facts(HitTarget const& t) const {
    LabelFacts f;
    f.workspace_name = workspace_name(m_nav.remembered_workspace_id);
    f.inbox_unread = inbox_unread();
    if (auto const* c = find_channel(t.a))
        f.channel_label = channel_label(c->kind == ChannelKind::Voice, c->name, c->unread,
                                        m_in_inbox ? workspace_name(c->workspace) : "");
    if (auto const* c = find_category(t.a)) {
        f.category_name = c->name;
        f.category_collapsed = c->collapsed;
    }
    if (t.kind == HitKind::AttachPick) f.file_name = t.b;
    if (t.kind == HitKind::Reaction)
        if (auto const* m = find_message(t.a))
            for (auto const& g : m->reactions)
                if (g.emoji == t.b && std::ranges::find(g.users, m_identity.id) != g.users.end())
                    f.reacted = true;
    return f;
}

}  // namespace chat
