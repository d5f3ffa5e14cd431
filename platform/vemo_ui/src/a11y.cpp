#include "vemo_ui/a11y.hpp"

#include <atomic>

namespace vemo_ui::a11y {

AccessNode const* AccessNode::find(std::string_view wanted_id) const
{
    if (id == wanted_id) return this;
    for (auto const& c : children)
        if (auto const* hit = c.find(wanted_id)) return hit;
    return nullptr;
}

size_t AccessNode::count() const
{
    size_t n = 1;
    for (auto const& c : children) n += c.count();
    return n;
}

bool operator==(NodeList const& a, NodeList const& b)
{
    return a.m_nodes == b.m_nodes || a.read() == b.read();
}

bool operator==(AccessNode const& a, AccessNode const& b)
{
    if (a.role != b.role || a.rect != b.rect || a.states != b.states || a.id != b.id ||
        a.live != b.live || a.text != b.text || a.children != b.children)
        return false;
    // A long list's rows are mostly the rows of the tree before: their stamps say so.
    if (a.content != 0 && a.content == b.content) return true;
    return a.label == b.label && a.description == b.description && a.actions == b.actions;
}

uint64_t next_content_stamp()
{
    static std::atomic<uint64_t> last{0};
    return ++last;
}

char const* role_name(Role role)
{
    switch (role) {
    case Role::Window: return "window";
    case Role::Group: return "group";
    case Role::List: return "list";
    case Role::ListItem: return "list-item";
    case Role::Button: return "button";
    case Role::ToggleButton: return "toggle-button";
    case Role::Link: return "link";
    case Role::Heading: return "heading";
    case Role::Label: return "label";
    case Role::TextInput: return "text-input";
    case Role::Menu: return "menu";
    case Role::MenuItem: return "menu-item";
    case Role::Image: return "image";
    case Role::Tab: return "tab";
    case Role::Dialog: return "dialog";
    case Role::Status: return "status";
    }
    return "group";
}

}  // namespace vemo_ui::a11y
