#include "toolkit_args.hpp"

#include <gtk/gtk.h>

#include <array>
#include <clocale>
#include <string_view>

namespace vemo_ui::launch::detail {

namespace {

// GTK and GDK built with debugging take these; release builds (the distributions') do not,
// and a launcher or script written against the other kind must still start the program.
constexpr std::array<std::string_view, 4> debug_options = {"--gtk-debug", "--gtk-no-debug",
                                                           "--gdk-debug", "--gdk-no-debug"};

// The number of arguments a debugging option left in place takes at `i`: 0 when it is none.
int debug_option_length(int argc, char** argv, int i) {
    std::string_view arg = argv[i];
    for (auto option : debug_options) {
        if (!arg.starts_with(option)) continue;
        auto rest = arg.substr(option.size());
        if (rest.starts_with('=')) return 1;
        if (!rest.empty()) continue;
        return i + 1 < argc && argv[i + 1][0] != '-' ? 2 : 1;
    }
    return 0;
}

void drop_debug_options(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc;) {
        if (std::string_view(argv[i]) == "--") {
            while (i < argc) argv[kept++] = argv[i++];
            break;
        }
        if (int n = debug_option_length(argc, argv, i)) {
            i += n;
            continue;
        }
        argv[kept++] = argv[i++];
    }
    argc = kept;
    argv[argc] = nullptr;
}

}  // namespace

void take_toolkit_args(int& argc, char**& argv, std::string const& app_id) {
    // The window class derives from the program name, so it is ours before GDK sees it.
    if (!g_get_prgname()) g_set_prgname(app_id.c_str());
    char const* current = std::setlocale(LC_ALL, nullptr);
    std::string locale = current ? current : "C";
    gtk_parse_args(&argc, &argv);
    if (argc > 0) drop_debug_options(argc, argv);
    std::setlocale(LC_ALL, locale.c_str());
}

void adopt_desktop_locale() {
    std::setlocale(LC_ALL, "");
}

}  // namespace vemo_ui::launch::detail
