// The search window: Ctrl+K (or the sidebar's search field) searches everything the chat
// offers, Ctrl+F the open conversation. Choosing a result dispatches its action address the
// way automation and the resource tree do.
#include "app/search_window.hpp"

#include <algorithm>
#include <chrono>
#include <unordered_map>

#include "actions/chat_action.hpp"
#include "app/chat_app.hpp"
#include "doc/storage.hpp"
#include "search/chat_search.hpp"
#include "search/search_entries.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

namespace sp = vemo_ui::search::provider;
using vemo_ui::DrawContext;
using vemo_ui::Event;
using vemo_ui::FontWeight;
using vemo_ui::Key;
using vemo_ui::KeyEvent;
using vemo_ui::PointerEvent;
using vemo_ui::Rect;

namespace {

struct GroupPlan {
    char const* collection;
    size_t shown;
};

// How many results each collection shows, in the order the window lists them: the few named
// things first, the many messages last.
constexpr GroupPlan everything_plan[] = {
    {search::workspaces_collection, 3}, {search::conversations_collection, 5},
    {search::categories_collection, 3}, {search::people_collection, 5},
    {search::messages_collection, 8},
};
constexpr size_t in_conversation_shown = 20;

constexpr double panel_width = 640;
constexpr double field_height = 44;
constexpr double group_height = 28;
constexpr double row_height = 46;
constexpr double more_height = 32;
constexpr double sidebar_field_height = 30;
// While the catalog is being built the open window asks again at most this often (seconds).
constexpr double building_refresh_interval = 0.25;

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<vemo_ui::TextSpan> marked_spans(std::string const& text,
                                            std::vector<std::pair<size_t, size_t>> const& marks,
                                            vemo_ui::Color color, vemo_ui::Color mark_fill,
                                            FontWeight weight) {
    std::vector<vemo_ui::TextSpan> spans;
    size_t at = 0;
    for (auto const& [begin, end] : marks) {
        if (begin > at) spans.emplace_back(text.substr(at, begin - at), color, weight);
        spans.emplace_back(text.substr(begin, end - begin), color, FontWeight::Bold, false, false,
                           mark_fill);
        at = end;
    }
    if (at < text.size()) spans.emplace_back(text.substr(at), color, weight);
    return spans;
}

}  // namespace

// --- SearchWindow ------------------------------------------------------------------------

SearchWindow::SearchWindow() {
    m_input.set_text_size(16);
    m_input.set_draws_frame(false);
    m_input.set_padding(12, 12);
}

void SearchWindow::open(std::optional<std::string> scope, std::string scope_label) {
    if (scope != m_scope) m_input.set_text("");
    m_open = true;
    m_scope = std::move(scope);
    m_scope_label = std::move(scope_label);
    m_input.set_placeholder(m_scope ? "Search in " + m_scope_label
                                    : "Search workspaces, conversations, messages, people");
    m_input.set_focused(true);
    m_input.select_all();
    m_stale = true;
}

void SearchWindow::close() {
    m_open = false;
    m_input.set_focused(false);
    rows.clear();
}

namespace {

SearchHit make_hit(sp::SearchResult result, std::string const& query) {
    SearchHit hit;
    hit.title_marks = sp::match_ranges(result.title, query);
    if (result.subtitle) hit.subtitle_marks = sp::match_ranges(*result.subtitle, query);
    hit.result = std::move(result);
    return hit;
}

}  // namespace

bool SearchWindow::behind(sp::SearchProvider const& provider, std::optional<double> now) const {
    if (!m_open) return false;
    if (!provider.indexing()) return m_indexing;  // the build finished since
    return provider.generation() != m_generation &&
           now.value_or(steady_seconds()) - m_asked_at >= building_refresh_interval;
}

