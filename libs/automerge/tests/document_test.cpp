#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "test_util.hpp"

namespace automerge {
namespace {

using test::dump;

ActorId actor(std::string_view hex) {
    return *ActorId::from_hex(hex);
}

ScalarValue scalar(AutoCommit& doc, ObjId const& obj, Prop const& prop) {
    auto v = doc.get(obj, prop);
    EXPECT_TRUE(v && *v);
    if (!v || !*v) return {};
    return std::get<ScalarValue>((*v)->first);
}

// Two documents sharing `setup`, with actors "aa" and "bb".
std::pair<AutoCommit, AutoCommit> pair_from(auto&& setup) {
    AutoCommit a(actor("aa"));
    setup(a);
    a.commit();
    AutoCommit b = a.fork();
    b.set_actor(actor("bb"));
    return {std::move(a), std::move(b)};
}

// Merges both ways and checks that both sides end up identical.
std::string converge(AutoCommit& a, AutoCommit& b) {
    AutoCommit a2 = a.fork();
    EXPECT_TRUE(a.merge(b));
    EXPECT_TRUE(b.merge(a2));
    EXPECT_EQ(a.get_heads(), b.get_heads());
    EXPECT_EQ(dump(a), dump(b));
    return dump(a);
}

TEST(MergeRules, ConcurrentMapPutsAreWonByTheGreaterActor) {
    auto [a, b] = pair_from([](AutoCommit&) {});
    ASSERT_TRUE(a.put(ObjId::root(), std::string("k"), std::string("from a")));
    ASSERT_TRUE(b.put(ObjId::root(), std::string("k"), std::string("from b")));
    EXPECT_EQ(converge(a, b), "{k:\"from b\"}");
    auto all = a.get_all(ObjId::root(), std::string("k"));
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 2u);
    EXPECT_EQ(std::get<ScalarValue>((*all)[0].first), ScalarValue{std::string("from a")});

