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
