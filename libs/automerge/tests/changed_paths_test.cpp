#include <gtest/gtest.h>

#include <automerge/automerge.hpp>

namespace automerge {
namespace {

using Paths = std::vector<std::vector<Prop>>;

// A root map "chat" holding a list "log" of two maps, each with a "text" key.
struct Fixture {
    AutoCommit doc;
    ObjId chat, log, first, second;
    std::vector<ChangeHash> base;

    Fixture() {
        chat = *doc.put_object(ObjId::root(), "chat", ObjType::Map);
        log = *doc.put_object(chat, "log", ObjType::List);
        first = *doc.insert_object(log, 0, ObjType::Map);
        second = *doc.insert_object(log, 1, ObjType::Map);
        (void)doc.put(first, "text", std::string("a"));
        (void)doc.put(second, "text", std::string("b"));
        base = doc.get_heads();
    }
};

TEST(ChangedPaths, NamesTheKeysAndSequencesWrittenSince) {
    Fixture f;
    EXPECT_EQ(*f.doc.changed_paths(f.base), Paths{});
    (void)f.doc.put(f.second, "text", std::string("B"));
    (void)f.doc.put(f.chat, "title", std::string("t"));
    EXPECT_EQ(*f.doc.changed_paths(f.base),
              (Paths{{"chat", "log", size_t(1), "text"}, {"chat", "title"}}));

    auto after_put = f.doc.get_heads();
    (void)f.doc.remove(f.log, size_t(0));  // a delete names the list, and moves the index
    (void)f.doc.put(f.second, "seen", true);
    EXPECT_EQ(*f.doc.changed_paths(after_put),
              (Paths{{"chat", "log"}, {"chat", "log", size_t(0), "seen"}}));
}

TEST(ChangedPaths, LeavesOutObjectsNoLongerReachableAndRefusesUnknownHeads) {
    Fixture f;
    AutoCommit peer = f.doc.fork();
    (void)peer.put(f.first, "text", std::string("edited by a peer"));
    (void)f.doc.remove(f.log, size_t(0));
    f.doc.commit();
    auto before_merge = f.doc.get_heads();
    ASSERT_TRUE(f.doc.merge(peer));
    // The peer edited a map this document had deleted: nothing a reader can see changed.
    EXPECT_EQ(*f.doc.changed_paths(before_merge), Paths{});

    ChangeHash unknown;
    unknown.bytes[0] = 1;
    std::vector<ChangeHash> since{unknown};
    EXPECT_FALSE(f.doc.changed_paths(since));
}

}  // namespace
}  // namespace automerge
