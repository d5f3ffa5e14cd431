#pragma once

#include <cstddef>

#include "vemo_ui/a11y.hpp"
#include "vemo_ui/geometry.hpp"

namespace vemo_ui::a11y {

// Decides when a window builds its accessibility tree again. Building it walks every loaded
// row, so a frame that changed nothing assistive technology can see (a waiting tooltip, a new
// call picture) keeps the tree it has. After input, a document change, a new size or scale,
// a changed layout, or a frame of an animation that moves controls (and the frame after it
// ends), the tree is built again right after the draw; it is offered to assistive technology
// only when it differs from the one it has.
class AccessRefresh {
  public:
    // What the tree may depend on besides input, as it stands after a draw.
    struct Frame {
        size_t document_changes = 0;  // changes in the document's history
        size_t pending_ops = 0;       // operations not yet committed
        Size size;
        double scale = 1;
        bool layout_changed = false;
        bool controls_moving = false;  // an animation that moves or changes controls runs
    };

    // Input or an action reached the widget: the next draw builds the tree again.
    void invalidate() { m_stale = true; }
    // After a draw: whether the tree must be built now. Remembers `now` for the next frame.
    bool needs_rebuild(Frame const& now);
    // Takes a freshly built tree; true when it differs from the one offered before (the
    // first tree always does).
    bool offer(AccessNode tree);
    AccessNode const& tree() const { return m_tree; }

  private:
    AccessNode m_tree;
    Frame m_last;
    bool m_stale = true;
    bool m_offered = false;
};

}  // namespace vemo_ui::a11y
