// Links leave the application for the person's browser or mail program, and the pointer shows
// a hand over them.
#include <gtk/gtk.h>

#include <iostream>
#include <utility>

#include "vemo_ui/desktop.hpp"

namespace vemo_ui::desktop {

namespace {

struct LinkState {
    std::function<bool(std::string const&)> opener;
    Cursor cursor = Cursor::Default;
};

LinkState& state() {
    static LinkState s;
    return s;
}

// The window the person works in: the focused one, else the first one shown. Without windows
// (screenshots, automation, tests) GTK may not even be initialised, and nothing else is asked.
GtkWindow* working_window() {
    GtkWindow* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l; l = l->next) {
        auto* w = GTK_WINDOW(l->data);
        if (gtk_window_get_window_type(w) != GTK_WINDOW_TOPLEVEL ||
            !gtk_widget_get_visible(GTK_WIDGET(w)))
            continue;
        if (gtk_window_is_active(w)) {
            found = w;
            break;
        }
        if (!found) found = w;
    }
    g_list_free(windows);
    return found;
}

}  // namespace

bool open_uri(std::string const& uri) {
    if (auto const& opener = state().opener) return opener(uri);
    GtkWindow* window = working_window();
    if (!window) return false;
    GError* error = nullptr;
    if (!gtk_show_uri_on_window(window, uri.c_str(), gtk_get_current_event_time(), &error)) {
        std::cerr << "cannot open " << uri << ": " << (error ? error->message : "no handler")
                  << "\n";
        g_clear_error(&error);
        return false;
    }
    return true;
}

void set_uri_opener(std::function<bool(std::string const&)> opener) {
    state().opener = std::move(opener);
}

void set_cursor(Cursor cursor) {
    if (cursor == state().cursor) return;
    GtkWindow* window = working_window();
    GdkWindow* surface = window ? gtk_widget_get_window(GTK_WIDGET(window)) : nullptr;
    if (!surface) return;
    state().cursor = cursor;
    GdkCursor* shape = cursor == Cursor::Pointer
                           ? gdk_cursor_new_from_name(gdk_window_get_display(surface), "pointer")
                           : nullptr;
    gdk_window_set_cursor(surface, shape);
    if (shape) g_object_unref(shape);
}

}  // namespace vemo_ui::desktop
