#include "desktop_surfaces.hpp"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

#include "gdk_input.hpp"
#include "vemo_ui/atk_bridge.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace vemo_ui::launch::detail {

namespace {

// The tree comes in main-window coordinates; the surface's own window starts at `origin`.
void shift(a11y::AccessNode& node, Point origin) {
    if (!node.rect.is_empty()) {
        node.rect.x -= origin.x;
        node.rect.y -= origin.y;
    }
    for (auto& child : node.children) shift(child, origin);
}

}  // namespace

struct DesktopSurfaceHost::Surface {
    DesktopSurfaceHost* host = nullptr;
    DesktopSurface desc;
    GtkWidget* window = nullptr;
    GtkWidget* area = nullptr;
    a11y::AccessNode tree;
    int placed_x = INT32_MIN, placed_y = INT32_MIN, placed_w = -1, placed_h = -1;

    ~Surface() {
        if (window) gtk_widget_destroy(window);
    }

    // The main window's content origin on the screen, in logical pixels.
    Point main_origin() const {
        GdkWindow* main = gtk_widget_get_window(host->m_main_area);
        if (!main) return {};
        int x = 0, y = 0;
        gdk_window_get_origin(main, &x, &y);
        return {double(x), double(y)};
    }

    // Pointer positions in the main window's coordinates, wherever this window now is.
    Point to_main(double x_root, double y_root) const {
        Point o = main_origin();
        return {x_root - o.x, y_root - o.y};
    }

    void deliver(Event const& e) { host->m_deliver(e); }

    void open() {
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWindow* w = GTK_WINDOW(window);
        gtk_window_set_title(w, desc.title.c_str());
        gtk_window_set_role(w, desc.id.c_str());
        if (!desc.app_id.empty()) gtk_window_set_icon_name(w, desc.app_id.c_str());
        gtk_window_set_decorated(w, FALSE);
        gtk_window_set_keep_above(w, TRUE);
        gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
        // Pressing its controls leaves the keyboard where it was (typing in the main window).
        gtk_window_set_focus_on_map(w, FALSE);
        gtk_window_set_accept_focus(w, FALSE);
        gtk_window_set_resizable(w, FALSE);
        // Rounded corners stay see-through where the desktop composites windows.
        GdkScreen* screen = gtk_widget_get_screen(window);
        if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen);
            rgba && gdk_screen_is_composited(screen)) {
            gtk_widget_set_visual(window, rgba);
            gtk_widget_set_app_paintable(window, TRUE);
        }
        g_signal_connect(window, "delete-event", G_CALLBACK(on_delete), this);

        area = vemo_drawing_area_new();
        gtk_widget_add_events(area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                        GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK);
        gtk_container_add(GTK_CONTAINER(window), area);
        g_signal_connect(area, "draw", G_CALLBACK(on_draw), this);
        g_signal_connect(area, "button-press-event", G_CALLBACK(on_button), this);
        g_signal_connect(area, "button-release-event", G_CALLBACK(on_button), this);
        g_signal_connect(area, "motion-notify-event", G_CALLBACK(on_motion), this);
        g_signal_connect(area, "leave-notify-event", G_CALLBACK(on_leave), this);
        install_accessibility(
            area, [this] { return tree; },
            [this](std::string const& id, std::string const& action) {
                bool done = host->m_widget.perform_semantic_action(id, action);
                host->m_changed();
                return done;
            });
        place();
        gtk_widget_show_all(window);
    }

    void place() {
        int w = std::max(1, int(std::ceil(desc.rect.width)));
        int h = std::max(1, int(std::ceil(desc.rect.height)));
        Point o = main_origin();
        int x = int(std::lround(o.x + desc.rect.x)), y = int(std::lround(o.y + desc.rect.y));
        if (w != placed_w || h != placed_h) {
            gtk_widget_set_size_request(area, w, h);
            gtk_window_resize(GTK_WINDOW(window), w, h);
            placed_w = w, placed_h = h;
        }
        if (x != placed_x || y != placed_y) {
            gtk_window_move(GTK_WINDOW(window), x, y);
            placed_x = x, placed_y = y;
        }
        gtk_widget_queue_draw(area);
    }

    static gboolean on_draw(GtkWidget*, cairo_t* cr, gpointer self_ptr) {
        auto* self = static_cast<Surface*>(self_ptr);
        auto* host = self->host;
        cairo_save(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr, 0, 0, 0, 0);
        if (!gtk_widget_get_app_paintable(self->window)) {
            Color c = host->m_theme.window_fill;
            cairo_set_source_rgba(cr, c.r, c.g, c.b, 1);
        }
        cairo_paint(cr);
        cairo_restore(cr);
        cairo_save(cr);
        cairo_translate(cr, -self->desc.rect.x, -self->desc.rect.y);
        {
            CairoPainter painter(cr, 1.0);
            DrawContext ctx{painter, host->m_text, host->m_theme,
                            double(g_get_monotonic_time()) / 1e6,
                            double(gtk_widget_get_scale_factor(self->area))};
            host->m_widget.draw_desktop_surface(self->desc.id, ctx);
        }
        cairo_restore(cr);
        a11y::AccessNode tree = host->m_widget.desktop_surface_accessibility(self->desc.id);
        shift(tree, {self->desc.rect.x, self->desc.rect.y});
        if (tree != self->tree) {
            self->tree = std::move(tree);
            notify_accessibility_changed(self->area);
        }
        return TRUE;
    }

    static gboolean on_button(GtkWidget*, GdkEventButton* e, gpointer self_ptr) {
        auto* self = static_cast<Surface*>(self_ptr);
        bool press = e->type != GDK_BUTTON_RELEASE;
        int count = e->type == GDK_2BUTTON_PRESS ? 2 : e->type == GDK_3BUTTON_PRESS ? 3 : 1;
        self->deliver(PointerEvent{press ? PointerEvent::Kind::Press : PointerEvent::Kind::Release,
                                   self->to_main(e->x_root, e->y_root), button_from(e->button),
                                   count, modifiers_from(e->state)});
        return TRUE;
    }

    static gboolean on_motion(GtkWidget*, GdkEventMotion* e, gpointer self_ptr) {
        auto* self = static_cast<Surface*>(self_ptr);
        self->deliver(PointerEvent{PointerEvent::Kind::Move, self->to_main(e->x_root, e->y_root),
                                   PointerButton::None, 0, modifiers_from(e->state)});
        return TRUE;
    }

    static gboolean on_leave(GtkWidget*, GdkEventCrossing* e, gpointer self_ptr) {
        auto* self = static_cast<Surface*>(self_ptr);
        // Crossing into a child or during a grab is not leaving the panel.
        if (e->detail == GDK_NOTIFY_INFERIOR || e->mode != GDK_CROSSING_NORMAL) return FALSE;
        self->deliver(PointerEvent{PointerEvent::Kind::Leave, self->to_main(e->x_root, e->y_root),
                                   PointerButton::None, 0, modifiers_from(e->state)});
        return TRUE;
    }

    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer self_ptr) {
        auto* self = static_cast<Surface*>(self_ptr);
        // Closing the panel's window gives it back to the application; the next sync closes it.
        self->host->m_widget.desktop_surface_returned(self->desc.id);
        self->host->m_changed();
        return TRUE;
    }
};

