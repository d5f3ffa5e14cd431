#pragma once

#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;

namespace vemo_ui::detail {
class AppSession;
}

namespace vemo_ui::launch::detail {

// Lets files be dropped onto the window (a "text/uri-list" from the file manager); the
// session's widget receives them as local paths.
void accept_file_drops(GtkWidget* window, vemo_ui::detail::AppSession& session);

// The local files a "text/uri-list" names, in order; other schemes and malformed lines are
// left out.
std::vector<std::string> local_paths_of_uri_list(std::string const& uri_list);

}  // namespace vemo_ui::launch::detail
