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

// Keys written in any order read back in byte order, each with its winning value, the same
// through every read path, after merges in either direction and after a save and load.
TEST(ReadApi, MapKeysInByteOrderThroughEveryPath) {
    std::vector<std::string> const keys{"m", "", "ab", "a", "z", "\xc3\xa9t\xc3\xa9", "b", "aa"};
    AutoCommit a{actor("aa")};
    auto rec = *a.put_object(ObjId::root(), "rec", ObjType::Map);
    for (size_t i = 0; i < keys.size(); ++i) (void)a.put(rec, keys[i], int64_t(i));
    a.commit();
    AutoCommit b = a.fork();
    b.set_actor(actor("bb"));
    (void)a.put(rec, "a", std::string("from a"));  // concurrent: the greater actor wins
    (void)b.put(rec, "a", std::string("from b"));
    (void)a.remove(rec, std::string("z"));
    (void)b.put(rec, "new", true);
    (void)a.put(rec, "m", int64_t{100});  // overwritten twice by one actor
    (void)a.put(rec, "m", int64_t{101});
    a.commit();
    b.commit();
    AutoCommit ab = a.fork();
    (void)ab.merge(b);
    AutoCommit ba = b.fork();
    (void)ba.merge(a);
    auto loaded = *AutoCommit::load(ab.save());
    std::vector<std::string> want{"", "a", "aa", "ab", "b", "m", "new", "\xc3\xa9t\xc3\xa9"};

    for (AutoCommit* doc : {&ab, &ba, &loaded}) {
        auto h = *doc->handle(rec);
        std::vector<std::string> seen;
        std::vector<ScalarValue> values;
        doc->for_each_field(h, [&](std::string_view key, ValueRef const& value) {
            seen.emplace_back(key);
            values.push_back(value.scalar());
        });
        EXPECT_EQ(seen, want);
        EXPECT_EQ(doc->keys(rec), want);
        EXPECT_EQ(doc->length(h), want.size());
        auto fields = doc->read_map(h);
        ASSERT_EQ(fields.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(fields[i].key, want[i]);
            EXPECT_EQ(fields[i].value.scalar(), values[i]) << want[i];
            EXPECT_EQ(doc->read(h, want[i])->scalar(), values[i]) << want[i];
            auto got = doc->get(rec, want[i]);
            EXPECT_EQ(std::get<ScalarValue>((*got)->first), values[i]) << want[i];
        }
        EXPECT_EQ(doc->read(h, "a")->as_string(), "from b");
        EXPECT_EQ(doc->read(h, "m")->as_int(), 101);
        EXPECT_FALSE(doc->read(h, "z"));
        EXPECT_FALSE(doc->read(h, "zz"));
        EXPECT_EQ(doc->get_all(rec, std::string("a"))->size(), 2u);
    }
    EXPECT_EQ(loaded.save(), ab.save());
    EXPECT_EQ(test::dump(ab), test::dump(ba));
}

TEST(ReadApi, VisitorsMatchTheVectorReads) {
    Fixture f;
    (void)f.doc.insert(f.list, 1, std::string("gone"));
    (void)f.doc.remove(f.list, size_t{1});
    (void)f.doc.put(f.list, size_t{0}, int64_t{9});
    auto list = *f.doc.handle(f.list);
    auto record = *f.doc.handle(f.record);
    std::vector<ScalarValue> visited;
    std::vector<std::optional<ObjType>> types;
    f.doc.for_each_element(list, [&](ValueRef const& v) {
        visited.push_back(v.scalar());
        types.push_back(v.object_type());
    });
    auto items = f.doc.read_list(list);
    ASSERT_EQ(visited.size(), 3u);
    ASSERT_EQ(items.size(), visited.size());
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].scalar(), visited[i]);
        EXPECT_EQ(items[i].object_type(), types[i]);
    }
    EXPECT_EQ(visited[0], ScalarValue{int64_t{9}});
    // A record's child objects come back as handles to the same objects.
    f.doc.for_each_field(record, [&](std::string_view key, ValueRef const& v) {
        if (key == "body") {
            EXPECT_EQ(f.doc.obj_id(*v.object()), f.body);
        }
    });
    // Wrong kinds and foreign handles visit nothing; a text visits its characters.
    size_t calls = 0;
    auto count = [&](auto&&...) { ++calls; };
    f.doc.for_each_field(list, count);
    f.doc.for_each_element(record, count);
    AutoCommit empty;
    empty.for_each_field(record, count);
    empty.for_each_element(list, count);
    EXPECT_EQ(calls, 0u);
    f.doc.for_each_element(*f.doc.handle(f.body), count);
    EXPECT_EQ(calls, 5u);
}

