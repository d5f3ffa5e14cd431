#include "window_host.hpp"

#include <gdk/gdkkeysyms.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <utility>

#include "app_session.hpp"
#include "desktop_instance.hpp"
#include "desktop_surfaces.hpp"
#include "desktop_theme.hpp"
#include "frame_driver.hpp"
#include "gdk_input.hpp"
#include "vemo_ui/access_refresh.hpp"
#include "vemo_ui/atk_bridge.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace vemo_ui::launch::detail {

namespace {

KeyEvent key_from(GdkEventKey const* e) {
    KeyEvent k;
    k.mods = modifiers_from(e->state);
    k.pressed = e->type == GDK_KEY_PRESS;
    switch (e->keyval) {
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
        case GDK_KEY_ISO_Enter:
            k.key = Key::Enter;
            break;
        case GDK_KEY_Tab:
        case GDK_KEY_KP_Tab:
        case GDK_KEY_ISO_Left_Tab:
            k.key = Key::Tab;
            break;
        case GDK_KEY_Escape:
            k.key = Key::Escape;
            break;
        case GDK_KEY_BackSpace:
            k.key = Key::Backspace;
            break;
        case GDK_KEY_Delete:
        case GDK_KEY_KP_Delete:
            k.key = Key::Delete;
            break;
        case GDK_KEY_Left:
        case GDK_KEY_KP_Left:
            k.key = Key::Left;
            break;
        case GDK_KEY_Right:
        case GDK_KEY_KP_Right:
            k.key = Key::Right;
            break;
        case GDK_KEY_Up:
        case GDK_KEY_KP_Up:
            k.key = Key::Up;
            break;
        case GDK_KEY_Down:
        case GDK_KEY_KP_Down:
            k.key = Key::Down;
            break;
        case GDK_KEY_Home:
        case GDK_KEY_KP_Home:
            k.key = Key::Home;
            break;
        case GDK_KEY_End:
        case GDK_KEY_KP_End:
            k.key = Key::End;
            break;
        case GDK_KEY_Page_Up:
        case GDK_KEY_KP_Page_Up:
            k.key = Key::PageUp;
            break;
        case GDK_KEY_Page_Down:
        case GDK_KEY_KP_Page_Down:
            k.key = Key::PageDown;
            break;
        case GDK_KEY_space:
            k.key = Key::Space;
            k.character = U' ';
            break;
        case GDK_KEY_F1:
            k.key = Key::F1;
            break;
        case GDK_KEY_F2:
            k.key = Key::F2;
            break;
        case GDK_KEY_F6:
            k.key = Key::F6;
            break;
        case GDK_KEY_F10:
            k.key = Key::F10;
            break;
        case GDK_KEY_Menu:
            k.key = Key::ContextMenu;
            break;
        default:
            if (char32_t c = gdk_keyval_to_unicode(e->keyval); c >= 0x20 && c != 0x7f) {
                k.key = Key::Character;
                k.character = c;
            }
            break;
    }
    return k;
}

class WindowHost {
  public:
    WindowHost(LaunchConfig const& config, vemo_ui::detail::AppSession& session,
               std::optional<int> frames)
        : m_session(session),
          m_widget(&session.widget()),
          m_driver(session.driver()),
          m_frames_left(frames) {
        WindowSize size =
            config.default_window_size ? config.default_window_size() : WindowSize{1280, 800};
        m_theme = Theme::dark();
        gtk_window_set_default_icon_name(config.app_id.c_str());
        m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(m_window), window_title(config.app_id).c_str());
        gtk_window_set_default_size(GTK_WINDOW(m_window), size.width, size.height);
        g_signal_connect(m_window, "delete-event", G_CALLBACK(on_delete), this);
        g_signal_connect(m_window, "destroy", G_CALLBACK(on_destroyed), this);

        m_area = vemo_drawing_area_new();
        gtk_widget_set_can_focus(m_area, TRUE);
        gtk_widget_add_events(
            m_area, GDK_KEY_PRESS_MASK | GDK_KEY_RELEASE_MASK | GDK_BUTTON_PRESS_MASK |
                        GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK |
                        GDK_SCROLL_MASK | GDK_SMOOTH_SCROLL_MASK | GDK_FOCUS_CHANGE_MASK);
        gtk_container_add(GTK_CONTAINER(m_window), m_area);
        g_signal_connect(m_area, "draw", G_CALLBACK(on_draw), this);
        g_signal_connect(m_area, "key-press-event", G_CALLBACK(on_key), this);
        g_signal_connect(m_area, "key-release-event", G_CALLBACK(on_key), this);
        g_signal_connect(m_area, "button-press-event", G_CALLBACK(on_button), this);
        g_signal_connect(m_area, "button-release-event", G_CALLBACK(on_button), this);
        g_signal_connect(m_area, "motion-notify-event", G_CALLBACK(on_motion), this);
        g_signal_connect(m_area, "leave-notify-event", G_CALLBACK(on_leave), this);
        g_signal_connect(m_area, "scroll-event", G_CALLBACK(on_scroll), this);
        g_signal_connect(m_area, "focus-in-event", G_CALLBACK(on_focus), this);
        g_signal_connect(m_area, "focus-out-event", G_CALLBACK(on_focus), this);
        g_signal_connect(m_area, "realize", G_CALLBACK(on_realize), this);

