#include "vemo_ui/access_refresh.hpp"

#include <utility>

namespace vemo_ui::a11y {

bool AccessRefresh::needs_rebuild(Frame const& now) {
    bool rebuild = m_stale || now.document_changes != m_last.document_changes ||
                   now.pending_ops != m_last.pending_ops || now.size != m_last.size ||
                   now.scale != m_last.scale || now.layout_changed || now.controls_moving ||
                   // The frame an animation ends in holds its final geometry.
                   m_last.controls_moving;
    m_last = now;
    m_stale = false;
    return rebuild;
}

bool AccessRefresh::offer(AccessNode tree) {
    if (m_offered && tree == m_tree) return false;
    m_tree = std::move(tree);
    m_offered = true;
    return true;
}

}  // namespace vemo_ui::a11y
