#pragma once

#include <functional>
#include <string>

#include "vemo_ui/a11y.hpp"

using GtkWidget = struct _GtkWidget;

namespace vemo_ui {

using AccessTreeSource = std::function<a11y::AccessNode()>;
// Runs a semantic action ("activate") on the node with this id; true when it was handled.
using AccessActionSink = std::function<bool(std::string const& id, std::string const& action)>;
// Applies an edit to the text field with this id; true when it was handled.
using AccessTextSink = std::function<bool(std::string const& id, a11y::TextEdit const& edit)>;

// A drawing area whose accessible object exposes an AccessNode tree to assistive technology
// (through ATK and the AT-SPI bridge GTK carries). Everything is drawn procedurally, so the
// tree is the only way a screen reader learns what is on screen.
GtkWidget* vemo_drawing_area_new();

// Connects the tree and the action sink to a widget made by vemo_drawing_area_new (false for
// any other widget). The tree is read again after notify_accessibility_changed; actions run
// from the main loop, never inside the assistive technology's request.
bool install_accessibility(GtkWidget* drawing_area, AccessTreeSource tree, AccessActionSink perform,
                           AccessTextSink edit = {});
void notify_accessibility_changed(GtkWidget* drawing_area);

// Asks the screen reader to speak `text` without moving focus (ATK's announcement). False
// when the installed ATK cannot announce; live containers ("container-live") still work then.
bool announce_accessibility(GtkWidget* drawing_area, std::string const& text);

}  // namespace vemo_ui