void SearchWindow::refresh(sp::SearchProvider const& provider, std::optional<double> now) {
    bool dirty = m_input.take_dirty();
    bool same_query = m_last_query == m_input.text();
    if (!dirty && !m_stale && same_query && !behind(provider, now)) return;
    m_stale = false;
    m_indexing = provider.indexing();
    m_generation = provider.generation();
    m_asked_at = now.value_or(steady_seconds());
    // The same query again (the catalog moved on): as many of each collection as were shown,
    // and the selection on the same result (or where it was, when that one went).
    std::unordered_map<std::string, size_t> shown_before;
    if (same_query)
        for (auto const& g : m_groups) shown_before[g.collection] = g.hits.size();
    std::optional<size_t> selected_before;
    std::string selected_address;
    if (same_query && m_selected) {
        selected_before = m_selected;
        if (auto const* h = hit(*m_selected)) selected_address = h->result.action_address;
    }
    if (!same_query) m_scroll = 0;
    m_last_query = m_input.text();
    m_groups.clear();
    m_selected.reset();
    if (sp::normalize_search_text(m_last_query).empty()) return;
    auto ask = [&](char const* collection, size_t shown) {
        sp::SearchQuery query{m_last_query, collection, m_scope};
        size_t want = std::max(shown, shown_before[collection]);
        auto page = provider.query_page(query, std::nullopt, {want});
        if (page.results.empty()) return;
        SearchGroup group{collection, {}, shown, page.next};
        for (auto& r : page.results) group.hits.push_back(make_hit(std::move(r), m_last_query));
        m_groups.push_back(std::move(group));
    };
    if (m_scope)
        ask(search::messages_collection, in_conversation_shown);
    else
        for (auto const& plan : everything_plan) ask(plan.collection, plan.shown);
    if (result_count() == 0) return;
    m_selected = std::min(selected_before.value_or(0), result_count() - 1);
    for (size_t i = 0; !selected_address.empty() && i < result_count(); ++i)
        if (hit(i)->result.action_address == selected_address) m_selected = i;
}

bool SearchWindow::show_more(sp::SearchProvider const& provider, size_t group_index) {
    if (group_index >= m_groups.size()) return false;
    auto& group = m_groups[group_index];
    sp::SearchQuery query{m_last_query, group.collection, m_scope};
    size_t before = group.hits.size();
    // A page may come back empty while more follows (a stretch of substring matches that
    // were listed as words already): a few tries before giving up for this time.
    for (int tries = 0; tries < 4 && group.next && group.hits.size() == before; ++tries) {
        auto page = provider.query_page(query, group.next, {group.page_size});
        if (page.status == sp::PageStatus::StaleCursor) {
            // The catalog changed since: the list from the start, one page longer.
            page = provider.query_page(query, std::nullopt, {before + group.page_size});
            if (page.status != sp::PageStatus::Failed) group.hits.clear();
        }
        if (page.status == sp::PageStatus::Failed) return false;
        for (auto& r : page.results) group.hits.push_back(make_hit(std::move(r), m_last_query));
        group.next = page.next;
        if (group.hits.size() < before) break;
    }
    m_follow_selection = true;
    return group.hits.size() > before;
}

std::optional<size_t> SearchWindow::group_of(size_t flat_index) const {
    for (size_t g = 0; g < m_groups.size(); ++g) {
        if (flat_index < m_groups[g].hits.size()) return g;
        flat_index -= m_groups[g].hits.size();
    }
    return std::nullopt;
}

void SearchWindow::place_scroll(double content_height, double visible_height, double selected_top,
                                double selected_bottom) {
    if (m_follow_selection && m_selected) {
        if (selected_top < m_scroll) m_scroll = selected_top;
        if (selected_bottom > m_scroll + visible_height)
            m_scroll = selected_bottom - visible_height;
    }
    m_scroll = std::clamp(m_scroll, 0.0, std::max(0.0, content_height - visible_height));
}

size_t SearchWindow::result_count() const {
    size_t n = 0;
    for (auto const& g : m_groups) n += g.hits.size();
    return n;
}

