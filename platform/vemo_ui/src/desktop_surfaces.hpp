#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vemo_ui/event.hpp"
#include "vemo_ui/widget.hpp"

using GtkWidget = struct _GtkWidget;

namespace vemo_ui {
class TextRenderer;
struct Theme;
}  // namespace vemo_ui

namespace vemo_ui::launch::detail {

// Shows the widget's desktop surfaces as top-level windows of their own beside the main
// window: undecorated, kept above, titled and grouped as the widget describes them. Each is
// drawn by the widget in main-window coordinates and sends its pointer input back the same way,
// so a control works alike wherever the panel is.
class DesktopSurfaceHost {
  public:
    using Deliver = std::function<void(Event const&)>;
    using Changed = std::function<void()>;

    // `deliver` hands an event to the widget as the main window would; `changed` tells the
    // host that the widget changed outside an event (commit, redraw).
    DesktopSurfaceHost(GtkWidget* main_area, Widget& widget, TextRenderer& text, Theme const& theme,
                       Deliver deliver, Changed changed);
    ~DesktopSurfaceHost();
    DesktopSurfaceHost(DesktopSurfaceHost const&) = delete;
    DesktopSurfaceHost& operator=(DesktopSurfaceHost const&) = delete;

    // After every frame of the main window: opens, moves, redraws and closes the windows so they
    // match the widget's surfaces.
    void sync();

    struct Surface;

  private:
    GtkWidget* m_main_area;
    Widget& m_widget;
    TextRenderer& m_text;
    Theme const& m_theme;
    Deliver m_deliver;
    Changed m_changed;
    std::vector<std::unique_ptr<Surface>> m_surfaces;
    std::optional<Point> m_main_origin;  // where the main window was at the last sync
};

}  // namespace vemo_ui::launch::detail
