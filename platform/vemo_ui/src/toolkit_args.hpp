#pragma once

#include <string>

namespace vemo_ui::launch::detail {

// Takes the toolkit's own options (--display, --class, --name, --gtk-debug...) out of the
// command line, as every GTK program accepts them, and leaves the rest for our parser. Opens
// no display. The process keeps its locale: only the window adopts the desktop's.
void take_toolkit_args(int& argc, char**& argv, std::string const& app_id);

// The desktop's locale, as GTK would set it when it starts a window.
void adopt_desktop_locale();

}  // namespace vemo_ui::launch::detail
