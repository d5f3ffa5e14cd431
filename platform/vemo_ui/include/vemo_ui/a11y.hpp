#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vemo_ui/geometry.hpp"

namespace vemo_ui::a11y {

enum class Role : uint8_t {
    Window,
    Group,
    List,
    ListItem,
    Button,
    ToggleButton,
    Link,
    Heading,
    Label,
    TextInput,
    Menu,
    MenuItem,
    Image,
    Tab,
    Dialog,
    Status,
};

struct States {
    bool pressed = false;
    bool selected = false;
    bool expanded = false;
    bool focused = false;
    bool disabled = false;
    friend bool operator==(States const&, States const&) = default;
};

// One node of the tree offered to assistive technology and automation. `id` is the
// semantic identifier actions are performed on.
struct AccessNode {
    Role role = Role::Group;
    std::string id;
    std::string label;
    std::string description;
    Rect rect;
    States states;
    std::vector<AccessNode> children;

    AccessNode with_children(std::vector<AccessNode> kids) &&
    {
        children = std::move(kids);
        return std::move(*this);
    }
    AccessNode const* find(std::string_view wanted_id) const;
    size_t count() const;
};

char const* role_name(Role role);

}  // namespace vemo_ui::a11y
