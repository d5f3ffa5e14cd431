#pragma once

#include "vemo_ui/theme.hpp"

typedef struct _GtkWidget GtkWidget;

namespace vemo_ui::launch::detail {

// The desktop's light or dark preference: the settings portal's colour scheme, else GTK's
// prefer-dark setting and a theme name ending in "-dark"; a choice the application made
// (desktop::set_theme_preference) wins over both. Changes repaint `window`.
void follow_desktop_theme(GtkWidget* window);

// The theme the window paints with right now.
Theme const& window_theme();

}  // namespace vemo_ui::launch::detail