    // A later put by either side resolves the conflict.
    ASSERT_TRUE(a.put(ObjId::root(), std::string("k"), int64_t{3}));
    EXPECT_EQ(converge(a, b), "{k:3}");
    EXPECT_EQ(a.get_all(ObjId::root(), std::string("k"))->size(), 1u);
}

TEST(MergeRules, HigherCounterBeatsGreaterActor) {
    auto [a, b] = pair_from([](AutoCommit&) {});
    ASSERT_TRUE(a.put(ObjId::root(), std::string("x"), int64_t{0}));
    ASSERT_TRUE(a.put(ObjId::root(), std::string("k"), std::string("a later")));
    ASSERT_TRUE(b.put(ObjId::root(), std::string("k"), std::string("b earlier")));
    EXPECT_EQ(converge(a, b), "{k:\"a later\",x:0}");
}

TEST(MergeRules, ConcurrentInsertsAtOnePositionOrderTheSameEverywhere) {
    auto setup = [](AutoCommit& d) {
        auto list = d.put_object(ObjId::root(), std::string("l"), ObjType::List).value();
        (void)d.insert(list, 0, std::string("x"));
        (void)d.insert(list, 1, std::string("y"));
    };
    auto [a, b] = pair_from(setup);
    auto list = a.get(ObjId::root(), std::string("l")).value()->second;
    ASSERT_TRUE(a.insert(list, 1, std::string("a1")));
    ASSERT_TRUE(a.insert(list, 2, std::string("a2")));
    ASSERT_TRUE(b.insert(list, 1, std::string("b1")));
    // a1 and b1 share counter 4, so the greater actor's b1 comes first; a2 was inserted
    // after a1 and stays attached to it.
    EXPECT_EQ(converge(a, b), "{l:[\"x\",\"b1\",\"a1\",\"a2\",\"y\"]}");

    auto [c, d] = pair_from(setup);
    ASSERT_TRUE(c.insert(list, 0, std::string("c")));
    ASSERT_TRUE(d.insert(list, 0, std::string("d")));
    EXPECT_EQ(converge(c, d), "{l:[\"d\",\"c\",\"x\",\"y\"]}");
}

TEST(MergeRules, OverwriteSurvivesConcurrentDelete) {
    auto setup = [](AutoCommit& d) {
        (void)d.put(ObjId::root(), std::string("k"), int64_t{1});
        auto list = d.put_object(ObjId::root(), std::string("l"), ObjType::List).value();
        (void)d.insert(list, 0, std::string("old"));
    };
    auto [a, b] = pair_from(setup);
    auto list = a.get(ObjId::root(), std::string("l")).value()->second;
    ASSERT_TRUE(a.remove(ObjId::root(), std::string("k")));
    ASSERT_TRUE(a.remove(list, Prop{size_t{0}}));
    ASSERT_TRUE(b.put(ObjId::root(), std::string("k"), int64_t{2}));
    ASSERT_TRUE(b.put(list, Prop{size_t{0}}, std::string("new")));
    EXPECT_EQ(converge(a, b), "{k:2,l:[\"new\"]}");

    // Deleting what both sides saw removes it for good.
    ASSERT_TRUE(a.remove(ObjId::root(), std::string("k")));
    EXPECT_EQ(converge(a, b), "{l:[\"new\"]}");
}

TEST(MergeRules, WritingTheWinningValueAgainIsANoOpUnlessInConflict) {
    auto [a, b] =
        pair_from([](AutoCommit& d) { (void)d.put(ObjId::root(), std::string("x"), 1.0); });
    ASSERT_TRUE(a.put(ObjId::root(), std::string("x"), -0.0 + 1.0));
    EXPECT_EQ(a.pending_ops(), 0u);
    EXPECT_FALSE(a.commit().has_value());

    ASSERT_TRUE(a.put(ObjId::root(), std::string("k"), std::string("a")));
    ASSERT_TRUE(b.put(ObjId::root(), std::string("k"), std::string("b")));
    converge(a, b);
    ASSERT_EQ(a.get_all(ObjId::root(), std::string("k"))->size(), 2u);
    // Putting the winner again deletes the losing value instead of adding a third.
    ASSERT_TRUE(a.put(ObjId::root(), std::string("k"), std::string("b")));
    EXPECT_EQ(a.pending_ops(), 1u);
    auto all = a.get_all(ObjId::root(), std::string("k"));
    ASSERT_EQ(all->size(), 1u);
    EXPECT_EQ(std::get<ScalarValue>((*all)[0].first), ScalarValue{std::string("b")});
    EXPECT_EQ(converge(a, b), "{k:\"b\",x:1.000000}");
}

TEST(Counters, ConcurrentIncrementsAddUp) {
    auto [a, b] = pair_from([](AutoCommit& d) {
        (void)d.put(ObjId::root(), std::string("c"), Counter{10});
        auto list = d.put_object(ObjId::root(), std::string("l"), ObjType::List).value();
        (void)d.insert(list, 0, Counter{0});
    });
    auto list = a.get(ObjId::root(), std::string("l")).value()->second;
    ASSERT_TRUE(a.increment(ObjId::root(), std::string("c"), 5));
    ASSERT_TRUE(a.increment(ObjId::root(), std::string("c"), -2));
    ASSERT_TRUE(b.increment(ObjId::root(), std::string("c"), 100));
    ASSERT_TRUE(b.increment(list, Prop{size_t{0}}, 7));
    EXPECT_EQ(converge(a, b), "{c:counter:113,l:[counter:7]}");

    ASSERT_TRUE(a.put(ObjId::root(), std::string("n"), int64_t{1}));
    EXPECT_FALSE(a.increment(ObjId::root(), std::string("n"), 1));
    EXPECT_FALSE(a.increment(ObjId::root(), std::string("missing"), 1));

    auto saved = AutoCommit::load(a.save());
    ASSERT_TRUE(saved);
    EXPECT_EQ(scalar(*saved, ObjId::root(), std::string("c")), ScalarValue{Counter{113}});
}

// Loading lays out each sequence as its rows end; counters incremented in a later object
// must not change how an earlier one counts, and incremented or deleted counters must count
// as they did before saving.
TEST(Counters, LoadedSequencesKeepTheirLengths) {
    AutoCommit doc;
    auto first = doc.put_object(ObjId::root(), std::string("a"), ObjType::List).value();
    auto text = doc.put_object(ObjId::root(), std::string("b"), ObjType::Text).value();
    auto last = doc.put_object(ObjId::root(), std::string("c"), ObjType::List).value();
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(doc.insert(first, i, Counter{int64_t(i)}));
        ASSERT_TRUE(doc.insert(last, i, Counter{int64_t(10 * i)}));
    }
    ASSERT_TRUE(doc.splice_text(text, 0, 0, "h\xc3\xa9llo"));
    doc.commit();
    ASSERT_TRUE(doc.increment(last, Prop{size_t{1}}, 5));
    ASSERT_TRUE(doc.increment(last, Prop{size_t{2}}, 1));
    ASSERT_TRUE(doc.remove(last, Prop{size_t{2}}));
    ASSERT_TRUE(doc.remove(first, Prop{size_t{0}}));
    ASSERT_TRUE(doc.splice_text(text, 1, 1, ""));
    doc.commit();