// Sequences live apart from their objects and texts are gathered while loading: a fork must
// own its copies, and a loaded text must read as it was saved, also after it changes.
TEST(ReadApi, ForksOwnTheirSequencesAndLoadedTextsStayCurrent) {
    Fixture f;
    auto loaded = *AutoCommit::load(f.doc.save());
    auto body = *loaded.handle(f.body);
    auto list = *loaded.handle(f.list);
    EXPECT_EQ(loaded.text(body), "héllo");
    AutoCommit copy = loaded.fork();
    (void)copy.splice_text(f.body, 1, 1, "e");
    (void)copy.insert(f.list, 0, int64_t{0});
    auto empty = *copy.put_object(ObjId::root(), "empty", ObjType::List);
    EXPECT_EQ(copy.text(body), "hello");
    EXPECT_EQ(copy.length(list), 4u);
    EXPECT_EQ(copy.length(*copy.handle(empty)), 0u);
    EXPECT_EQ(loaded.text(body), "héllo");
    EXPECT_EQ(loaded.length(list), 3u);
    (void)loaded.splice_text(f.body, 5, 0, "!");
    EXPECT_EQ(loaded.text(body), "héllo!");
    // An empty text, and one emptied again, read as nothing.
    auto blank = *loaded.put_object(ObjId::root(), "blank", ObjType::Text);
    EXPECT_EQ(loaded.text(*loaded.handle(blank)), "");
    (void)loaded.splice_text(f.body, 0, 6, "");
    EXPECT_EQ(loaded.text(body), "");
    auto reloaded = *AutoCommit::load(loaded.save());
    EXPECT_EQ(reloaded.text(body), "");
    EXPECT_EQ(reloaded.text(*reloaded.handle(blank)), "");
}

// Prefetching is a hint at any depth, on any handle: it reads nothing it should not (the
// sanitizer build checks) and changes nothing a read sees.
TEST(ReadApi, PrefetchAtAnyLevelChangesNothing) {
    Fixture f;
    auto nested = *f.doc.put_object(f.record, "nested", ObjType::List);
    for (size_t i = 0; i < 40; ++i) {
        auto entry = *f.doc.insert_object(nested, i, ObjType::Map);
        (void)f.doc.put(entry, "n", int64_t(i));
    }
    (void)f.doc.put_object(f.record, "none", ObjType::List);
    f.doc.commit();
    auto loaded = *AutoCommit::load(f.doc.save());
    for (AutoCommit* doc : {&f.doc, &loaded}) {
        auto record = *doc->handle(f.record);
        auto before = doc->read_map(record);
        std::vector<ObjHandle> handles{record, *doc->handle(f.list), *doc->handle(f.body),
                                       *doc->handle(nested), *doc->handle(ObjId::root())};
        AutoCommit other;
        for (int level = -1; level < 16; ++level) {
            for (auto h : handles) {
                doc->prefetch(h, level);
                other.prefetch(h, level);  // a handle this document does not hold
            }
        }
        auto after = doc->read_map(record);
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); ++i) {
            EXPECT_EQ(after[i].key, before[i].key);
            EXPECT_EQ(after[i].value.scalar(), before[i].value.scalar());
        }
        EXPECT_EQ(doc->text(*doc->handle(f.body)), "héllo");
        EXPECT_EQ(doc->length(*doc->handle(nested)), 40u);
    }
}

}  // namespace
}  // namespace automerge