SearchHit const* SearchWindow::hit(size_t flat_index) const {
    for (auto const& g : m_groups) {
        if (flat_index < g.hits.size()) return &g.hits[flat_index];
        flat_index -= g.hits.size();
    }
    return nullptr;
}

void SearchWindow::move_selection(int delta) {
    size_t n = result_count();
    if (n == 0) return;
    m_follow_selection = true;
    size_t current = m_selected.value_or(delta > 0 ? n - 1 : 0);
    m_selected = (current + n + size_t(delta % int(n) + int(n))) % n;
}

void SearchWindow::select(size_t flat_index) {
    if (flat_index < result_count()) m_selected = flat_index;
}

void SearchWindow::scroll_by(double dy) {
    m_follow_selection = false;
    m_scroll = std::max(0.0, m_scroll + dy);
}

vemo_ui::a11y::AccessNode SearchWindow::accessibility() const {
    using vemo_ui::a11y::AccessNode;
    using vemo_ui::a11y::Role;
    AccessNode dialog;
    dialog.role = Role::Dialog;
    dialog.id = "search";
    dialog.label = m_scope ? "Search in " + m_scope_label : "Search";
    dialog.rect = panel;
    dialog.children.push_back(m_input.accessibility(search_field_id, "Search"));
    dialog.children.back().rect = field;
    AccessNode list;
    list.role = Role::List;
    list.id = "search-results";
    list.label = m_indexing ? "Search results (indexing)" : "Search results";
    for (auto const& row : rows) {
        if (row.more_of) {
            AccessNode more;
            more.role = Role::Button;
            more.id = search_more_prefix + std::to_string(*row.more_of);
            more.label = "Show more " + m_groups[*row.more_of].collection;
            more.rect = row.rect;
            list.children.push_back(std::move(more));
            continue;
        }
        auto const* h = hit(row.index);
        if (!h) continue;
        AccessNode item;
        item.role = Role::ListItem;
        item.id = search_result_prefix + std::to_string(row.index);
        item.label = h->result.collection + ": " + h->result.title;
        if (h->result.subtitle) item.label += ", " + *h->result.subtitle;
        item.description = h->result.action_address;
        item.rect = row.rect;
        item.states.selected = m_selected == row.index;
        list.children.push_back(std::move(item));
    }
    dialog.children.push_back(std::move(list));
    return dialog;
}

// --- ChatApp: provider --------------------------------------------------------------------

std::vector<std::shared_ptr<sp::SearchProvider>> ChatApp::search_providers() {
    return {search_provider()};
}

bool ChatApp::search_behind() const {
    return m_search && m_search_window.behind(*m_search);
}

std::shared_ptr<search::ChatSearchProvider> const& ChatApp::search_provider() {
    if (!m_search) {
        std::optional<std::filesystem::path> file;
        if (m_interactive)
            if (auto dir = data_directory())
                file = search::index_file_for(*dir / document_file_name);
        m_search = std::make_shared<search::ChatSearchProvider>(file);
        m_search_heads.clear();
        if (!m_view.workspaces.empty()) {
            m_search->update(m_view);
            m_search_heads = m_heads;
            m_search_change = model::ViewChange{false, false, {}};
        }
    }
    return m_search;
}

void ChatApp::update_search() {
    if (!m_search || m_view.workspaces.empty() || m_search_heads == m_heads) return;
    m_search->update(m_view, m_search_change);
    m_search_heads = m_heads;
    m_search_change = model::ViewChange{false, false, {}};
    m_search_window.mark_stale();
}

// --- ChatApp: input -----------------------------------------------------------------------

void ChatApp::open_search(bool in_conversation) {
    auto const* channel = in_conversation ? find_channel(m_nav.channel_id) : nullptr;
    if (channel)
        m_search_window.open(channel->id, search::conversation_title(*channel));
    else
        m_search_window.open(std::nullopt, "");
    m_search_window.refresh(*search_provider());
}

