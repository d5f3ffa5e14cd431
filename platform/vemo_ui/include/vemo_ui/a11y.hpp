#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
    bool expandable = false;  // a disclosure control: `expanded` says which way it is
    bool offscreen = false;   // in the tree but scrolled out of view
    friend bool operator==(States const&, States const&) = default;
};

// A stretch of text drawn alike: [start, end) in Unicode scalar values and its attributes by
// their ATK names.
struct TextRun {
    int start = 0;
    int end = 0;
    std::vector<std::pair<std::string, std::string>> attributes;
    friend bool operator==(TextRun const&, TextRun const&) = default;
};

// What a text field holds. Offsets count Unicode scalar values, as assistive technology does.
struct TextContent {
    std::string text;
    int caret = 0;
    int selection_start = 0;  // equal to selection_end when nothing is selected
    int selection_end = 0;
    // Where each character is drawn, in window coordinates (one per scalar value; empty when
    // the field was not laid out), and the attributes of its text by their ATK names
    // ("family-name", "size", "weight", "style", "language", "direction").
    std::vector<Rect> character_rects;
    std::vector<std::pair<std::string, std::string>> attributes;
    // Where the font, language or direction changes (a fallback font, a right-to-left word):
    // the runs in order, covering the text; empty when it was not laid out.
    std::vector<TextRun> runs;
    friend bool operator==(TextContent const&, TextContent const&) = default;
};

// A change assistive technology asks of a text field: replace [start, end) with `text`, or,
// with `select_only`, select [start, end) and put the caret at `end`.
struct TextEdit {
    int start = 0;
    int end = 0;
    std::string text;
    bool select_only = false;
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
    std::optional<TextContent> text;   // set on editable text fields
    std::vector<std::string> actions;  // named actions offered besides "activate"
    std::string live;                  // "polite" on a container whose new items are spoken
    std::vector<AccessNode> children;

    AccessNode with_children(std::vector<AccessNode> kids) && {
        children = std::move(kids);
        return std::move(*this);
    }
    AccessNode const* find(std::string_view wanted_id) const;
    size_t count() const;
    friend bool operator==(AccessNode const&, AccessNode const&) = default;
};

char const* role_name(Role role);

}  // namespace vemo_ui::a11y