        m_im = gtk_im_multicontext_new();
        g_signal_connect(m_im, "commit", G_CALLBACK(on_im_commit), this);
        g_signal_connect(m_im, "preedit-changed", G_CALLBACK(on_preedit), this);

        // Assistive technology reads the tree of the frame on screen, taken right after its
        // draw: between a sync and the draw that follows it the widget's geometry still
        // describes the previous frame.
        install_accessibility(
            m_area, [this] { return m_access.tree(); },
            [this](std::string const& id, std::string const& action) {
                bool done = m_widget->perform_semantic_action(id, action);
                m_session.commit();
                m_access.invalidate();
                mark_dirty();
                return done;
            },
            [this](std::string const& id, a11y::TextEdit const& edit) {
                bool done = m_widget->perform_text_edit(id, edit);
                m_session.commit();
                m_access.invalidate();
                mark_dirty();
                return done;
            });

        // Panels dragged out of the window (the call) become windows of their own.
        m_desktop = std::make_unique<DesktopSurfaceHost>(
            m_area, *m_widget, m_text, m_theme, [this](Event const& e) { deliver(e); },
            [this] {
                m_session.commit();
                m_access.invalidate();
                mark_dirty();
            });

        gtk_widget_add_tick_callback(m_area, on_tick, this, nullptr);
        gtk_widget_show_all(m_window);
        gtk_widget_grab_focus(m_area);
    }

    ~WindowHost() {
        if (m_window) g_signal_handlers_disconnect_by_data(m_window, this);
        if (m_realtime_source) g_source_remove(m_realtime_source);
        if (m_im) g_object_unref(m_im);
    }

    void run() { gtk_main(); }

    // `by_person`: the window closed or Ctrl+Q, rather than a signal or the frame count.
    void quit(bool by_person = false) {
        if (m_quitting) return;
        m_quitting = true;
        if (by_person) {
            m_widget->closing();
            m_session.commit();
        }
        (void)m_session.flush();
        gtk_main_quit();
    }

  private:
    static std::string window_title(std::string const& app_id) {
        std::string last = app_id.substr(app_id.rfind('.') + 1);
        if (last.empty()) return app_id;
        last[0] = char(std::toupper(static_cast<unsigned char>(last[0])));
        return last;
    }

    double scale() const { return double(gtk_widget_get_scale_factor(m_area)); }

    Size logical_size() const {
        return Size{double(gtk_widget_get_allocated_width(m_area)),
                    double(gtk_widget_get_allocated_height(m_area))};
    }

    // Runs sync and layout when something may have changed; the draw signal then paints.
    void frame() {
        double now = vemo_ui::detail::monotonic_seconds();
        m_session.sync(now, scale());
        // Layout is cheap and rebuilt every frame; a changed one only asks for a new tree.
        m_layout_changed = m_widget->take_layout_changed() || m_layout_changed;
        Size size = logical_size();
        if (auto laid = m_driver.layout(size); !laid)
            std::cerr << "layout failed: " << laid.error().message << "\n";
        m_last_size = size;
        m_dirty = false;
        gtk_widget_queue_draw(m_area);
        m_desktop->sync();
        keep_realtime_ticks();
    }

    // Live call media must flow between repaints: while the widget asks for it, a main-loop
    // timer runs its realtime step alone, without layout or drawing.
    void keep_realtime_ticks() {
        double interval = m_widget->realtime_interval();
        if (interval <= 0 || m_realtime_source) return;
        m_realtime_source = g_timeout_add(guint(interval * 1000), on_realtime, this);
    }

    static gboolean on_realtime(gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        if (self->m_widget->realtime_interval() <= 0) {
            self->m_realtime_source = 0;
            return G_SOURCE_REMOVE;
        }
        FrameContext ctx{&self->m_session.document(), vemo_ui::detail::monotonic_seconds(),
                         self->scale()};
        self->m_widget->realtime_tick(ctx);
        self->m_session.commit();
        return G_SOURCE_CONTINUE;
    }

