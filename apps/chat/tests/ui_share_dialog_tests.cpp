// The invite/join dialogue over a real store and sharing endpoint (loopback only): it opens
// from the workspace header's menu, takes a pasted invite in its own field, and says why a
// join cannot start.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "ui_test_support.hpp"
#include "vemo_ui/persist.hpp"
#include "vemo_ui/share/sharing.hpp"

namespace chat {
namespace {

namespace fs = std::filesystem;
using test::Window;
using vemo_ui::Key;

class ShareDialog : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/chat-share-dialog-XXXXXX";
        dir = mkdtemp(tmpl);
        store = std::move(
            vemo_ui::persist::open_migrating("chat.test", {}, dir / "workspace.automerge").value());
        vemo_ui::share::Options options;
        options.person_id = "u_me";
        options.device_name = "test";
        options.loopback_only = true;
        auto started = vemo_ui::share::Sharing::start(*store, options);
        ASSERT_TRUE(started) << started.error();
        sharing = std::move(*started);
        w.sharing = sharing.get();
        w.run();
    }
    void TearDown() override {
        sharing.reset();
        store.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void type(std::string const& text) {
        w.app.handle_event(vemo_ui::TextEvent{text});
        w.run();
    }

    std::string note() const {
        auto texts = w.app.share_dialog_texts();
        return texts ? texts->second : std::string();
    }

    fs::path dir;
    std::unique_ptr<vemo_ui::persist::DocumentStore> store;
    std::unique_ptr<vemo_ui::share::Sharing> sharing;
    Window w;
};

TEST_F(ShareDialog, OpensFromTheWorkspaceMenuAndJoinsWithThePastedInvite) {
    w.app.open_context_menu({ChatApp::MenuKind::Workspace, w.app.navigation().workspace_id, ""},
                            {200, 120});
    w.run();
    ASSERT_TRUE(w.app.perform_semantic_action("context-menu:item:1", "activate"))
        << "Invite people… follows New category";
    w.run();
    auto texts = w.app.share_dialog_texts();
    ASSERT_TRUE(texts);
    EXPECT_TRUE(texts->first.starts_with("vemo-invite:")) << texts->first;
    ASSERT_TRUE(w.find("chat.share-join"));
    // The field has the keyboard, not the composer behind the dialogue.
    EXPECT_TRUE(w.app.invite_input().is_focused());
    EXPECT_FALSE(w.app.main_composer().is_focused());

    struct Case {
        std::string typed;
        char const* note;
    };
    for (auto const& c : {Case{"", "Paste the invite"}, Case{"not an invite", "Cannot join"},
                          Case{"  " + texts->first + "\n", "comes from this device"}}) {
        SCOPED_TRACE(c.typed);
        w.app.invite_input().set_text("");
        if (!c.typed.empty()) type(c.typed);
        w.app.handle_event(test::key(Key::Enter));
        w.run();
        EXPECT_NE(note().find(c.note), std::string::npos) << note();
    }
    // The Join button does what Enter does.
    w.app.invite_input().set_text("");
    type("vemo-invite:garbage");
    w.app.activate({HitKind::ShareJoin});
    EXPECT_NE(note().find("Cannot join"), std::string::npos) << note();
    EXPECT_EQ(sharing->join_state(), vemo_ui::share::JoinState::None);

    w.app.handle_event(test::key(Key::Escape));
    w.run();
    EXPECT_FALSE(w.app.share_dialog_texts());
    EXPECT_TRUE(w.app.main_composer().is_focused());
}

TEST_F(ShareDialog, WorkspaceMenuOffersJoiningToo) {
    w.app.open_context_menu({ChatApp::MenuKind::Workspace, w.app.navigation().workspace_id, ""},
                            {200, 120});
    w.run();
    ASSERT_TRUE(w.app.perform_semantic_action("context-menu:item:2", "activate"));
    w.run();
    EXPECT_TRUE(w.app.share_dialog_texts());
    EXPECT_TRUE(w.app.invite_input().is_focused());
    if (char const* out = std::getenv("CHAT_SHARE_DIALOG_PNG")) (void)w.frame.write_png(out);
}

}  // namespace
}  // namespace chat
