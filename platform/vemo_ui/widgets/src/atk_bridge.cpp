#include "vemo_ui/atk_bridge.hpp"

#include <atk/atk.h>
#include <gtk/gtk-a11y.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace vemo_ui {

namespace {

constexpr char const* bridge_key = "vemo-a11y-bridge";

struct Bridge;

// What an ATK node knows about its AccessNode (children are kept as ATK objects).
struct NodeData {
    Bridge* bridge = nullptr;  // null once the widget is gone
    std::string id;
    std::string label;
    std::string description;
    a11y::Role role = a11y::Role::Group;
    Rect rect;
    a11y::States states;
    std::optional<a11y::TextContent> text;
    std::vector<std::string> actions;
    std::string live;
    int index = 0;
    bool has_node_parent = false;
    Rect parent_rect;
    std::vector<AtkObject*> children;  // borrowed; Bridge::by_key owns them
};

struct Bridge {
    GtkWidget* widget = nullptr;
    AccessTreeSource tree;
    AccessActionSink perform;
    AccessTextSink edit;
    bool dirty = true;
    std::string root_label;
    std::string root_description;
    a11y::Role root_role = a11y::Role::Group;
    std::vector<AtkObject*> root_children;               // borrowed
    std::unordered_map<std::string, AtkObject*> by_key;  // one reference each

    ~Bridge();
};

}  // namespace

}  // namespace vemo_ui

// GObject types, in C style as GLib's macros expect.
extern "C" {

struct VemoAccessNode {
    AtkObject parent;
    vemo_ui::NodeData* data;
};
struct VemoAccessNodeClass {
    AtkObjectClass parent_class;
};

struct VemoAccessTextNode {
    VemoAccessNode parent;
};
struct VemoAccessTextNodeClass {
    VemoAccessNodeClass parent_class;
};

struct VemoAreaAccessible {
    GtkWidgetAccessible parent;
};
struct VemoAreaAccessibleClass {
    GtkWidgetAccessibleClass parent_class;
};

struct VemoDrawingArea {
    GtkDrawingArea parent;
};
struct VemoDrawingAreaClass {
    GtkDrawingAreaClass parent_class;
};
}

