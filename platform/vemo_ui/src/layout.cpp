#include "vemo_ui/layout.hpp"

#include <algorithm>
#include <unordered_set>

namespace vemo_ui {

std::optional<Rect> Layout::rect_of(std::string const& id) const
{
    auto it = m_rects.find(id);
    if (it == m_rects.end()) return std::nullopt;
    return it->second;
}

namespace {

struct Placer {
    Layout layout;
    std::unordered_set<std::string> seen;
    std::optional<LayoutError> error;

    void place(LayoutNode const& node, Rect r)
    {
        if (error) return;
        if (node.id.empty()) {
            error = LayoutError{"layout node without an id"};
            return;
        }
        if (!seen.insert(node.id).second) {
            error = LayoutError{"duplicate layout node id '" + node.id + "'"};
            return;
        }
        if (node.extent < 0 || node.padding < 0 || node.gap < 0) {
            error = LayoutError{"negative extent in layout node '" + node.id + "'"};
            return;
        }
        layout.set(node.id, r);
        place_children(node, r.inset(node.padding));
    }

    void place_children(LayoutNode const& node, Rect inner)
    {
        if (node.children.empty()) return;
        bool horizontal = node.axis == LayoutNode::Axis::Horizontal;
        double total = horizontal ? inner.width : inner.height;
        double fixed = node.gap * double(node.children.size() - 1);
        size_t fills = 0;
        for (auto const& c : node.children) {
            if (c.sizing == LayoutNode::Sizing::Fixed)
                fixed += c.extent;
            else
                ++fills;
        }
        double each_fill = fills ? std::max(0.0, total - fixed) / double(fills) : 0;
        double pos = horizontal ? inner.x : inner.y;
        for (auto const& c : node.children) {
            double extent = c.sizing == LayoutNode::Sizing::Fixed ? c.extent : each_fill;
            Rect r = horizontal ? Rect{pos, inner.y, extent, inner.height}
                                : Rect{inner.x, pos, inner.width, extent};
            place(c, r);
            pos += extent + node.gap;
        }
    }
};

}  // namespace

std::expected<Layout, LayoutError> compute_layout(LayoutNode const& root, Size size)
{
    Placer p;
    p.place(root, Rect{0, 0, std::max(0.0, size.width), std::max(0.0, size.height)});
    if (p.error) return std::unexpected(*p.error);
    return std::move(p.layout);
}

}  // namespace vemo_ui
