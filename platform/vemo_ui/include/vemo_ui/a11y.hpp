#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

struct AccessNode;

// The children of a node, used like a vector. Copies share one list until one of them is
// changed, so a build can hand over a long list it made before (thousands of message rows)
// without copying it, and comparing a list with a copy of itself costs nothing.
class NodeList {
  public:
    using value_type = AccessNode;
    using iterator = std::vector<AccessNode>::iterator;
    using const_iterator = std::vector<AccessNode>::const_iterator;

    NodeList() = default;
    NodeList(std::vector<AccessNode> nodes);  // NOLINT: a vector of nodes is a list of them
    NodeList& operator=(std::vector<AccessNode> nodes) {
        return *this = NodeList(std::move(nodes));
    }

    size_t size() const { return m_nodes ? m_nodes->size() : 0; }
    bool empty() const { return size() == 0; }
    const_iterator begin() const { return read().begin(); }
    const_iterator end() const { return read().end(); }
    AccessNode const& operator[](size_t i) const { return read()[i]; }
    AccessNode const& front() const { return read().front(); }
    AccessNode const& back() const { return read().back(); }
    operator std::vector<AccessNode> const&() const { return read(); }  // NOLINT

    // Changing the list (or taking a changeable element) first gives this copy a list of its own.
    iterator begin() { return write().begin(); }
    iterator end() { return write().end(); }
    AccessNode& operator[](size_t i) { return write()[i]; }
    AccessNode& front() { return write().front(); }
    AccessNode& back() { return write().back(); }
    void push_back(AccessNode node);
    template <typename... Args>
    AccessNode& emplace_back(Args&&... args);
    void reserve(size_t n) { write().reserve(n); }
    void clear() { m_nodes.reset(); }

    // Whether both are the same list, not merely alike.
    bool shares(NodeList const& other) const { return m_nodes && m_nodes == other.m_nodes; }
    friend bool operator==(NodeList const& a, NodeList const& b);

  private:
    std::vector<AccessNode> const& read() const;
    std::vector<AccessNode>& write();
    std::shared_ptr<std::vector<AccessNode>> m_nodes;  // null while empty
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
    NodeList children;
    // Non-zero when the builder vouches for the label, description and actions by this number
    // (from next_content_stamp): nodes with the same non-zero stamp hold the same ones, so
    // comparing two trees skips reading them. Whoever changes one of them clears the stamp.
    uint64_t content = 0;

    AccessNode with_children(std::vector<AccessNode> kids) && {
        children = std::move(kids);
        return std::move(*this);
    }
    AccessNode const* find(std::string_view wanted_id) const;
    size_t count() const;
    friend bool operator==(AccessNode const& a, AccessNode const& b);
};

inline NodeList::NodeList(std::vector<AccessNode> nodes) {
    if (!nodes.empty()) m_nodes = std::make_shared<std::vector<AccessNode>>(std::move(nodes));
}

inline std::vector<AccessNode> const& NodeList::read() const {
    static std::vector<AccessNode> const none;
    return m_nodes ? *m_nodes : none;
}

inline std::vector<AccessNode>& NodeList::write() {
    if (!m_nodes)
        m_nodes = std::make_shared<std::vector<AccessNode>>();
    else if (m_nodes.use_count() > 1)
        m_nodes = std::make_shared<std::vector<AccessNode>>(*m_nodes);
    return *m_nodes;
}

inline void NodeList::push_back(AccessNode node) {
    write().push_back(std::move(node));
}

template <typename... Args>
AccessNode& NodeList::emplace_back(Args&&... args) {
    return write().emplace_back(std::forward<Args>(args)...);
}

// A stamp no node has carried before in this process.
uint64_t next_content_stamp();

char const* role_name(Role role);

}  // namespace vemo_ui::a11y
