#include "toolkit_args.hpp"

#include <gtk/gtk.h>

#include <clocale>

namespace vemo_ui::launch::detail {

void take_toolkit_args(int& argc, char**& argv, std::string const& app_id) {
    // The window class derives from the program name, so it is ours before GDK sees it.
    if (!g_get_prgname()) g_set_prgname(app_id.c_str());
    char const* current = std::setlocale(LC_ALL, nullptr);
    std::string locale = current ? current : "C";
    gtk_parse_args(&argc, &argv);
    std::setlocale(LC_ALL, locale.c_str());
}

void adopt_desktop_locale() {
    std::setlocale(LC_ALL, "");
}

}  // namespace vemo_ui::launch::detail