    auto loaded = AutoCommit::load(doc.save());
    ASSERT_TRUE(loaded) << loaded.error().message;
    for (auto const& obj : {first, text, last}) EXPECT_EQ(loaded->length(obj), doc.length(obj));
    EXPECT_EQ(loaded->length(last), 2u);
    EXPECT_EQ(scalar(*loaded, last, Prop{size_t{1}}), ScalarValue{Counter{15}});
    EXPECT_EQ(loaded->text(text).value(), "hllo");
    EXPECT_EQ(scalar(*loaded, first, Prop{size_t{1}}), ScalarValue{Counter{2}});
}

TEST(Text, PositionsCountUnicodeScalarValues) {
    AutoCommit doc;
    auto text = doc.put_object(ObjId::root(), std::string("t"), ObjType::Text).value();
    std::string family = "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";
    std::string thumb = "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd";  // thumbs up, skin tone
    std::string accent = "e\xcc\x81";                        // e + combining acute
    ASSERT_TRUE(doc.splice_text(text, 0, 0, "ab"));
    ASSERT_TRUE(doc.splice_text(text, 1, 0, family));
    EXPECT_EQ(doc.length(text), 7u);  // man, ZWJ, woman, ZWJ, girl
    ASSERT_TRUE(doc.splice_text(text, 6, 0, thumb + accent));
    EXPECT_EQ(doc.text(text).value(), "a" + family + thumb + accent + "b");
    EXPECT_EQ(doc.length(text), 11u);
    ASSERT_TRUE(doc.splice_text(text, 1, 5, ""));  // the whole family
    EXPECT_EQ(doc.text(text).value(), "a" + thumb + accent + "b");
    EXPECT_EQ(scalar(doc, text, Prop{size_t{2}}), ScalarValue{std::string("\xf0\x9f\x8f\xbd")});

    auto loaded = AutoCommit::load(doc.save());
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->text(text).value(), "a" + thumb + accent + "b");
}