    // Screen readers re-read the tree only when something they can see changed, and the tree
    // is built again only when something it is made of may have.
    void notify_if_tree_changed() {
        auto& doc = m_session.document();
        a11y::AccessRefresh::Frame now{doc.num_changes(),
                                       doc.pending_ops(),
                                       logical_size(),
                                       scale(),
                                       std::exchange(m_layout_changed, false),
                                       m_widget->animation_moves_controls()};
        if (m_access.needs_rebuild(now) && m_access.offer(m_widget->accessibility()))
            notify_accessibility_changed(m_area);
        // Spoken after the tree holds what they talk about.
        for (auto const& line : m_widget->take_announcements())
            announce_accessibility(m_area, line);
    }

    void mark_dirty() { m_dirty = true; }

    static gboolean on_tick(GtkWidget*, GdkFrameClock*, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        // Changes from peers arrive between frames and are shown by the next one.
        if (self->m_session.poll_sharing()) self->mark_dirty();
        // A test run with a frame budget keeps frames coming until the budget is spent.
        if (self->m_dirty || self->m_frames_left || self->m_widget->needs_animation_frame() ||
            logical_changed(*self))
            self->frame();
        return G_SOURCE_CONTINUE;
    }

    static bool logical_changed(WindowHost const& self) {
        return self.logical_size() != self.m_last_size;
    }

    static gboolean on_draw(GtkWidget*, cairo_t* cr, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        if (!self->m_synced_once) {
            self->frame();
            self->m_synced_once = true;
        }
        // GTK already maps logical points to device pixels on this context.
        CairoPainter painter(cr, 1.0);
        self->m_theme = window_theme();  // follows the desktop's light or dark preference
        DrawContext ctx{painter, self->m_text, self->m_theme, vemo_ui::detail::monotonic_seconds(),
                        self->scale()};
        self->m_driver.draw(ctx, nullptr);
        // A field that opened or moved is placed by the draw: the input method follows.
        self->update_im_cursor();
        self->notify_if_tree_changed();
        if (self->m_frames_left && --*self->m_frames_left <= 0) self->quit();
        return TRUE;
    }

    void deliver(Event const& e) {
        m_widget->handle_event(e);
        m_access.invalidate();
        // Whatever the event dispatched becomes a change of its own.
        m_session.commit();
        mark_dirty();
        update_im_cursor();
    }

    void update_im_cursor() {
        if (!m_widget->text_input_active()) return;
        if (auto caret = m_widget->text_input_caret_rect()) {
            GdkRectangle r{int(caret->x), int(caret->y), std::max(1, int(caret->width)),
                           std::max(1, int(caret->height))};
            gtk_im_context_set_cursor_location(m_im, &r);
        }
    }

    static gboolean on_key(GtkWidget*, GdkEventKey* e, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        if (is_quit_shortcut(e)) {
            self->quit(true);
            return TRUE;
        }
        if (self->m_widget->text_input_active() && gtk_im_context_filter_keypress(self->m_im, e))
            return TRUE;
        KeyEvent k = key_from(e);
        if (k.key == Key::Other && k.character == 0) return FALSE;
        self->deliver(k);
        return TRUE;
    }

    static gboolean on_button(GtkWidget* area, GdkEventButton* e, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        if (e->type == GDK_2BUTTON_PRESS || e->type == GDK_3BUTTON_PRESS) {
            // GTK reports the first press separately; the second carries the count.
            PointerEvent p{PointerEvent::Kind::Press,
                           {e->x, e->y},
                           button_from(e->button),
                           e->type == GDK_2BUTTON_PRESS ? 2 : 3,
                           modifiers_from(e->state)};
            self->deliver(p);
            return TRUE;
        }
        if (e->type == GDK_BUTTON_PRESS) gtk_widget_grab_focus(area);
        PointerEvent p{
            e->type == GDK_BUTTON_PRESS ? PointerEvent::Kind::Press : PointerEvent::Kind::Release,
            {e->x, e->y},
            button_from(e->button),
            1,
            modifiers_from(e->state)};
        self->deliver(p);
        return TRUE;
    }

    static gboolean on_motion(GtkWidget*, GdkEventMotion* e, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        PointerEvent p{PointerEvent::Kind::Move,
                       {e->x, e->y},
                       PointerButton::None,
                       0,
                       modifiers_from(e->state)};
        self->deliver(p);
        return TRUE;
    }

    static gboolean on_leave(GtkWidget*, GdkEventCrossing* e, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        PointerEvent p{PointerEvent::Kind::Leave,
                       {e->x, e->y},
                       PointerButton::None,
                       0,
                       modifiers_from(e->state)};
        self->deliver(p);
        return TRUE;
    }

