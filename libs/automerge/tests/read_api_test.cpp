#include <gtest/gtest.h>

#include "test_util.hpp"

namespace automerge {
namespace {

ActorId actor(std::string_view hex) {
    return *ActorId::from_hex(hex);
}

// A record with one value of every kind, and a list of two records.
struct Fixture {
    AutoCommit doc{actor("aa")};
    ObjId record, list, body;
    Fixture() {
        record = *doc.put_object(ObjId::root(), "record", ObjType::Map);
        (void)doc.put(record, "str", std::string("hello"));
        (void)doc.put(record, "int", int64_t{-5});
        (void)doc.put(record, "uint", uint64_t{7});
        (void)doc.put(record, "f64", 2.5);
        (void)doc.put(record, "bool", true);
        (void)doc.put(record, "time", Timestamp{1700000000000});
        (void)doc.put(record, "bytes", std::vector<uint8_t>{1, 2, 3});
        (void)doc.put(record, "null", ScalarValue{});
        (void)doc.put(record, "count", Counter{10});
        (void)doc.increment(record, "count", 5);
        body = *doc.put_object(record, "body", ObjType::Text);
        (void)doc.splice_text(body, 0, 0, "héllo");
        list = *doc.put_object(ObjId::root(), "list", ObjType::List);
        (void)doc.insert(list, 0, int64_t{1});
        (void)doc.insert(list, 1, std::string("two"));
        (void)doc.insert_object(list, 2, ObjType::Map);
        doc.commit();
    }
};

TEST(ReadApi, TypedAccessorsMatchGet) {
    Fixture f;
    auto h = f.doc.handle(f.record);
    ASSERT_TRUE(h);
    EXPECT_EQ(f.doc.obj_id(*h), f.record);
    EXPECT_EQ(f.doc.object_type(*h), ObjType::Map);
    auto read = [&](std::string_view key) { return *f.doc.read(*h, key); };
    EXPECT_EQ(read("str").as_string(), "hello");
    EXPECT_EQ(read("str").as_int(), std::nullopt);
    EXPECT_EQ(read("int").as_int(), -5);
    EXPECT_EQ(read("int").as_uint(), std::nullopt);
    EXPECT_EQ(read("uint").as_uint(), 7u);
    EXPECT_EQ(read("uint").as_int(), 7);
    EXPECT_EQ(read("f64").as_f64(), 2.5);
    EXPECT_EQ(read("bool").as_bool(), true);
    EXPECT_EQ(read("time").as_timestamp(), 1700000000000);
    EXPECT_EQ(read("bytes").as_bytes()->size(), 3u);
    EXPECT_TRUE(read("null").is_null());
    EXPECT_EQ(read("count").as_int(), 15);
    EXPECT_EQ(read("count").scalar(), ScalarValue{Counter{15}});
    EXPECT_FALSE(f.doc.read(*h, "missing"));
    // Every scalar reads the same as through get().
    for (auto const& field : f.doc.read_map(*h)) {
        auto v = f.doc.get(f.record, std::string(field.key));
        ASSERT_TRUE(v && *v) << field.key;
        if (field.value.is_object()) {
            EXPECT_EQ(f.doc.obj_id(*field.value.object()), (*v)->second);
            EXPECT_EQ(std::get<ObjType>((*v)->first), field.value.object_type());
        } else {
            EXPECT_EQ(std::get<ScalarValue>((*v)->first), field.value.scalar()) << field.key;
        }
    }
}

TEST(ReadApi, RecordsListsAndTexts) {
    Fixture f;
    auto h = *f.doc.handle(f.record);
    auto fields = f.doc.read_map(h);
    std::vector<std::string> keys;
    for (auto const& field : fields) keys.emplace_back(field.key);
    EXPECT_EQ(keys, f.doc.keys(f.record));

    auto body = *f.doc.read(h, "body");
    ASSERT_EQ(body.object_type(), ObjType::Text);
    EXPECT_EQ(f.doc.text(*body.object()), "héllo");
    EXPECT_EQ(f.doc.length(*body.object()), 5u);
    // The cached text follows edits.
    (void)f.doc.splice_text(f.body, 1, 1, "e");
    EXPECT_EQ(f.doc.text(*body.object()), "hello");

    auto list = *f.doc.handle(f.list);
    auto items = f.doc.read_list(list);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].as_int(), 1);
    EXPECT_EQ(items[1].as_string(), "two");
    EXPECT_EQ(items[2].object_type(), ObjType::Map);
    EXPECT_EQ(f.doc.read(list, 1)->as_string(), "two");
    EXPECT_FALSE(f.doc.read(list, 3));
    (void)f.doc.remove(f.list, size_t{0});
    EXPECT_EQ(f.doc.read(list, 0)->as_string(), "two");
    EXPECT_EQ(f.doc.length(list), 2u);
}

TEST(ReadApi, WrongKindsAndForeignHandlesReadNothing) {
    Fixture f;
    auto list = *f.doc.handle(f.list);
    auto record = *f.doc.handle(f.record);
    EXPECT_FALSE(f.doc.read(list, "key"));
    EXPECT_FALSE(f.doc.read(record, 0));
    EXPECT_TRUE(f.doc.read_map(list).empty());
    EXPECT_TRUE(f.doc.read_list(record).empty());
    EXPECT_EQ(f.doc.text(record), "");
    EXPECT_FALSE(f.doc.handle(ObjId(999, actor("aa"))));
    AutoCommit empty;
    EXPECT_FALSE(empty.read(record, "str"));
    EXPECT_FALSE(empty.object_type(record));
    EXPECT_EQ(empty.length(list), 0u);
}

TEST(ReadApi, HandlesSurviveSaveLoadAndFork) {
    Fixture f;
    auto loaded = *AutoCommit::load(f.doc.save());
    auto h = *loaded.handle(f.record);
    EXPECT_EQ(loaded.read(h, "str")->as_string(), "hello");
    auto copy = loaded.fork();
    EXPECT_EQ(copy.read(h, "count")->as_int(), 15);
}

TEST(ReadApi, ObjectsChangedSinceHeads) {
    Fixture f;
    auto heads = f.doc.get_heads();
    EXPECT_TRUE(f.doc.objects_changed_since(heads).empty());
    AutoCommit peer = f.doc.fork();
    peer.set_actor(actor("bb"));
    (void)peer.splice_text(f.body, 0, 1, "H");
    (void)peer.remove(f.list, size_t{1});
    (void)f.doc.merge(peer);
    auto changed = f.doc.objects_changed_since(heads);
    std::vector<ObjId> ids;
    for (auto h : changed) ids.push_back(f.doc.obj_id(h));
    std::sort(ids.begin(), ids.end());
    std::vector<ObjId> want{f.list, f.body};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(ids, want);
    // From the start: every object that holds an op (the empty map in the list holds none).
    EXPECT_EQ(f.doc.objects_changed_since({}).size(), 4u);
}

}  // namespace
}  // namespace automerge