TEST(Text, RejectsInvalidInputWithoutChangingTheDocument) {
    AutoCommit doc;
    auto text = doc.put_object(ObjId::root(), std::string("t"), ObjType::Text).value();
    ASSERT_TRUE(doc.splice_text(text, 0, 0, "abc"));
    auto before = doc.pending_ops();
    EXPECT_FALSE(doc.splice_text(text, 1, 0, "\xff\xfe"));
    EXPECT_FALSE(doc.splice_text(text, 4, 0, "x"));
    EXPECT_FALSE(doc.put(ObjId::root(), std::string("\xc3"), int64_t{1}));
    EXPECT_FALSE(doc.put(ObjId::root(), std::string("k"), std::string("\xe2\x82")));
    EXPECT_FALSE(doc.put(text, std::string("k"), int64_t{1}));
    EXPECT_FALSE(doc.insert(ObjId::root(), 0, int64_t{1}));
    EXPECT_EQ(doc.pending_ops(), before);
    EXPECT_EQ(doc.text(text).value(), "abc");

    // A deletion running past the end stops there, as splices do.
    ASSERT_TRUE(doc.splice_text(text, 1, 10, "X"));
    EXPECT_EQ(doc.text(text).value(), "aX");
}

AutoCommit sample_document() {
    AutoCommit doc(actor("0102"));
    auto root = ObjId::root();
    (void)doc.put(root, std::string("null"), ScalarValue{});
    (void)doc.put(root, std::string("bool"), true);
    (void)doc.put(root, std::string("int"), int64_t{-5});
    (void)doc.put(root, std::string("uint"), uint64_t{7});
    (void)doc.put(root, std::string("float"), 2.5);
    (void)doc.put(root, std::string("time"), Timestamp{1700000000000});
    (void)doc.put(root, std::string("bytes"), std::vector<uint8_t>{1, 2});
    auto msgs = doc.put_object(root, std::string("messages"), ObjType::List).value();
    for (size_t i = 0; i < 40; ++i) {
        auto m = doc.insert_object(msgs, i, ObjType::Map).value();
        (void)doc.put(m, std::string("author"), std::string("user") + std::to_string(i % 3));
        auto body = doc.put_object(m, std::string("body"), ObjType::Text).value();
        (void)doc.splice_text(body, 0, 0, "message " + std::to_string(i) + " with some text");
        if (i % 5 == 0) doc.commit(std::string("batch ") + std::to_string(i), 1000 + i);
    }
    (void)doc.remove(msgs, Prop{size_t{3}});
    doc.commit();
    return doc;
}

TEST(Storage, SaveLoadRoundTripKeepsContentHeadsAndBytes) {
    AutoCommit doc = sample_document();
    auto bytes = doc.save();
    auto loaded = AutoCommit::load(bytes);
    ASSERT_TRUE(loaded) << loaded.error().message;
    EXPECT_EQ(dump(*loaded), dump(doc));
    EXPECT_EQ(loaded->get_heads(), doc.get_heads());
    EXPECT_EQ(loaded->save(), bytes);
    auto ours = doc.get_changes({});
    auto theirs = loaded->get_changes({});
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i].hash, theirs[i].hash);
        EXPECT_EQ(ours[i].raw, theirs[i].raw);
        EXPECT_EQ(ours[i].message, theirs[i].message);
    }
}

// Loading rebuilds every change from the document's ops, writing runs of typed characters
// in one go; each shape below must come back with the hashes and bytes it was saved with.
struct TypedRunCase {
    char const* name;
    std::function<void(AutoCommit&, AutoCommit&)> edit;  // on two forks of one document
};

void PrintTo(TypedRunCase const& c, std::ostream* os) {
    *os << c.name;
}

class TypedRuns : public testing::TestWithParam<TypedRunCase> {};

TEST_P(TypedRuns, RebuildToTheSavedChanges) {
    auto [a, b] = pair_from([](AutoCommit& d) {
        ASSERT_TRUE(d.put_object(ObjId::root(), std::string("t"), ObjType::Text));
        ASSERT_TRUE(d.put_object(ObjId::root(), std::string("u"), ObjType::Text));
        ASSERT_TRUE(d.put_object(ObjId::root(), std::string("l"), ObjType::List));
    });
    GetParam().edit(a, b);
    a.commit();
    b.commit();
    converge(a, b);
    auto bytes = a.save();
    auto loaded = AutoCommit::load(bytes);
    ASSERT_TRUE(loaded) << loaded.error().message;
    EXPECT_EQ(dump(*loaded), dump(a));
    EXPECT_EQ(loaded->save(), bytes);
    auto ours = a.get_changes({});
    auto theirs = loaded->get_changes({});
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i].raw, theirs[i].raw) << i;
}

