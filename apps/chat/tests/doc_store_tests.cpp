// The chat's document lives in "workspace.automerge" in its data directory and what a first
// start writes there is found again on the next.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "doc/store_opener.hpp"
#include "model/readers.hpp"

namespace chat {
namespace {

namespace fs = std::filesystem;

TEST(DocumentStore, AFirstInteractiveStartSeedsHomeAndTheNextFindsIt) {
    auto dir = fs::temp_directory_path() / ("chat-store-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    ::setenv("VEMO_CHAT_DATA", dir.c_str(), 1);
    doc::LocalPerson const local{"u_local", "Ann", "A", 1, Presence::Online};
    {
        auto store = open_document_store("so.vemo.chat", {});
        ASSERT_TRUE(store) << store.error();
        EXPECT_EQ((*store)->path(), dir / "workspace.automerge");
        doc::seed_for_frame((*store)->document(), true, false, local);
        (*store)->commit_frame();
        ASSERT_TRUE((*store)->flush());
    }
    {
        auto store = open_document_store("so.vemo.chat", {});
        ASSERT_TRUE(store) << store.error();
        auto& document = (*store)->document();
        EXPECT_TRUE(doc::is_seeded(document));
        EXPECT_EQ(model::read_workspaces(document).at(0).name, "My Workspace");
        // Seeding again on the loaded document changes nothing.
        doc::seed_for_frame(document, true, false, local);
        EXPECT_EQ(document.pending_ops(), 0u);
    }
    ::unsetenv("VEMO_CHAT_DATA");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace chat
