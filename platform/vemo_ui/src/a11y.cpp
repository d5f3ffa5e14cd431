#include "vemo_ui/a11y.hpp"

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