ObjId obj_at(AutoCommit& d, char const* key) {
    auto v = d.get(ObjId::root(), std::string(key));
    return v && *v ? (*v)->second : ObjId::root();
}

INSTANTIATE_TEST_SUITE_P(
    Storage, TypedRuns,
    testing::Values(TypedRunCase{"one_run",
                                 [](AutoCommit& a, AutoCommit&) {
                                     ASSERT_TRUE(
                                         a.splice_text(obj_at(a, "t"), 0, 0, "hello world"));
                                 }},
                    TypedRunCase{"wide_characters",
                                 [](AutoCommit& a, AutoCommit&) {
                                     ASSERT_TRUE(a.splice_text(obj_at(a, "t"), 0, 0,
                                                               "\xc3\xa9\xc3\xa9"
                                                               "ab"
                                                               "\xf0\x9f\x91\x8d\xe6\xbc\xa2"));
                                 }},
                    TypedRunCase{
                        "two_texts_in_turn",
                        [](AutoCommit& a, AutoCommit&) {
                            for (int i = 0; i < 3; ++i) {
                                ASSERT_TRUE(a.splice_text(obj_at(a, "t"), size_t(2 * i), 0, "ab"));
                                ASSERT_TRUE(a.splice_text(obj_at(a, "u"), size_t(2 * i), 0, "cd"));
                            }
                        }},
                    TypedRunCase{"typed_then_deleted_in_one_change",
                                 [](AutoCommit& a, AutoCommit&) {
                                     ASSERT_TRUE(a.splice_text(obj_at(a, "t"), 0, 0, "abcdef"));
                                     ASSERT_TRUE(a.splice_text(obj_at(a, "t"), 2, 2, ""));
                                     ASSERT_TRUE(a.splice_text(obj_at(a, "t"), 2, 0, "xy"));
                                 }},
                    TypedRunCase{"typed_in_the_middle_later",
                                 [](AutoCommit& a, AutoCommit&) {
                                     ASSERT_TRUE(a.splice_text(obj_at(a, "t"), 0, 0, "abcd"));
                                     a.commit();
                                     ASSERT_TRUE(a.splice_text(obj_at(a, "t"), 2, 0, "123"));
                                 }},
                    TypedRunCase{"concurrent_typing_at_one_place",
                                 [](AutoCommit& a, AutoCommit& b) {
                                     ASSERT_TRUE(a.splice_text(obj_at(a, "t"), 0, 0, "aaaa"));
                                     ASSERT_TRUE(b.splice_text(obj_at(b, "t"), 0, 0, "bbbb"));
                                 }},
                    TypedRunCase{"strings_and_values_in_a_list",
                                 [](AutoCommit& a, AutoCommit&) {
                                     auto l = obj_at(a, "l");
                                     ASSERT_TRUE(a.insert(l, 0, std::string("one")));
                                     ASSERT_TRUE(a.insert(l, 1, std::string("two")));
                                     ASSERT_TRUE(a.insert(l, 2, int64_t{3}));
                                     ASSERT_TRUE(a.insert(l, 3, std::string("")));
                                     ASSERT_TRUE(a.insert(l, 4, std::string("four")));
                                 }}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(Storage, IncrementalSavesAppendToAFullSave) {
    AutoCommit doc(actor("0102"));
    (void)doc.put(ObjId::root(), std::string("a"), int64_t{1});
    auto file = doc.save();
    EXPECT_TRUE(doc.save_incremental().empty());
    (void)doc.put(ObjId::root(), std::string("b"), int64_t{2});
    auto chunk1 = doc.save_incremental();
    (void)doc.put(ObjId::root(), std::string("c"), int64_t{3});
    auto chunk2 = doc.save_incremental();
    EXPECT_FALSE(chunk1.empty());
    file.insert(file.end(), chunk1.begin(), chunk1.end());
    file.insert(file.end(), chunk2.begin(), chunk2.end());
    auto loaded = AutoCommit::load(file);
    ASSERT_TRUE(loaded) << loaded.error().message;
    EXPECT_EQ(dump(*loaded), "{a:1,b:2,c:3}");
    EXPECT_EQ(loaded->get_heads(), doc.get_heads());

    AutoCommit empty;
    auto applied = empty.load_incremental(file);
    ASSERT_TRUE(applied);
    EXPECT_EQ(*applied, 3u);
}

TEST(Storage, ChangesApplyInAnyOrderOnceTheirDepsArrive) {
    AutoCommit doc = sample_document();
    auto changes = doc.get_changes({});
    ASSERT_GT(changes.size(), 3u);
    AutoCommit other;
    std::vector<Change> reversed(changes.rbegin(), changes.rend() - 1);
    ASSERT_TRUE(other.apply_changes(reversed));
    EXPECT_TRUE(other.get_heads().empty());
    auto missing = other.get_missing_deps({});
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0], changes[0].hash);
    EXPECT_EQ(other.queued_changes(), reversed.size());
    ASSERT_TRUE(other.apply_changes(std::span(changes).first(1)));
    EXPECT_EQ(other.get_heads(), doc.get_heads());
    EXPECT_EQ(other.queued_changes(), 0u);
    EXPECT_EQ(dump(other), dump(doc));
    EXPECT_TRUE(other.get_missing_deps({}).empty());

    auto since = doc.get_changes(std::vector{changes[1].hash});
    EXPECT_EQ(since.size(), changes.size() - 2);
}