void ChatApp::choose_search_result(size_t index) {
    auto const* h = m_search_window.hit(index);
    if (!h) return;
    std::string address = h->result.action_address;
    m_search_window.close();
    auto resource = describe_resource(address);
    auto const* spec = resource ? resource->find_action("open") : nullptr;
    auto encoded = spec ? spec->resolve({}) : std::unexpected(vemo_actions::ActionError{});
    if (!encoded) {
        m_status = "That search result no longer exists";
        return;
    }
    auto kinds = operation_kinds();
    bool operation = std::ranges::find(kinds, encoded->kind) != kinds.end();
    auto done = operation ? handle_operation(*encoded) : dispatch_encoded(*encoded);
    if (!done) m_status = "Could not open the search result: " + done.error();
}

bool ChatApp::handle_search_event(Event const& event) {
    auto& window = m_search_window;
    if (auto const* key = std::get_if<KeyEvent>(&event)) {
        bool shortcut =
            key->mods.control && !key->mods.alt && !key->mods.super && key->key == Key::Character;
        char32_t c = key->character;
        if (shortcut && key->pressed && (c == 'k' || c == 'K' || c == 'f' || c == 'F')) {
            bool in_conversation = c == 'f' || c == 'F';
            if (window.is_open() && window.scope().has_value() == in_conversation)
                window.close();
            else
                open_search(in_conversation);
            return true;
        }
        if (!window.is_open()) return false;
        if (!key->pressed) return true;
        switch (key->key) {
            case Key::Escape:
                window.close();
                return true;
            case Key::Up:
            case Key::Down: {
                // Down from the very last result continues the last group's list.
                size_t n = window.result_count();
                bool at_end = n > 0 && window.selected() == n - 1;
                if (key->key == Key::Down && at_end &&
                    window.show_more(*search_provider(), window.groups().size() - 1))
                    window.select(n);
                else
                    window.move_selection(key->key == Key::Up ? -1 : 1);
                return true;
            }
            case Key::PageDown:
                page_search_results(true);
                return true;
            case Key::PageUp:
                page_search_results(false);
                return true;
            case Key::Enter:
                window.refresh(*search_provider());
                if (auto selected = window.selected()) choose_search_result(*selected);
                return true;
            case Key::Tab:
                return true;
            default:
                window.input().handle_event(event);
                window.refresh(*search_provider());
                return true;
        }
    }
    if (auto const* p = std::get_if<PointerEvent>(&event)) {
        if (!window.is_open()) {
            if (p->kind != PointerEvent::Kind::Press || !window.sidebar_field.contains(p->position))
                return false;
            open_search(false);
            return true;
        }
        auto row = std::ranges::find_if(
            window.rows, [&](auto const& r) { return r.rect.contains(p->position); });
        if (p->kind == PointerEvent::Kind::Move && row != window.rows.end() && !row->more_of)
            window.select(row->index);
        if (p->kind != PointerEvent::Kind::Press) return true;
        if (row != window.rows.end() && row->more_of)
            window.show_more(*search_provider(), *row->more_of);
        else if (row != window.rows.end())
            choose_search_result(row->index);
        else if (window.field.contains(p->position))
            window.input().handle_event(event);
        else if (!window.panel.contains(p->position))
            window.close();
        return true;
    }
    if (!window.is_open()) return false;
    if (std::holds_alternative<vemo_ui::TextEvent>(event) ||
        std::holds_alternative<vemo_ui::PreeditEvent>(event)) {
        window.input().handle_event(event);
        window.refresh(*search_provider());
        return true;
    }
    if (auto const* wheel = std::get_if<vemo_ui::WheelEvent>(&event)) window.scroll_by(wheel->dy);
    return std::holds_alternative<vemo_ui::WheelEvent>(event);
}

