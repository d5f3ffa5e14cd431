#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "vemo_ui/access_refresh.hpp"

using namespace vemo_ui;
using a11y::AccessNode;
using a11y::AccessRefresh;

namespace {

AccessRefresh::Frame steady() {
    AccessRefresh::Frame f;
    f.document_changes = 10;
    f.size = {1280, 800};
    return f;
}

// After a first frame, one more frame changed by `change`: does it build the tree again, and
// does the frame after it (with nothing new) build it again?
struct RebuildCase {
    char const* name;
    std::function<void(AccessRefresh&, AccessRefresh::Frame&)> change;
    bool rebuilds;
    bool rebuilds_after;
};

}  // namespace

TEST(AccessRefresh, BuildsTheTreeAgainOnlyWhenSomethingItDependsOnChanged) {
    using F = AccessRefresh::Frame;
    std::vector<RebuildCase> cases = {
        {"nothing", [](AccessRefresh&, F&) {}, false, false},
        {"input", [](AccessRefresh& r, F&) { r.invalidate(); }, true, false},
        {"new_change", [](AccessRefresh&, F& f) { ++f.document_changes; }, true, false},
        {"uncommitted_ops", [](AccessRefresh&, F& f) { f.pending_ops = 3; }, true, false},
        {"resized", [](AccessRefresh&, F& f) { f.size.width = 900; }, true, false},
        {"rescaled", [](AccessRefresh&, F& f) { f.scale = 2; }, true, false},
        {"layout_changed", [](AccessRefresh&, F& f) { f.layout_changed = true; }, true, false},
        // The frame after the animation's last holds its final geometry.
        {"controls_moving", [](AccessRefresh&, F& f) { f.controls_moving = true; }, true, true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        AccessRefresh refresh;
        F frame = steady();
        EXPECT_TRUE(refresh.needs_rebuild(frame)) << "the first frame builds the tree";
        EXPECT_FALSE(refresh.needs_rebuild(frame));
        c.change(refresh, frame);
        EXPECT_EQ(refresh.needs_rebuild(frame), c.rebuilds);
        frame.layout_changed = false;
        frame.controls_moving = false;
        EXPECT_EQ(refresh.needs_rebuild(frame), c.rebuilds_after);
        EXPECT_FALSE(refresh.needs_rebuild(frame));
    }
}

TEST(AccessRefresh, OffersATreeOnlyWhenItDiffers) {
    AccessRefresh refresh;
    AccessNode root;
    root.label = "Chat";
    EXPECT_TRUE(refresh.offer(root)) << "the first tree, even an empty one";
    EXPECT_FALSE(refresh.offer(root));

    AccessNode row;
    row.role = a11y::Role::ListItem;
    row.id = "message:m1";
    row.rect = {10, 20, 300, 40};
    root.children.push_back(row);
    EXPECT_TRUE(refresh.offer(root));
    EXPECT_EQ(refresh.tree().children.size(), 1u);

    // Each kind of change deep in the tree counts: geometry, state, text, caret, actions.
    std::vector<std::function<void(AccessNode&)>> changes = {
        [](AccessNode& n) { n.rect.y += 1; },
        [](AccessNode& n) { n.states.focused = true; },
        [](AccessNode& n) { n.label = "edited"; },
        [](AccessNode& n) {
            n.text.emplace();
            n.text->text = "hi";
            n.text->caret = 2;
        },
        [](AccessNode& n) { n.actions.push_back("react"); },
        [](AccessNode& n) { n.states.offscreen = true; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        AccessNode next = refresh.tree();
        changes[i](next.children[0]);
        EXPECT_TRUE(refresh.offer(next));
        EXPECT_FALSE(refresh.offer(next));
    }
}

// A row's content stamp stands for its label, description and actions only: whatever else
// changes still counts, and rows made again with the same strings are still the same rows.
TEST(AccessRefresh, ContentStampsSkipOnlyWhatTheyVouchFor) {
    auto stamped_list = [](uint64_t stamp) {
        AccessNode root;
        AccessNode row;
        row.role = a11y::Role::ListItem;
        row.id = "message:m1";
        row.label = "Elin, 10:42: hello";
        row.actions = {"reply", "menu"};
        row.rect = {10, 20, 300, 40};
        row.content = stamp;
        root.children.push_back(row);
        return root;
    };
    uint64_t stamp = a11y::next_content_stamp();
    EXPECT_NE(stamp, 0u);
    EXPECT_NE(a11y::next_content_stamp(), stamp) << "each stamp once";

    struct Case {
        char const* name;
        std::function<void(AccessNode&)> change;
        bool differs;
    };
    std::vector<Case> const cases = {
        {"same_stamp", [](AccessNode&) {}, false},
        {"made_again_alike", [](AccessNode& n) { n.content = a11y::next_content_stamp(); }, false},
        {"made_again_unstamped", [](AccessNode& n) { n.content = 0; }, false},
        {"made_again_with_new_label",
         [](AccessNode& n) {
             n.label += ", edited";
             n.content = a11y::next_content_stamp();
         },
         true},
        {"unstamped_new_label",
         [](AccessNode& n) {
             n.label += ", pinned";
             n.content = 0;
         },
         true},
        {"scrolled", [](AccessNode& n) { n.rect.y -= 200; }, true},
        {"offscreen", [](AccessNode& n) { n.states.offscreen = true; }, true},
        {"focused", [](AccessNode& n) { n.states.focused = true; }, true},
        {"other_message", [](AccessNode& n) { n.id = "message:m2"; }, true},
        {"child_added", [](AccessNode& n) { n.children.emplace_back(); }, true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        AccessRefresh refresh;
        ASSERT_TRUE(refresh.offer(stamped_list(stamp)));
        AccessNode next = stamped_list(stamp);
        c.change(next.children[0]);
        EXPECT_EQ(refresh.offer(next), c.differs);
    }
}

// Copies of a list share it until one is changed; the others keep what they had.
TEST(NodeList, CopiesShareUntilOneIsChanged) {
    AccessNode a;
    a.id = "a";
    a11y::NodeList const first = std::vector<AccessNode>{a, a};
    a11y::NodeList second = first;
    EXPECT_TRUE(second.shares(first));
    EXPECT_EQ(second, first);
    struct Case {
        char const* name;
        std::function<void(a11y::NodeList&)> change;
        size_t size;
    };
    std::vector<Case> const cases = {
        {"element_changed", [](a11y::NodeList& l) { l[1].id = "b"; }, 2},
        {"iterated_to_change",
         [](a11y::NodeList& l) {
             for (auto& n : l) n.label = "x";
         },
         2},
        {"appended", [](a11y::NodeList& l) { l.emplace_back().id = "c"; }, 3},
        {"cleared", [](a11y::NodeList& l) { l.clear(); }, 0},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        a11y::NodeList copy = first;
        c.change(copy);
        EXPECT_FALSE(copy.shares(first));
        EXPECT_NE(copy, first);
        EXPECT_EQ(copy.size(), c.size);
        ASSERT_EQ(first.size(), 2u);
        EXPECT_EQ(first[1].id, "a");
        EXPECT_EQ(first[1].label, "");
    }
    EXPECT_EQ(a11y::NodeList{}, a11y::NodeList(std::vector<AccessNode>{})) << "empty is empty";
}