TEST(Storage, ChangesReadBackFromTheirBytes) {
    AutoCommit doc = sample_document();
    auto changes = doc.get_changes({});
    std::vector<uint8_t> all;
    for (auto const& c : changes) all.insert(all.end(), c.raw.begin(), c.raw.end());
    auto split = Change::split(all);
    ASSERT_TRUE(split) << split.error().message;
    ASSERT_EQ(split->size(), changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
        EXPECT_EQ((*split)[i].hash, changes[i].hash);
        EXPECT_EQ((*split)[i].deps, changes[i].deps);
        EXPECT_EQ((*split)[i].num_ops, changes[i].num_ops);
        EXPECT_EQ(doc.get_change_by_hash(changes[i].hash)->raw, changes[i].raw);
    }
    EXPECT_EQ((*split)[0].message, std::optional<std::string>("batch 0"));

    // A change whose claimed hash does not match its bytes is refused.
    Change forged = changes[0];
    forged.hash = changes[1].hash;
    AutoCommit other;
    EXPECT_FALSE(other.apply_changes(std::span(&forged, 1)));
    EXPECT_FALSE(Change::from_bytes(std::span(all).first(all.size() - 1)));
}

TEST(Storage, QueuedChangeThatArrivesAgainInADocumentIsAppliedOnce) {
    AutoCommit doc(actor("0102"));
    for (int64_t i = 0; i < 3; ++i) {
        (void)doc.put(ObjId::root(), "k" + std::to_string(i), i);
        doc.commit();
    }
    auto changes = doc.get_changes({});
    AutoCommit other;
    ASSERT_TRUE(other.apply_change_bytes(changes[2].raw));
    ASSERT_TRUE(other.load_incremental(doc.save()));
    ASSERT_TRUE(other.apply_changes(changes));
    EXPECT_EQ(other.get_heads(), doc.get_heads());
    EXPECT_TRUE(other.get_missing_deps({}).empty());
}