// Page Down moves a screenful on, first bringing in the next page of the selected result's
// collection when its shown results run out; Page Up moves a screenful back.
void ChatApp::page_search_results(bool down) {
    auto& window = m_search_window;
    constexpr int step = 8;
    auto selected = window.selected();
    if (!selected) return;
    if (!down) {
        window.select(*selected >= size_t(step) ? *selected - step : 0);
        return;
    }
    auto group = window.group_of(*selected);
    size_t group_end = 0;
    for (size_t g = 0; group && g <= *group; ++g) group_end += window.groups()[g].hits.size();
    if (group && *selected + step >= group_end) window.show_more(*search_provider(), *group);
    window.select(std::min(*selected + step, window.result_count() - 1));
}

std::optional<bool> ChatApp::perform_search_action(std::string const& id,
                                                   std::string const& action) {
    auto& window = m_search_window;
    if (id == search_open_id) {
        // A focus request only moves the focus there; a press, Enter or activate opens.
        if (action == "focus")
            focus_target({HitKind::SearchOpen});
        else
            open_search(false);
        return true;
    }
    if (!window.is_open()) return std::nullopt;
    if (id == search_field_id) return window.input().perform_action(action);
    if (id.starts_with(search_more_prefix)) {
        size_t group =
            std::strtoul(id.c_str() + std::string_view(search_more_prefix).size(), nullptr, 10);
        window.show_more(*search_provider(), group);
        return true;
    }
    if (id.starts_with(search_result_prefix)) {
        size_t index =
            std::strtoul(id.c_str() + std::string_view(search_result_prefix).size(), nullptr, 10);
        if (!window.hit(index)) return false;
        if (action == "focus" || action == "select")
            window.select(index);
        else
            choose_search_result(index);
        return true;
    }
    return std::nullopt;
}

// --- ChatApp: drawing ---------------------------------------------------------------------

double ChatApp::draw_search_field(DrawContext& ctx, double x, double y, double width) {
    auto const& t = ctx.theme;
    Rect r{x, y, width, sidebar_field_height};
    m_search_window.sidebar_field = r;
    ctx.painter.fill_rounded_rect(r, t.radius_small, t.hover_fill);
    double text_y = r.center().y - ctx.text.line_height(13) / 2;
    ctx.text.draw_text(ctx.painter, "⌕", {r.x + 10, text_y - 1}, 14, t.text_tertiary);
    ctx.text.draw_text(ctx.painter, "Search", {r.x + 30, text_y}, 13, t.text_tertiary);
    auto hint = ctx.text.measure("Ctrl+K", 11);
    ctx.text.draw_text(ctx.painter, "Ctrl+K",
                       {r.right() - hint.width - 10, r.center().y - hint.height / 2}, 11,
                       t.text_disabled);
    HitTarget open{HitKind::SearchOpen};
    if (m_focused && *m_focused == open)
        vemo_ui::surface::focus_ring(ctx.painter, t, r, t.radius_small);
    if (!m_search_window.is_open()) hit(r, open);
    return r.bottom() + 10;
}

