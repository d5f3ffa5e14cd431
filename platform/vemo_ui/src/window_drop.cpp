#include "window_drop.hpp"

#include <gtk/gtk.h>

#include "app_session.hpp"

namespace vemo_ui::launch::detail {

namespace {

enum : guint { uri_list_target = 1 };

void on_drag_data_received(GtkWidget* widget, GdkDragContext* context, gint x, gint y,
                           GtkSelectionData* data, guint info, guint time, gpointer session_ptr) {
    auto* session = static_cast<vemo_ui::detail::AppSession*>(session_ptr);
    bool taken = false;
    if (info == uri_list_target && data && gtk_selection_data_get_length(data) > 0) {
        auto const* bytes = reinterpret_cast<char const*>(gtk_selection_data_get_data(data));
        std::string list(bytes, size_t(gtk_selection_data_get_length(data)));
        auto paths = local_paths_of_uri_list(list);
        // The window's own child is where the widget draws: its coordinates are the widget's.
        int cx = x, cy = y;
        if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(widget)))
            gtk_widget_translate_coordinates(widget, child, x, y, &cx, &cy);
        if (!paths.empty())
            taken = session->widget().drop_files(paths, Point{double(cx), double(cy)});
        session->commit();
        gtk_widget_queue_draw(widget);
    }
    gtk_drag_finish(context, taken, FALSE, time);
}

}  // namespace

std::vector<std::string> local_paths_of_uri_list(std::string const& uri_list) {
    std::vector<std::string> paths;
    gchar** uris = g_uri_list_extract_uris(uri_list.c_str());
    for (gchar** u = uris; u && *u; ++u) {
        gchar* path = g_filename_from_uri(*u, nullptr, nullptr);
        if (path) paths.emplace_back(path);
        g_free(path);
    }
    g_strfreev(uris);
    return paths;
}

void accept_file_drops(GtkWidget* window, vemo_ui::detail::AppSession& session) {
    static GtkTargetEntry const targets[] = {
        {const_cast<gchar*>("text/uri-list"), 0, uri_list_target}};
    gtk_drag_dest_set(window, GTK_DEST_DEFAULT_ALL, targets, G_N_ELEMENTS(targets),
                      GDK_ACTION_COPY);
    g_signal_connect(window, "drag-data-received", G_CALLBACK(on_drag_data_received), &session);
}

}  // namespace vemo_ui::launch::detail