// A whole document arriving again (a peer resends it when sync messages cross) must leave
// the receiver as it is, while one that brings anything new still loads.
struct RepeatedDocument {
    char const* name;
    int known;           // how many of the sender's 4 changes the receiver holds
    bool own_change;     // the receiver wrote a change of its own since
    bool queued_latest;  // the receiver holds the sender's last change, queued
};

class DocumentChunkAgain : public testing::TestWithParam<RepeatedDocument> {};

TEST_P(DocumentChunkAgain, LoadsOnlyWhatIsNew) {
    auto const& c = GetParam();
    AutoCommit sender(actor("0a"));
    for (int64_t i = 0; i < 4; ++i) {
        (void)sender.put(ObjId::root(), "k" + std::to_string(i), i);
        sender.commit();
    }
    auto changes = sender.get_changes({});
    AutoCommit receiver(actor("0b"));
    ASSERT_TRUE(receiver.apply_changes(std::span(changes).first(size_t(c.known))));
    if (c.queued_latest) {
        ASSERT_TRUE(receiver.apply_change_bytes(changes.back().raw));
    }
    if (c.own_change) {
        (void)receiver.put(ObjId::root(), "mine", int64_t{1});
        receiver.commit();
    }
    auto before = receiver.get_heads();

    auto loaded = receiver.load_incremental(sender.save());
    ASSERT_TRUE(loaded) << loaded.error().message;

    if (c.known == 4) {
        EXPECT_EQ(*loaded, 0u);
        EXPECT_EQ(receiver.get_heads(), before);
    } else {
        EXPECT_GT(*loaded, 0u);
    }
    EXPECT_EQ(receiver.queued_changes(), 0u);
    for (auto const& change : changes) EXPECT_TRUE(receiver.has_change(change.hash));
    EXPECT_EQ(receiver.keys(ObjId::root()).size(), c.own_change ? 5u : 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Storage, DocumentChunkAgain,
    testing::Values(RepeatedDocument{"SameHistory", 4, false, false},
                    RepeatedDocument{"SameHistoryAndOneOfOurOwn", 4, true, false},
                    RepeatedDocument{"EarlierHistory", 2, false, false},
                    RepeatedDocument{"EarlierHistoryAndOneOfOurOwn", 2, true, false},
                    RepeatedDocument{"LastChangeWaitingForItsDeps", 2, false, true}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(Storage, ForkAtSeesOnlyEarlierHistory) {
    AutoCommit doc(actor("0102"));
    (void)doc.put(ObjId::root(), std::string("a"), int64_t{1});
    auto heads = doc.get_heads();
    (void)doc.put(ObjId::root(), std::string("a"), int64_t{2});
    auto old = doc.fork_at(heads);
    ASSERT_TRUE(old);
    EXPECT_EQ(dump(*old), "{a:1}");
    EXPECT_NE(old->get_actor(), doc.get_actor());
    EXPECT_EQ(dump(doc), "{a:2}");
}

// Saved by the reference implementation: text with overlapping "bold" (expanding) and
// "link" marks. Marks are kept as they are and written back unchanged.
constexpr std::string_view marked_text_doc =
    "856f4a833c431a2800850201020a0b01b2f780ae484c825a8bc7635b49cabcfb83e1fcb6adf75ab23db9745a8c"
    "54ad3e07010203021304230c4004430356020e01040204110413161505210223163402421156125716800102"
    "940105a50112030003017d0c02057da8ccd9d806d8b3a6a779007f0002017e000103070001120000011201"
    "000310000001020079020100010d017202017f0003017f0002017f01740012130079010c75010c750d02017c"
    "7201087902017e077a020101127e040702017f0706017f0703017f0703017e000202167f860106167f000316"
    "7f0003166865687474703a2f2f786c4142436c6f20776f726c641300010109010700017f04626f6c6400027f"
    "046c696e6b000e02";

TEST(Storage, ReferenceDocumentWithMarksRoundTripsByteForByte) {
    auto bytes = test::from_hex(marked_text_doc);
    auto doc = AutoCommit::load(bytes);
    ASSERT_TRUE(doc) << doc.error().message;
    auto text = doc->get(ObjId::root(), std::string("t")).value()->second;
    EXPECT_EQ(doc->text(text).value(), "helABClo world");
    EXPECT_EQ(doc->length(text), 14u);
    EXPECT_EQ(doc->save(), bytes);

    // Editing around the marks keeps them in later saves.
    ASSERT_TRUE(doc->splice_text(text, 0, 1, "H"));
    auto again = AutoCommit::load(doc->save());
    ASSERT_TRUE(again) << again.error().message;
    EXPECT_EQ(again->text(text).value(), "HelABClo world");
    EXPECT_EQ(again->get_changes({}).size(), 4u);
}

}  // namespace
}  // namespace automerge

namespace automerge {
namespace {

// Reads are cached; every way a text can change must show on the next read.
TEST(ReadCaches, TextReadsFollowEveryKindOfChange) {
    AutoCommit a(actor("aa"));
    auto text = *a.put_object(ObjId::root(), std::string("t"), ObjType::Text);
    ASSERT_TRUE(a.splice_text(text, 0, 0, "hello"));
    EXPECT_EQ(*a.text(text), "hello");
    ASSERT_TRUE(a.splice_text(text, 5, 0, " world"));
    EXPECT_EQ(*a.text(text), "hello world");
    a.commit();

    AutoCommit b = a.fork();
    b.set_actor(actor("bb"));
    ASSERT_TRUE(b.splice_text(text, 0, 5, "HELLO"));
    EXPECT_EQ(*a.text(text), "hello world") << "a fork's edit stays in the fork";
    EXPECT_EQ(*b.text(text), "HELLO world");

    ASSERT_TRUE(a.splice_text(text, 11, 0, "!"));
    EXPECT_EQ(*a.text(text), "hello world!");
    b.commit();
    ASSERT_TRUE(a.merge(b));
    EXPECT_EQ(*a.text(text), "HELLO world!");

    // A text replaced by another object under the same key, and a reload.
    auto other = *a.put_object(ObjId::root(), std::string("t"), ObjType::Text);
    ASSERT_TRUE(a.splice_text(other, 0, 0, "new"));
    EXPECT_EQ(*a.text(other), "new");
    auto reloaded = AutoCommit::load(a.save());
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(*reloaded->text(other), "new");
    EXPECT_EQ(*reloaded->text(text), "HELLO world!");

    // Changes applied from elsewhere invalidate too.
    AutoCommit c = reloaded->fork();
    ASSERT_TRUE(c.splice_text(other, 3, 0, "er"));
    c.commit();
    EXPECT_EQ(*reloaded->text(other), "new");
    ASSERT_TRUE(reloaded->apply_changes(c.get_changes({})));
    EXPECT_EQ(*reloaded->text(other), "newer");
}

TEST(ReadCaches, ManyObjectsResolveToTheRightOne) {
    AutoCommit a(actor("aa"));
    std::vector<ObjId> maps;
    for (int i = 0; i < 100; ++i) {
        auto m = *a.put_object(ObjId::root(), "m" + std::to_string(i), ObjType::Map);
        ASSERT_TRUE(a.put(m, std::string("n"), int64_t(i)));
        maps.push_back(m);
    }
    for (int round = 0; round < 2; ++round)
        for (int i = 99; i >= 0; i -= 7)
            EXPECT_EQ(std::get<int64_t>(scalar(a, maps[size_t(i)], std::string("n"))), i);
    auto unknown = ObjId::from_string("999@aa");
    if (unknown) {
        EXPECT_FALSE(a.object_type(*unknown));
    }
}

}  // namespace
}  // namespace automerge