DesktopSurfaceHost::DesktopSurfaceHost(GtkWidget* main_area, Widget& widget, TextRenderer& text,
                                       Theme const& theme, Deliver deliver, Changed changed)
    : m_main_area(main_area),
      m_widget(widget),
      m_text(text),
      m_theme(theme),
      m_deliver(std::move(deliver)),
      m_changed(std::move(changed)) {
    m_widget.set_desktop_surfaces_available(true);
}

DesktopSurfaceHost::~DesktopSurfaceHost() {
    m_widget.set_desktop_surfaces_available(false);
}

void DesktopSurfaceHost::sync() {
    // Surfaces stay where they are on the desktop when the main window moves.
    if (GdkWindow* main = gtk_widget_get_window(m_main_area)) {
        int x = 0, y = 0;
        gdk_window_get_origin(main, &x, &y);
        Point origin{double(x), double(y)};
        if (m_main_origin && (origin.x != m_main_origin->x || origin.y != m_main_origin->y))
            m_widget.main_window_moved({origin.x - m_main_origin->x, origin.y - m_main_origin->y});
        m_main_origin = origin;
    }
    auto wanted = m_widget.desktop_surfaces();
    std::erase_if(m_surfaces, [&](auto const& s) {
        return std::ranges::none_of(wanted, [&](auto const& d) { return d.id == s->desc.id; });
    });
    for (auto& d : wanted) {
        if (d.rect.is_empty()) continue;
        auto it =
            std::ranges::find_if(m_surfaces, [&](auto const& s) { return s->desc.id == d.id; });
        if (it == m_surfaces.end()) {
            auto s = std::make_unique<Surface>();
            s->host = this;
            s->desc = std::move(d);
            s->open();
            m_surfaces.push_back(std::move(s));
            continue;
        }
        (*it)->desc.rect = d.rect;
        (*it)->place();
    }
}

}  // namespace vemo_ui::launch::detail