void ChatApp::draw_search(DrawContext& ctx, Rect content) {
    auto& window = m_search_window;
    window.rows.clear();
    if (!window.is_open()) return;
    window.input().set_text_renderer(&ctx.text);
    window.refresh(*search_provider());
    auto const& t = ctx.theme;
    ctx.painter.fill_rect(content, t.scrim);

    double w = std::min(panel_width, content.width - 32);
    double max_h = std::max(120.0, content.height - 120);
    size_t n = window.result_count();
    // The list's height, and where the selected result sits in it.
    double body = 0, selected_top = 0, selected_bottom = 0;
    size_t counted = 0;
    for (auto const& group : window.groups()) {
        body += group_height;
        auto sel = window.selected();
        if (sel && *sel >= counted && *sel < counted + group.hits.size()) {
            selected_top = body + double(*sel - counted) * row_height;
            selected_bottom = selected_top + row_height;
        }
        body += double(group.hits.size()) * row_height + (group.next ? more_height : 0);
        counted += group.hits.size();
    }
    if (n == 0) body = 56;
    Rect panel{content.center().x - w / 2, content.y + 64, w,
               std::min(max_h, field_height + body + 16)};
    window.panel = panel;
    vemo_ui::surface::card(ctx.painter, t, panel, t.radius_large);

    window.field = {panel.x + 8, panel.y + 4, panel.width - 16, field_height};
    window.input().draw(ctx, window.field);
    vemo_ui::surface::separator(ctx.painter, t, {panel.x, window.field.bottom() + 4}, panel.width);

    Rect list{panel.x + 8, window.field.bottom() + 8, panel.width - 16,
              panel.bottom() - window.field.bottom() - 12};
    window.place_scroll(body, list.height, selected_top, selected_bottom);
    ctx.painter.push_clip(list);
    double y = list.y - window.scroll();
    if (n == 0) {
        std::string note = window.input().text().empty() ? "Type to search"
                           : window.indexing()           ? "Indexing…"
                                                         : "No results";
        ctx.text.draw_text(ctx.painter, note, {list.x + 12, y + 16}, 14, t.text_tertiary);
    }
    auto visible = [&](Rect const& r) { return r.y >= list.y && r.bottom() <= list.bottom(); };
    size_t index = 0;
    for (size_t g = 0; g < window.groups().size(); ++g) {
        auto const& group = window.groups()[g];
        ctx.text.draw_text_weighted(ctx.painter, group.collection, {list.x + 12, y + 8}, 11.5,
                                    FontWeight::Semibold, t.text_tertiary);
        y += group_height;
        for (auto const& h : group.hits) {
            Rect row{list.x, y, list.width, row_height - 2};
            y += row_height;
            if (row.bottom() < list.y || row.y > list.bottom()) {
                ++index;
                continue;
            }
            if (window.selected() == index)
                ctx.painter.fill_rounded_rect(row, t.radius_small, t.selected_fill);
            auto const& r = h.result;
            double right = row.right() - 12;
            if (r.kind) {
                auto size = ctx.text.measure(*r.kind, 11, FontWeight::Medium);
                Rect chip{right - size.width - 14, row.y + 8, size.width + 14, 18};
                ctx.painter.fill_rounded_rect(chip, 9, t.accent_soft);
                ctx.text.draw_text_weighted(ctx.painter, *r.kind, {chip.x + 7, chip.y + 2}, 11,
                                            FontWeight::Medium, t.link);
                right = chip.x - 8;
            }
            ctx.painter.push_clip({row.x, row.y, right - row.x, row.height});
            auto title = marked_spans(r.title, h.title_marks, t.text_primary, t.accent_soft,
                                      FontWeight::Medium);
            double title_y =
                r.subtitle ? row.y + 5 : row.center().y - ctx.text.line_height(14.5) / 2;
            ctx.text.draw_rich(ctx.painter, title, {row.x + 12, title_y}, std::nullopt, 14.5);
            if (r.subtitle) {
                auto sub = marked_spans(*r.subtitle, h.subtitle_marks, t.text_secondary,
                                        t.accent_soft, FontWeight::Regular);
                ctx.text.draw_rich(ctx.painter, sub, {row.x + 12, row.y + 25}, std::nullopt, 12);
            }
            ctx.painter.pop_clip();
            if (visible(row)) window.rows.push_back({row, index, std::nullopt});
            ++index;
        }
        if (group.next) {
            Rect more{list.x, y, list.width, more_height - 2};
            double text_y = more.center().y - ctx.text.line_height(13) / 2;
            ctx.text.draw_text_weighted(ctx.painter, "Show more", {more.x + 12, text_y}, 13,
                                        FontWeight::Medium, t.link);
            std::string shown = std::to_string(group.hits.size()) + " shown";
            auto size = ctx.text.measure(shown, 12);
            ctx.text.draw_text(ctx.painter, shown, {more.right() - size.width - 12, text_y + 1}, 12,
                               t.text_tertiary);
            if (visible(more)) window.rows.push_back({more, index, g});
            y += more_height;
        }
    }
    ctx.painter.pop_clip();
}

}  // namespace chat
