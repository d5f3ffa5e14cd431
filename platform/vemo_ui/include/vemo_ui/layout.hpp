#pragma once

#include <expected>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vemo_ui/geometry.hpp"

namespace vemo_ui {

// A declarative layout node. A node either fills the room its parent gives it along the
// parent's axis, or asks for a fixed extent; children are stacked along `axis`.
struct LayoutNode {
    enum class Axis : uint8_t { Horizontal, Vertical };
    enum class Sizing : uint8_t { Fill, Fixed };

    std::string id;
    Sizing sizing = Sizing::Fill;
    double extent = 0;  // for Fixed: width (horizontal parent) or height (vertical parent)
    Axis axis = Axis::Vertical;
    double padding = 0;
    double gap = 0;
    std::vector<LayoutNode> children;

    static LayoutNode fill(std::string id)
    {
        LayoutNode n;
        n.id = std::move(id);
        return n;
    }
    static LayoutNode fixed(std::string id, double extent)
    {
        LayoutNode n;
        n.id = std::move(id);
        n.sizing = Sizing::Fixed;
        n.extent = extent;
        return n;
    }
};

struct LayoutError {
    std::string message;
};

// The placed result: every node's rectangle relative to the layout's origin.
class Layout {
public:
    std::optional<Rect> rect_of(std::string const& id) const;
    void set(std::string const& id, Rect const& r) { m_rects[id] = r; }
    size_t size() const { return m_rects.size(); }

private:
    std::unordered_map<std::string, Rect> m_rects;
};

// Places `root` at (0, 0) with the given size. Fails on duplicate or empty ids and on
// negative extents, the mistakes that would otherwise lay out silently wrong.
std::expected<Layout, LayoutError> compute_layout(LayoutNode const& root, Size size);

}  // namespace vemo_ui