namespace vemo_ui {
namespace {

GType vemo_access_node_get_type();
GType vemo_access_text_node_get_type();
GType vemo_area_accessible_get_type();

NodeData* node_data(gpointer obj) {
    return reinterpret_cast<VemoAccessNode*>(obj)->data;
}

Bridge* bridge_of_widget(GtkWidget* widget) {
    return widget ? static_cast<Bridge*>(g_object_get_data(G_OBJECT(widget), bridge_key)) : nullptr;
}

Bridge* bridge_of_root(AtkObject* root) {
    return bridge_of_widget(gtk_accessible_get_widget(GTK_ACCESSIBLE(root)));
}

AtkRole atk_role_of(a11y::Role role) {
    using a11y::Role;
    switch (role) {
        case Role::Window:
            return ATK_ROLE_PANEL;
        case Role::Group:
            return ATK_ROLE_PANEL;
        case Role::List:
            return ATK_ROLE_LIST;
        case Role::ListItem:
            return ATK_ROLE_LIST_ITEM;
        case Role::Button:
            return ATK_ROLE_PUSH_BUTTON;
        case Role::ToggleButton:
            return ATK_ROLE_TOGGLE_BUTTON;
        case Role::Link:
            return ATK_ROLE_LINK;
        case Role::Heading:
            return ATK_ROLE_HEADING;
        case Role::Label:
            return ATK_ROLE_LABEL;
        case Role::TextInput:
            return ATK_ROLE_ENTRY;
        case Role::Menu:
            return ATK_ROLE_MENU;
        case Role::MenuItem:
            return ATK_ROLE_MENU_ITEM;
        case Role::Image:
            return ATK_ROLE_IMAGE;
        case Role::Tab:
            return ATK_ROLE_PAGE_TAB;
        case Role::Dialog:
            return ATK_ROLE_DIALOG;
        case Role::Status:
            return ATK_ROLE_STATUSBAR;
    }
    return ATK_ROLE_PANEL;
}

bool is_interactive(a11y::Role role) {
    using a11y::Role;
    return role == Role::Button || role == Role::ToggleButton || role == Role::Link ||
           role == Role::ListItem || role == Role::TextInput || role == Role::MenuItem ||
           role == Role::Tab;
}

// ---- tree refresh ----

AtkObject* new_node(bool text) {
    GType type = text ? vemo_access_text_node_get_type() : vemo_access_node_get_type();
    return ATK_OBJECT(g_object_new(type, nullptr));
}

bool is_text_node(AtkObject* obj) {
    return G_TYPE_CHECK_INSTANCE_TYPE(obj, vemo_access_text_node_get_type());
}

// Screen readers follow keyboard focus from this event (AT-SPI's "focus:").
void report_focus(AtkObject* obj) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    atk_focus_tracker_notify(obj);
    G_GNUC_END_IGNORE_DEPRECATIONS
}

// ---- text offsets (Unicode scalar values) ----

int char_count(std::string const& text) {
    return int(g_utf8_strlen(text.c_str(), gssize(text.size())));
}

// The byte offset of character `offset`, clamped to the text.
size_t byte_at(std::string const& text, int offset) {
    if (offset <= 0) return 0;
    if (offset >= char_count(text)) return text.size();
    return size_t(g_utf8_offset_to_pointer(text.c_str(), offset) - text.c_str());
}

std::string slice(std::string const& text, int start, int end) {
    size_t from = byte_at(text, start);
    size_t to = byte_at(text, end);
    return to > from ? text.substr(from, to - from) : std::string();
}

// The text a field lost and gained between two versions, as one replaced span.
void notify_text(AtkObject* obj, a11y::TextContent const& was, a11y::TextContent const& now) {
    if (was.text != now.text) {
        std::vector<gunichar> a, b;
        for (char const* p = was.text.c_str(); *p; p = g_utf8_next_char(p))
            a.push_back(g_utf8_get_char(p));
        for (char const* p = now.text.c_str(); *p; p = g_utf8_next_char(p))
            b.push_back(g_utf8_get_char(p));
        size_t prefix = 0;
        while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
        size_t suffix = 0;
        while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
               a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
            ++suffix;
        int at = int(prefix);
        int removed = int(a.size() - prefix - suffix);
        int inserted = int(b.size() - prefix - suffix);
        if (removed > 0)
            g_signal_emit_by_name(obj, "text-remove", at, removed,
                                  slice(was.text, at, at + removed).c_str());
        if (inserted > 0)
            g_signal_emit_by_name(obj, "text-insert", at, inserted,
                                  slice(now.text, at, at + inserted).c_str());
    }
    if (was.caret != now.caret) g_signal_emit_by_name(obj, "text-caret-moved", now.caret);
    if (was.selection_start != now.selection_start || was.selection_end != now.selection_end)
        g_signal_emit_by_name(obj, "text-selection-changed");
}

// Screen readers announce focus and selection from these events, not by polling.
void notify_states(AtkObject* obj, a11y::States const& was, a11y::States const& now) {
    auto report = [&](bool before, bool after, AtkStateType type) {
        if (before != after) atk_object_notify_state_change(obj, type, after);
    };
    report(was.focused, now.focused, ATK_STATE_FOCUSED);
    report(was.selected, now.selected, ATK_STATE_SELECTED);
    report(was.pressed, now.pressed, ATK_STATE_PRESSED);
    report(was.pressed, now.pressed, ATK_STATE_CHECKED);
    report(was.expanded, now.expanded, ATK_STATE_EXPANDED);
#if ATK_CHECK_VERSION(2, 38, 0)
    report(was.expandable && !was.expanded, now.expandable && !now.expanded, ATK_STATE_COLLAPSED);
#endif
    report(!was.disabled, !now.disabled, ATK_STATE_ENABLED);
}

bool is_showing(NodeData const* d) {
    return !d->states.offscreen && !d->rect.is_empty();
}

void update_node(AtkObject* obj, a11y::AccessNode const& node, Bridge* bridge) {
    NodeData* d = node_data(obj);
    a11y::States was = d->states;
    bool was_showing = is_showing(d);
    std::optional<a11y::TextContent> was_text = std::move(d->text);
    bool fresh = d->bridge == nullptr;
    bool renamed = d->label != node.label;
    bool redescribed = d->description != node.description;
    d->bridge = bridge;
    d->id = node.id;
    d->label = node.label;
    d->description = node.description;
    d->role = node.role;
    d->rect = node.rect;
    d->states = node.states;
    d->text = node.text;
    d->actions = node.actions;
    d->live = node.live;
    if (renamed) g_object_notify(G_OBJECT(obj), "accessible-name");
    if (fresh) return;  // announced by children-changed once it has its place
    if (was_text && d->text) notify_text(obj, *was_text, *d->text);
    notify_states(obj, was, node.states);
    if (was_showing != is_showing(d))
        atk_object_notify_state_change(obj, ATK_STATE_SHOWING, is_showing(d));
    if (!was.focused && node.states.focused) report_focus(obj);
    if (redescribed) g_object_notify(G_OBJECT(obj), "accessible-description");
}

std::vector<AtkObject*> build_children(Bridge& b, a11y::AccessNode const& node, AtkObject* parent,
                                       bool parent_is_node, std::string const& parent_key,
                                       std::unordered_map<std::string, AtkObject*>& old) {
    std::vector<AtkObject*> out;
    for (size_t i = 0; i < node.children.size(); ++i) {
        a11y::AccessNode const& child = node.children[i];
        std::string key = child.id.empty() ? parent_key + "/#" + std::to_string(i) : child.id;
        while (b.by_key.contains(key)) key += "'";  // a repeated id still gets its own object
        AtkObject* obj = nullptr;
        bool created = false;
        bool text = child.text.has_value();
        // A node that gains or loses its text interface needs an object of the other type;
        // the old one stays in `old` and is retired.
        if (auto it = old.find(key); it != old.end() && is_text_node(it->second) == text) {
            obj = it->second;
            old.erase(it);
        } else {
            obj = new_node(text);
            created = true;
        }
        b.by_key.emplace(key, obj);
        update_node(obj, child, &b);
        NodeData* d = node_data(obj);
        d->index = int(i);
        d->has_node_parent = parent_is_node;
        d->parent_rect = parent_is_node ? node_data(parent)->rect : Rect{};
        if (atk_object_get_parent(obj) != parent) atk_object_set_parent(obj, parent);
        d->children = build_children(b, child, obj, true, key, old);
        out.push_back(obj);
        if (created) {
            g_signal_emit_by_name(parent, "children-changed::add", gint(i), obj);
            if (child.states.focused) {
                atk_object_notify_state_change(obj, ATK_STATE_FOCUSED, TRUE);
                report_focus(obj);
            }
        }
    }
    return out;
}

void retire(AtkObject* obj) {
    if (AtkObject* parent = atk_object_get_parent(obj))
        g_signal_emit_by_name(parent, "children-changed::remove", node_data(obj)->index, obj);
    node_data(obj)->bridge = nullptr;
    node_data(obj)->children.clear();
    atk_object_notify_state_change(obj, ATK_STATE_DEFUNCT, TRUE);
    g_object_unref(obj);
}

void refresh(Bridge& b, AtkObject* root) {
    if (!b.dirty || !b.tree) return;
    b.dirty = false;
    a11y::AccessNode tree = b.tree();
    b.root_label = tree.label;
    b.root_description = tree.description;
    b.root_role = tree.role;
    std::unordered_map<std::string, AtkObject*> old = std::move(b.by_key);
    b.by_key.clear();
    b.root_children = build_children(b, tree, root, false, "", old);
    for (auto& [key, obj] : old) retire(obj);
}

Bridge::~Bridge() {
    for (auto& [key, obj] : by_key) retire(obj);
}

AtkObject* root_accessible(Bridge& b) {
    return gtk_widget_get_accessible(b.widget);
}

// ---- node vfuncs ----

gchar const* node_get_name(AtkObject* obj) {
    return node_data(obj)->label.c_str();
}
gchar const* node_get_description(AtkObject* obj) {
    return node_data(obj)->description.c_str();
}
AtkRole node_get_role(AtkObject* obj) {
    return atk_role_of(node_data(obj)->role);
}
gint node_get_n_children(AtkObject* obj) {
    return gint(node_data(obj)->children.size());
}
gint node_get_index_in_parent(AtkObject* obj) {
    return node_data(obj)->index;
}

AtkObject* node_ref_child(AtkObject* obj, gint i) {
    auto const& kids = node_data(obj)->children;
    if (i < 0 || size_t(i) >= kids.size()) return nullptr;
    return ATK_OBJECT(g_object_ref(kids[size_t(i)]));
}

AtkStateSet* node_ref_state_set(AtkObject* obj) {
    AtkStateSet* set = atk_state_set_new();
    NodeData const* d = node_data(obj);
    if (!d->bridge) {
        atk_state_set_add_state(set, ATK_STATE_DEFUNCT);
        return set;
    }
    if (!d->states.disabled) {
        atk_state_set_add_state(set, ATK_STATE_ENABLED);
        atk_state_set_add_state(set, ATK_STATE_SENSITIVE);
    }
    atk_state_set_add_state(set, ATK_STATE_VISIBLE);
    // A row scrolled out of view stays visible (it can be shown) but is not showing.
    if (is_showing(d)) atk_state_set_add_state(set, ATK_STATE_SHOWING);
    if (is_interactive(d->role)) atk_state_set_add_state(set, ATK_STATE_FOCUSABLE);
    if (d->states.focused) atk_state_set_add_state(set, ATK_STATE_FOCUSED);
    if (d->states.pressed) {
        atk_state_set_add_state(set, ATK_STATE_PRESSED);
        if (d->role == a11y::Role::ToggleButton) atk_state_set_add_state(set, ATK_STATE_CHECKED);
    }
    if (d->role == a11y::Role::ToggleButton) atk_state_set_add_state(set, ATK_STATE_CHECKABLE);
    if (d->states.selected) {
        atk_state_set_add_state(set, ATK_STATE_SELECTABLE);
        atk_state_set_add_state(set, ATK_STATE_SELECTED);
    }
    if (d->states.expandable || d->states.expanded)
        atk_state_set_add_state(set, ATK_STATE_EXPANDABLE);
    if (d->states.expanded) atk_state_set_add_state(set, ATK_STATE_EXPANDED);
#if ATK_CHECK_VERSION(2, 38, 0)
    if (d->states.expandable && !d->states.expanded)
        atk_state_set_add_state(set, ATK_STATE_COLLAPSED);
#endif
    if (d->role == a11y::Role::TextInput) {
        atk_state_set_add_state(set, ATK_STATE_EDITABLE);
        atk_state_set_add_state(set, ATK_STATE_MULTI_LINE);
    }
    return set;
}

// Where the drawing area's origin lies in the coordinates asked for (nothing when the widget
// is not on screen).
std::optional<Point> origin_in(NodeData const* d, AtkCoordType coords) {
    if (!d->bridge || !gtk_widget_get_realized(d->bridge->widget)) return std::nullopt;
    GtkWidget* widget = d->bridge->widget;
    if (coords == ATK_XY_SCREEN) {
        gint sx = 0, sy = 0;
        gdk_window_get_origin(gtk_widget_get_window(widget), &sx, &sy);
        return Point{double(sx), double(sy)};
    }
    if (coords == ATK_XY_WINDOW) {
        gint wx = 0, wy = 0;
        gtk_widget_translate_coordinates(widget, gtk_widget_get_toplevel(widget), 0, 0, &wx, &wy);
        return Point{double(wx), double(wy)};
    }
    if (d->has_node_parent) return Point{-d->parent_rect.x, -d->parent_rect.y};
    return Point{0, 0};
}

void put_rect(Rect r, Point origin, gint* x, gint* y, gint* width, gint* height) {
    *x = gint(std::lround(r.x + origin.x));
    *y = gint(std::lround(r.y + origin.y));
    *width = gint(std::lround(r.width));
    *height = gint(std::lround(r.height));
}

void node_extents(AtkComponent* component, gint* x, gint* y, gint* width, gint* height,
                  AtkCoordType coords) {
    NodeData const* d = node_data(component);
    *x = *y = *width = *height = 0;
    if (auto origin = origin_in(d, coords)) put_rect(d->rect, *origin, x, y, width, height);
}

bool queue_request(NodeData const* d, std::string action, std::optional<a11y::TextEdit> edit);

// The application moves its keyboard focus there (scrolling it into view); the focus event
// follows with the next tree.
gboolean node_grab_focus(AtkComponent* component) {
    NodeData const* d = node_data(component);
    return is_interactive(d->role) && queue_request(d, "focus", std::nullopt);
}

void node_component_init(gpointer g_iface, gpointer) {
    auto* iface = static_cast<AtkComponentIface*>(g_iface);
    iface->get_extents = node_extents;
    iface->grab_focus = node_grab_focus;
}

// A request from assistive technology, carried out from the main loop rather than inside
// the request (it may change the tree the request is reading).
struct PendingAction {
    GtkWidget* widget;  // weak: cleared if the widget goes away first
    std::string id;
    std::string action;
    std::optional<a11y::TextEdit> edit;
};

gboolean run_action(gpointer data) {
    std::unique_ptr<PendingAction> pending(static_cast<PendingAction*>(data));
    if (!pending->widget) return G_SOURCE_REMOVE;
    g_object_remove_weak_pointer(G_OBJECT(pending->widget),
                                 reinterpret_cast<gpointer*>(&pending->widget));
    Bridge* b = bridge_of_widget(pending->widget);
    if (!b) return G_SOURCE_REMOVE;
    if (pending->edit) {
        if (b->edit) b->edit(pending->id, *pending->edit);
    } else if (b->perform) {
        b->perform(pending->id, pending->action);
    }
    return G_SOURCE_REMOVE;
}

bool queue_request(NodeData const* d, std::string action, std::optional<a11y::TextEdit> edit) {
    if (!d->bridge || d->id.empty()) return false;
    if (edit && !d->bridge->edit) return false;
    auto* pending = new PendingAction{d->bridge->widget, d->id, std::move(action), std::move(edit)};
    g_object_add_weak_pointer(G_OBJECT(pending->widget),
                              reinterpret_cast<gpointer*>(&pending->widget));
    g_idle_add(run_action, pending);
    return true;
}

// Action 0 is "activate"; the node's named actions follow.
char const* action_name(NodeData const* d, gint i) {
    if (i == 0) return "activate";
    if (i < 0 || size_t(i) > d->actions.size()) return nullptr;
    return d->actions[size_t(i) - 1].c_str();
}

gboolean node_do_action(AtkAction* action, gint i) {
    NodeData const* d = node_data(action);
    char const* name = action_name(d, i);
    return name && queue_request(d, name, std::nullopt);
}

gint node_get_n_actions(AtkAction* action) {
    NodeData const* d = node_data(action);
    return d->bridge && !d->id.empty() ? gint(1 + d->actions.size()) : 0;
}

gchar const* node_action_name(AtkAction* action, gint i) {
    return action_name(node_data(action), i);
}

void node_action_init(gpointer g_iface, gpointer) {
    auto* iface = static_cast<AtkActionIface*>(g_iface);
    iface->do_action = node_do_action;
    iface->get_n_actions = node_get_n_actions;
    iface->get_name = node_action_name;
}

AtkAttributeSet* add_attribute(AtkAttributeSet* set, char const* name, std::string const& value) {
    auto* attribute = static_cast<AtkAttribute*>(g_malloc(sizeof(AtkAttribute)));
    attribute->name = g_strdup(name);
    attribute->value = g_strdup(value.c_str());
    return g_slist_append(set, attribute);
}

// The semantic id lets scripts and tests find a node; a live container tells the screen
// reader to speak what is added to it.
AtkAttributeSet* node_get_attributes(AtkObject* obj) {
    NodeData const* d = node_data(obj);
    AtkAttributeSet* set = nullptr;
    if (!d->id.empty()) set = add_attribute(set, "id", d->id);
    if (!d->live.empty()) {
        set = add_attribute(set, "container-live", d->live);
        set = add_attribute(set, "live", d->live);
        set = add_attribute(set, "container-relevant", "additions");
    }
    return set;
}

// ---- text fields ----

a11y::TextContent const& text_of(gpointer obj) {
    static a11y::TextContent const empty;
    NodeData const* d = node_data(obj);
    return d->text ? *d->text : empty;
}

gint text_count(AtkText* t) {
    return char_count(text_of(t).text);
}

gchar* text_get_text(AtkText* t, gint start, gint end) {
    auto const& text = text_of(t).text;
    if (end < 0) end = char_count(text);
    return g_strdup(slice(text, start, end).c_str());
}

gunichar text_char_at(AtkText* t, gint offset) {
    auto const& text = text_of(t).text;
    if (offset < 0 || offset >= char_count(text)) return 0;
    return g_utf8_get_char(text.c_str() + byte_at(text, offset));
}

gint text_caret(AtkText* t) {
    return text_of(t).caret;
}

gint text_n_selections(AtkText* t) {
    auto const& c = text_of(t);
    return c.selection_start != c.selection_end ? 1 : 0;
}

gchar* text_get_selection(AtkText* t, gint n, gint* start, gint* end) {
    auto const& c = text_of(t);
    *start = *end = 0;
    if (n != 0 || c.selection_start == c.selection_end) return nullptr;
    *start = std::min(c.selection_start, c.selection_end);
    *end = std::max(c.selection_start, c.selection_end);
    return g_strdup(slice(c.text, *start, *end).c_str());
}

gboolean text_select(AtkText* t, gint start, gint end) {
    int count = text_count(t);
    start = std::clamp(start, 0, count), end = std::clamp(end, 0, count);
    return queue_request(node_data(t), "", a11y::TextEdit{start, end, "", true});
}

gboolean text_set_selection(AtkText* t, gint n, gint start, gint end) {
    return n == 0 && text_select(t, start, end);
}

gboolean text_add_selection(AtkText* t, gint start, gint end) {
    return text_n_selections(t) == 0 && text_select(t, start, end);
}

gboolean text_remove_selection(AtkText* t, gint n) {
    if (n != 0 || text_n_selections(t) == 0) return FALSE;
    int caret = text_caret(t);
    return text_select(t, caret, caret);
}

gboolean text_set_caret(AtkText* t, gint offset) {
    return text_select(t, offset, offset);
}

// The word, line or character around `offset`. Words are runs of non-space characters;
// sentences and paragraphs are treated as lines (a composer rarely has more structure).
gchar* text_string_at(AtkText* t, gint offset, AtkTextGranularity granularity, gint* start,
                      gint* end) {
    std::vector<gunichar> chars;
    auto const& text = text_of(t).text;
    for (char const* p = text.c_str(); *p; p = g_utf8_next_char(p))
        chars.push_back(g_utf8_get_char(p));
    int n = int(chars.size());
    offset = std::clamp(offset, 0, n);
    int from = offset, to = offset;
    if (granularity == ATK_TEXT_GRANULARITY_CHAR) {
        to = std::min(n, offset + 1);
    } else if (granularity == ATK_TEXT_GRANULARITY_WORD) {
        auto space = [&](int i) { return g_unichar_isspace(chars[size_t(i)]); };
        if (offset < n && space(offset)) {
            while (to < n && space(to)) ++to;  // the gap before the next word
        } else {
            while (from > 0 && !space(from - 1)) --from;
            while (to < n && !space(to)) ++to;
        }
    } else {
        while (from > 0 && chars[size_t(from - 1)] != '\n') --from;
        while (to < n && chars[size_t(to)] != '\n') ++to;
        if (to < n) ++to;  // a line includes its break
    }
    *start = from, *end = to;
    return g_strdup(slice(text, from, to).c_str());
}

// ---- where the characters are drawn, and how ----

std::vector<Rect> const& character_rects(AtkText* t) {
    return text_of(t).character_rects;
}

void text_char_extents(AtkText* t, gint offset, gint* x, gint* y, gint* width, gint* height,
                       AtkCoordType coords) {
    *x = *y = *width = *height = 0;
    auto const& rects = character_rects(t);
    auto origin = origin_in(node_data(t), coords);
    if (!origin || offset < 0 || size_t(offset) >= rects.size()) return;
    put_rect(rects[size_t(offset)], *origin, x, y, width, height);
}

void text_range_extents(AtkText* t, gint start, gint end, AtkCoordType coords,
                        AtkTextRectangle* out) {
    *out = AtkTextRectangle{0, 0, 0, 0};
    auto const& rects = character_rects(t);
    auto origin = origin_in(node_data(t), coords);
    if (!origin) return;
    std::optional<Rect> all;
    for (gint i = std::max(start, 0); i < end && size_t(i) < rects.size(); ++i) {
        Rect r = rects[size_t(i)];
        all = all ? Rect::from_edges(std::min(all->x, r.x), std::min(all->y, r.y),
                                     std::max(all->right(), r.right()),
                                     std::max(all->bottom(), r.bottom()))
                  : r;
    }
    if (all) put_rect(*all, *origin, &out->x, &out->y, &out->width, &out->height);
}

gint text_offset_at_point(AtkText* t, gint x, gint y, AtkCoordType coords) {
    auto const& rects = character_rects(t);
    auto origin = origin_in(node_data(t), coords);
    if (!origin) return -1;
    Point at{x - origin->x, y - origin->y};
    for (size_t i = 0; i < rects.size(); ++i)
        if (rects[i].contains(at)) return gint(i);
    return -1;
}

AtkAttributeSet* text_attributes(AtkText* t) {
    AtkAttributeSet* set = nullptr;
    for (auto const& [name, value] : text_of(t).attributes)
        set = add_attribute(set, name.c_str(), value);
    return set;
}

// The run of text drawn alike around `offset` (the last run at the end of the text); a field
// that was not laid out is one run in its default attributes.
AtkAttributeSet* text_run_attributes(AtkText* t, gint offset, gint* start, gint* end) {
    int count = text_count(t);
    *start = 0, *end = count;
    if (offset < 0 || offset > count) {
        *start = *end = -1;
        return nullptr;
    }
    auto const& runs = text_of(t).runs;
    for (size_t i = 0; i < runs.size(); ++i) {
        auto const& run = runs[i];
        if (offset >= run.end && !(i + 1 == runs.size() && offset == run.end)) continue;
        *start = run.start, *end = run.end;
        AtkAttributeSet* set = nullptr;
        for (auto const& [name, value] : run.attributes)
            set = add_attribute(set, name.c_str(), value);
        return set;
    }
    return text_attributes(t);
}

void text_iface_init(gpointer g_iface, gpointer) {
    auto* iface = static_cast<AtkTextIface*>(g_iface);
    iface->get_text = text_get_text;
    iface->get_character_at_offset = text_char_at;
    iface->get_caret_offset = text_caret;
    iface->get_character_count = text_count;
    iface->get_n_selections = text_n_selections;
    iface->get_selection = text_get_selection;
    iface->add_selection = text_add_selection;
    iface->remove_selection = text_remove_selection;
    iface->set_selection = text_set_selection;
    iface->set_caret_offset = text_set_caret;
    iface->get_string_at_offset = text_string_at;
    iface->get_character_extents = text_char_extents;
    iface->get_range_extents = text_range_extents;
    iface->get_offset_at_point = text_offset_at_point;
    iface->get_run_attributes = text_run_attributes;
    iface->get_default_attributes = text_attributes;
}

void edit_replace(AtkEditableText* t, int start, int end, std::string text) {
    int count = text_count(ATK_TEXT(t));
    start = std::clamp(start, 0, count), end = std::clamp(end, start, count);
    queue_request(node_data(t), "", a11y::TextEdit{start, end, std::move(text), false});
}

void edit_set_contents(AtkEditableText* t, gchar const* text) {
    edit_replace(t, 0, text_count(ATK_TEXT(t)), text ? text : "");
}

void edit_insert(AtkEditableText* t, gchar const* text, gint length, gint* position) {
    if (!text || !position) return;
    std::string inserted = length < 0 ? std::string(text) : std::string(text, size_t(length));
    if (!g_utf8_validate(inserted.c_str(), gssize(inserted.size()), nullptr)) return;
    edit_replace(t, *position, *position, inserted);
    *position += char_count(inserted);
}

void edit_delete(AtkEditableText* t, gint start, gint end) {
    if (end < 0) end = text_count(ATK_TEXT(t));
    edit_replace(t, start, end, "");
}

void edit_clipboard(AtkEditableText* t, char const* action, gint start, gint end) {
    text_select(ATK_TEXT(t), start, end);
    queue_request(node_data(t), action, std::nullopt);
}

void edit_copy(AtkEditableText* t, gint start, gint end) {
    edit_clipboard(t, "copy", start, end);
}
void edit_cut(AtkEditableText* t, gint start, gint end) {
    edit_clipboard(t, "cut", start, end);
}
void edit_paste(AtkEditableText* t, gint position) {
    edit_clipboard(t, "paste", position, position);
}

void editable_iface_init(gpointer g_iface, gpointer) {
    auto* iface = static_cast<AtkEditableTextIface*>(g_iface);
    iface->set_text_contents = edit_set_contents;
    iface->insert_text = edit_insert;
    iface->delete_text = edit_delete;
    iface->copy_text = edit_copy;
    iface->cut_text = edit_cut;
    iface->paste_text = edit_paste;
}

void node_finalize(GObject* obj);

GObjectClass* node_parent_class = nullptr;

void node_class_init(gpointer klass, gpointer) {
    node_parent_class = G_OBJECT_CLASS(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->finalize = node_finalize;
    auto* atk = ATK_OBJECT_CLASS(klass);
    atk->get_name = node_get_name;
    atk->get_description = node_get_description;
    atk->get_role = node_get_role;
    atk->get_n_children = node_get_n_children;
    atk->ref_child = node_ref_child;
    atk->get_index_in_parent = node_get_index_in_parent;
    atk->ref_state_set = node_ref_state_set;
    atk->get_attributes = node_get_attributes;
}

void node_instance_init(GTypeInstance* instance, gpointer) {
    reinterpret_cast<VemoAccessNode*>(instance)->data = new NodeData();
}

void node_finalize(GObject* obj) {
    delete node_data(obj);
    reinterpret_cast<VemoAccessNode*>(obj)->data = nullptr;
    node_parent_class->finalize(obj);
}

GType vemo_access_node_get_type() {
    static GType type = [] {
        GType t = g_type_register_static_simple(
            ATK_TYPE_OBJECT, "VemoAccessNode", sizeof(VemoAccessNodeClass), node_class_init,
            sizeof(VemoAccessNode), node_instance_init, GTypeFlags(0));
        GInterfaceInfo component{node_component_init, nullptr, nullptr};
        GInterfaceInfo action{node_action_init, nullptr, nullptr};
        g_type_add_interface_static(t, ATK_TYPE_COMPONENT, &component);
        g_type_add_interface_static(t, ATK_TYPE_ACTION, &action);
        return t;
    }();
    return type;
}

GType vemo_access_text_node_get_type() {
    static GType type = [] {
        GType t = g_type_register_static_simple(vemo_access_node_get_type(), "VemoAccessTextNode",
                                                sizeof(VemoAccessTextNodeClass), nullptr,
                                                sizeof(VemoAccessTextNode), nullptr, GTypeFlags(0));
        GInterfaceInfo text{text_iface_init, nullptr, nullptr};
        GInterfaceInfo editable{editable_iface_init, nullptr, nullptr};
        g_type_add_interface_static(t, ATK_TYPE_TEXT, &text);
        g_type_add_interface_static(t, ATK_TYPE_EDITABLE_TEXT, &editable);
        return t;
    }();
    return type;
}

// ---- the drawing area's own accessible: the tree's root ----

AtkObjectClass* area_parent_class = nullptr;

gint area_get_n_children(AtkObject* obj) {
    Bridge* b = bridge_of_root(obj);
    if (!b) return area_parent_class->get_n_children(obj);
    refresh(*b, obj);
    return gint(b->root_children.size());
}

AtkObject* area_ref_child(AtkObject* obj, gint i) {
    Bridge* b = bridge_of_root(obj);
    if (!b) return area_parent_class->ref_child(obj, i);
    refresh(*b, obj);
    if (i < 0 || size_t(i) >= b->root_children.size()) return nullptr;
    return ATK_OBJECT(g_object_ref(b->root_children[size_t(i)]));
}

gchar const* area_get_name(AtkObject* obj) {
    Bridge* b = bridge_of_root(obj);
    if (b) refresh(*b, obj);
    if (b && !b->root_label.empty()) return b->root_label.c_str();
    return area_parent_class->get_name(obj);
}

gchar const* area_get_description(AtkObject* obj) {
    Bridge* b = bridge_of_root(obj);
    if (b) refresh(*b, obj);
    if (b && !b->root_description.empty()) return b->root_description.c_str();
    return area_parent_class->get_description(obj);
}

AtkRole area_get_role(AtkObject* obj) {
    Bridge* b = bridge_of_root(obj);
    return b ? atk_role_of(b->root_role) : area_parent_class->get_role(obj);
}

void area_class_init(gpointer klass, gpointer) {
    area_parent_class = ATK_OBJECT_CLASS(g_type_class_peek_parent(klass));
    auto* atk = ATK_OBJECT_CLASS(klass);
    atk->get_n_children = area_get_n_children;
    atk->ref_child = area_ref_child;
    atk->get_name = area_get_name;
    atk->get_description = area_get_description;
    atk->get_role = area_get_role;
}

GType vemo_area_accessible_get_type() {
    static GType type = g_type_register_static_simple(
        GTK_TYPE_WIDGET_ACCESSIBLE, "VemoAreaAccessible", sizeof(VemoAreaAccessibleClass),
        area_class_init, sizeof(VemoAreaAccessible), nullptr, GTypeFlags(0));
    return type;
}

void drawing_area_class_init(gpointer klass, gpointer) {
    gtk_widget_class_set_accessible_type(GTK_WIDGET_CLASS(klass), vemo_area_accessible_get_type());
}

GType vemo_drawing_area_get_type() {
    static GType type = g_type_register_static_simple(
        GTK_TYPE_DRAWING_AREA, "VemoDrawingArea", sizeof(VemoDrawingAreaClass),
        drawing_area_class_init, sizeof(VemoDrawingArea), nullptr, GTypeFlags(0));
    return type;
}

void destroy_bridge(gpointer data) {
    delete static_cast<Bridge*>(data);
}

}  // namespace

GtkWidget* vemo_drawing_area_new() {
    return GTK_WIDGET(g_object_new(vemo_drawing_area_get_type(), nullptr));
}

bool install_accessibility(GtkWidget* drawing_area, AccessTreeSource tree, AccessActionSink perform,
                           AccessTextSink edit) {
    if (!drawing_area || !G_TYPE_CHECK_INSTANCE_TYPE(drawing_area, vemo_drawing_area_get_type()))
        return false;
    auto* bridge = new Bridge();
    bridge->widget = drawing_area;
    bridge->tree = std::move(tree);
    bridge->perform = std::move(perform);
    bridge->edit = std::move(edit);
    g_object_set_data_full(G_OBJECT(drawing_area), bridge_key, bridge, destroy_bridge);
    notify_accessibility_changed(drawing_area);
    return true;
}

void notify_accessibility_changed(GtkWidget* drawing_area) {
    Bridge* b = bridge_of_widget(drawing_area);
    if (!b) return;
    b->dirty = true;
    // Refresh now so assistive technology hears about changes instead of finding them later.
    refresh(*b, root_accessible(*b));
}

}  // namespace vemo_ui

namespace vemo_ui {

bool announce_accessibility(GtkWidget* drawing_area, std::string const& text) {
    Bridge* b = bridge_of_widget(drawing_area);
    if (!b || text.empty() || g_signal_lookup("announcement", ATK_TYPE_OBJECT) == 0) return false;
    g_signal_emit_by_name(root_accessible(*b), "announcement", text.c_str());
    return true;
}

}  // namespace vemo_ui