    static gboolean on_scroll(GtkWidget*, GdkEventScroll* e, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        WheelEvent w{{e->x, e->y}, 0, 0, modifiers_from(e->state)};
        // GTK 3 reports notches and smooth deltas alike in line steps.
        double lines_x = 0, lines_y = 0;
        switch (e->direction) {
            case GDK_SCROLL_UP:
                lines_y = -1;
                break;
            case GDK_SCROLL_DOWN:
                lines_y = 1;
                break;
            case GDK_SCROLL_LEFT:
                lines_x = -1;
                break;
            case GDK_SCROLL_RIGHT:
                lines_x = 1;
                break;
            case GDK_SCROLL_SMOOTH:
                lines_x = e->delta_x;
                lines_y = e->delta_y;
                break;
        }
        w.dx = wheel_points(lines_x, WheelUnit::Lines, self->scale());
        w.dy = wheel_points(lines_y, WheelUnit::Lines, self->scale());
        self->deliver(w);
        return TRUE;
    }

    static gboolean on_focus(GtkWidget*, GdkEventFocus* e, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        if (e->in)
            gtk_im_context_focus_in(self->m_im);
        else
            gtk_im_context_focus_out(self->m_im);
        self->deliver(FocusEvent{e->in != 0});
        return FALSE;
    }

    static void on_realize(GtkWidget* area, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        gtk_im_context_set_client_window(self->m_im, gtk_widget_get_window(area));
    }

    static void on_im_commit(GtkIMContext*, gchar* text, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        self->deliver(TextEvent{text ? text : ""});
    }

    static void on_preedit(GtkIMContext* im, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        gchar* text = nullptr;
        gint cursor = 0;
        gtk_im_context_get_preedit_string(im, &text, nullptr, &cursor);
        std::string s = text ? text : "";
        g_free(text);
        int cursor_bytes = int(g_utf8_offset_to_pointer(s.c_str(), cursor) - s.c_str());
        self->deliver(PreeditEvent{s, cursor_bytes});
    }

    // Ctrl+Q quits from anywhere in the window, as in other desktop programs.
    static bool is_quit_shortcut(GdkEventKey const* e) {
        auto mods = GdkModifierType(e->state & gtk_accelerator_get_default_mod_mask());
        return e->type == GDK_KEY_PRESS && mods == GDK_CONTROL_MASK &&
               gdk_keyval_to_lower(e->keyval) == GDK_KEY_q;
    }

    // The window can also go away without asking (destroyed by another client or the display
    // server); the program then ends as if it had been closed.
    static void on_destroyed(GtkWidget*, gpointer self_ptr) {
        auto* self = static_cast<WindowHost*>(self_ptr);
        self->m_window = nullptr;
        self->quit(true);
    }

    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer self_ptr) {
        static_cast<WindowHost*>(self_ptr)->quit(true);
        return TRUE;
    }

    vemo_ui::detail::AppSession& m_session;
    Widget* m_widget;
    vemo_ui::detail::FrameDriver& m_driver;
    std::optional<int> m_frames_left;
    Theme m_theme;
    TextRenderer m_text;
    GtkWidget* m_window = nullptr;
    GtkWidget* m_area = nullptr;
    GtkIMContext* m_im = nullptr;
    Size m_last_size{-1, -1};
    a11y::AccessRefresh m_access;
    bool m_layout_changed = false;
    bool m_dirty = true;
    bool m_synced_once = false;
    bool m_quitting = false;
    guint m_realtime_source = 0;
    std::unique_ptr<DesktopSurfaceHost> m_desktop;  // last: closes its windows first
};

gboolean on_terminate(gpointer host) {
    static_cast<WindowHost*>(host)->quit();
    return G_SOURCE_CONTINUE;
}

}  // namespace

int run_window(LaunchConfig const& config, CommandLine const& cmd, std::string const& program) {
    g_set_prgname(config.app_id.c_str());  // before GDK opens: window class and Wayland app id
    if (!gtk_init_check(nullptr, nullptr)) {
        std::cerr << program << ": no display to open a window on (set DISPLAY or WAYLAND_DISPLAY,"
                  << " or render a scenario: " << program << " --shot compact --output shot.png)\n";
        return 1;
    }
    if (auto handed_over = claim_instance(config, program)) return *handed_over;
    auto session = vemo_ui::detail::AppSession::start(config);
    if (!session) {
        std::cerr << program << ": " << session.error() << "\n";
        return 1;
    }
    WindowHost host(config, **session, cmd.frames);
    attach_instance(**session);
    g_unix_signal_add(SIGTERM, on_terminate, &host);
    g_unix_signal_add(SIGINT, on_terminate, &host);
    g_unix_signal_add(SIGHUP, on_terminate, &host);
    host.run();
    return 0;
}

}  // namespace vemo_ui::launch::detail
