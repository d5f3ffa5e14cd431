#include "vemo_ui/atk_bridge.hpp"

#include <atk/atk.h>
#include <gtk/gtk-a11y.h>
#include <gtk/gtk.h>

#include <cmath>
#include <memory>
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
    int index = 0;
    bool has_node_parent = false;
    Rect parent_rect;
    std::vector<AtkObject*> children;  // borrowed; Bridge::by_key owns them
};

struct Bridge {
    GtkWidget* widget = nullptr;
    AccessTreeSource tree;
    AccessActionSink perform;
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

AtkObject* new_node() {
    auto* obj = ATK_OBJECT(g_object_new(vemo_access_node_get_type(), nullptr));
    return obj;
}

// Screen readers announce focus and selection from these events, not by polling.
void notify_states(AtkObject* obj, a11y::States const& was, a11y::States const& now) {
    auto report = [&](bool before, bool after, AtkStateType type) {
        if (before != after) atk_object_notify_state_change(obj, type, after);
    };
    report(was.focused, now.focused, ATK_STATE_FOCUSED);
    report(was.selected, now.selected, ATK_STATE_SELECTED);
    report(was.pressed, now.pressed, ATK_STATE_PRESSED);
    report(was.expanded, now.expanded, ATK_STATE_EXPANDED);
    report(!was.disabled, !now.disabled, ATK_STATE_ENABLED);
}

void update_node(AtkObject* obj, a11y::AccessNode const& node, Bridge* bridge) {
    NodeData* d = node_data(obj);
    a11y::States was = d->states;
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
    if (renamed) g_object_notify(G_OBJECT(obj), "accessible-name");
    if (!fresh) notify_states(obj, was, node.states);
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
        if (auto it = old.find(key); it != old.end()) {
            obj = it->second;
            old.erase(it);
        } else {
            obj = new_node();
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
        if (created) g_signal_emit_by_name(parent, "children-changed::add", gint(i), obj);
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
    if (!d->rect.is_empty()) atk_state_set_add_state(set, ATK_STATE_SHOWING);
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
    if (d->states.expanded) {
        atk_state_set_add_state(set, ATK_STATE_EXPANDABLE);
        atk_state_set_add_state(set, ATK_STATE_EXPANDED);
    }
    if (d->role == a11y::Role::TextInput) {
        atk_state_set_add_state(set, ATK_STATE_EDITABLE);
        atk_state_set_add_state(set, ATK_STATE_MULTI_LINE);
    }
    return set;
}

void node_extents(AtkComponent* component, gint* x, gint* y, gint* width, gint* height,
                  AtkCoordType coords) {
    NodeData const* d = node_data(component);
    *x = *y = *width = *height = 0;
    if (!d->bridge || !gtk_widget_get_realized(d->bridge->widget)) return;
    GtkWidget* widget = d->bridge->widget;
    double ox = 0, oy = 0;
    if (coords == ATK_XY_SCREEN) {
        gint sx = 0, sy = 0;
        gdk_window_get_origin(gtk_widget_get_window(widget), &sx, &sy);
        ox = sx, oy = sy;
    } else if (coords == ATK_XY_WINDOW) {
        gint wx = 0, wy = 0;
        gtk_widget_translate_coordinates(widget, gtk_widget_get_toplevel(widget), 0, 0, &wx, &wy);
        ox = wx, oy = wy;
    } else if (d->has_node_parent) {
        ox = -d->parent_rect.x, oy = -d->parent_rect.y;
    }
    *x = gint(std::lround(d->rect.x + ox));
    *y = gint(std::lround(d->rect.y + oy));
    *width = gint(std::lround(d->rect.width));
    *height = gint(std::lround(d->rect.height));
}

void node_component_init(gpointer g_iface, gpointer) {
    static_cast<AtkComponentIface*>(g_iface)->get_extents = node_extents;
}

struct PendingAction {
    GtkWidget* widget;  // weak: cleared if the widget goes away first
    std::string id;
};

gboolean run_action(gpointer data) {
    std::unique_ptr<PendingAction> pending(static_cast<PendingAction*>(data));
    if (!pending->widget) return G_SOURCE_REMOVE;
    g_object_remove_weak_pointer(G_OBJECT(pending->widget),
                                 reinterpret_cast<gpointer*>(&pending->widget));
    if (Bridge* b = bridge_of_widget(pending->widget); b && b->perform)
        b->perform(pending->id, "activate");
    return G_SOURCE_REMOVE;
}

gboolean node_do_action(AtkAction* action, gint i) {
    NodeData const* d = node_data(action);
    if (i != 0 || !d->bridge || d->id.empty()) return FALSE;
    auto* pending = new PendingAction{d->bridge->widget, d->id};
    g_object_add_weak_pointer(G_OBJECT(pending->widget),
                              reinterpret_cast<gpointer*>(&pending->widget));
    g_idle_add(run_action, pending);
    return TRUE;
}

gint node_get_n_actions(AtkAction* action) {
    NodeData const* d = node_data(action);
    return d->bridge && !d->id.empty() ? 1 : 0;
}

gchar const* node_action_name(AtkAction*, gint i) {
    return i == 0 ? "activate" : nullptr;
}

void node_action_init(gpointer g_iface, gpointer) {
    auto* iface = static_cast<AtkActionIface*>(g_iface);
    iface->do_action = node_do_action;
    iface->get_n_actions = node_get_n_actions;
    iface->get_name = node_action_name;
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

bool install_accessibility(GtkWidget* drawing_area, AccessTreeSource tree,
                           AccessActionSink perform) {
    if (!drawing_area || !G_TYPE_CHECK_INSTANCE_TYPE(drawing_area, vemo_drawing_area_get_type()))
        return false;
    auto* bridge = new Bridge();
    bridge->widget = drawing_area;
    bridge->tree = std::move(tree);
    bridge->perform = std::move(perform);
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
