#include <gtest/gtest.h>

#include <random>

#include "storage/change_chunk.hpp"
#include "storage/columns.hpp"
#include "test_util.hpp"

namespace automerge {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes saved_document() {
    AutoCommit doc(*ActorId::from_hex("aabbcc"));
    auto text = doc.put_object(ObjId::root(), std::string("t"), ObjType::Text).value();
    std::string long_text;
    for (int i = 0; i < 300; ++i) long_text += static_cast<char>('a' + (i * 7) % 26);
    (void)doc.splice_text(text, 0, 0, long_text);  // long enough for deflated columns
    doc.commit();
    (void)doc.put(ObjId::root(), std::string("n"), Counter{1});
    (void)doc.increment(ObjId::root(), std::string("n"), 2);
    (void)doc.splice_text(text, 10, 20, "");
    doc.commit(std::string("second"));
    return doc.save();
}

// Builds a chunk around a body, with a correct checksum.
Bytes chunk(storage::ChunkType type, Bytes const& body) {
    return storage::make_chunk(type, body);
}

TEST(HostileInput, EveryTruncationIsAnError) {
    Bytes bytes = saved_document();
    for (size_t len = 0; len < bytes.size(); ++len) {
        auto r = AutoCommit::load(std::span(bytes).first(len));
        // An empty input is an empty document; anything else cut short must fail.
        if (len == 0)
            EXPECT_TRUE(r);
        else
            EXPECT_FALSE(r) << "loaded a document cut to " << len << " bytes";
    }
}

TEST(HostileInput, CorruptedBytesFailTheChecksum) {
    Bytes bytes = saved_document();
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        Bytes copy = bytes;
        size_t pos = 9 + rng() % (copy.size() - 9);
        copy[pos] ^= static_cast<uint8_t>(1 + rng() % 255);
        auto r = AutoCommit::load(copy);
        ASSERT_FALSE(r) << "flip at " << pos;
    }
}

// Mutations with the checksum fixed up, so the parsers behind it see the damage.
TEST(HostileInput, MutatedBodiesNeverCrash) {
    Bytes bytes = saved_document();
    storage::Reader reader(bytes);
    auto original = storage::read_chunk(reader);
    ASSERT_TRUE(original);
    Bytes body(original->body.begin(), original->body.end());
    std::mt19937 rng(11);
    int loaded = 0;
    for (int i = 0; i < 3000; ++i) {
        Bytes copy = body;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t pos = rng() % copy.size();
            switch (rng() % 3) {
                case 0:
                    copy[pos] = static_cast<uint8_t>(rng());
                    break;
                case 1:
                    copy.erase(copy.begin() + static_cast<ptrdiff_t>(pos));
                    break;
                default:
                    copy.insert(copy.begin() + static_cast<ptrdiff_t>(pos),
                                static_cast<uint8_t>(rng()));
            }
        }
        auto r = AutoCommit::load(chunk(storage::ChunkType::Document, copy));
        if (r) {
            ++loaded;
            (void)r->save();
        }
    }
    // Most damage is caught by the head hashes, which commit to every op.
    EXPECT_LT(loaded, 300);
}

TEST(HostileInput, MalformedHeadersAndLengths) {
    Bytes good = saved_document();
    struct Case {
        char const* name;
        Bytes bytes;
    };
    Bytes bad_magic = good;
    bad_magic[0] = 0x00;
    Bytes bad_type = chunk(storage::ChunkType::Document, {});
    bad_type[8] = 7;
    Bytes long_length{0x85, 0x6f, 0x4a, 0x83, 0, 0, 0, 0, 0x00, 0xff, 0xff, 0xff, 0x7f};
    Bytes overlong_length{0x85, 0x6f, 0x4a, 0x83, 0, 0, 0, 0, 0x00, 0x80, 0x00};
    // One actor, no heads, one op column claiming more bytes than follow.
    Bytes column_past_end = chunk(storage::ChunkType::Document,
                                  {0x01, 0x01, 0xaa, 0x00, 0x00, 0x01, 0x42, 0x7f, 0x01, 0x01});
    Bytes columns_out_of_order = chunk(
        storage::ChunkType::Document, {0x00, 0x00, 0x00, 0x02, 0x42, 0x01, 0x01, 0x01, 0x7f, 0x01});
    Bytes heads_past_end = chunk(storage::ChunkType::Document, {0x00, 0x05, 0x01, 0x02});
    std::vector<Case> cases{{"bad magic", bad_magic},
                            {"unknown chunk type", bad_type},
                            {"length past the end", long_length},
                            {"overlong length", overlong_length},
                            {"column past the end", column_past_end},
                            {"columns out of order", columns_out_of_order},
                            {"heads past the end", heads_past_end},
                            {"trailing garbage", [&] {
                                 Bytes b = good;
                                 b.push_back(0x85);
                                 return b;
                             }()}};
    for (auto const& c : cases) {
        auto r = AutoCommit::load(c.bytes);
        ASSERT_FALSE(r) << c.name;
        EXPECT_FALSE(r.error().message.empty());
    }
}

TEST(HostileInput, DecompressionBombIsRefused) {
    Bytes zeros(65u << 20, 0);
    Bytes deflated = storage::deflate_raw(zeros);
    Bytes body{0x00, 0x00, 0x00, 0x01, 0x42 | 0x08};
    storage::write_uleb(body, deflated.size());
    body.insert(body.end(), deflated.begin(), deflated.end());
    auto r = AutoCommit::load(chunk(storage::ChunkType::Document, body));
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("size limit"), std::string::npos);

    Bytes change_bomb{0x85, 0x6f, 0x4a, 0x83, 0, 0, 0, 0, 0x02};
    storage::write_uleb(change_bomb, deflated.size());
    change_bomb.insert(change_bomb.end(), deflated.begin(), deflated.end());
    EXPECT_FALSE(AutoCommit::load(change_bomb));
}

TEST(HostileInput, HugeRunLengthsDoNotAllocate) {
    // A change whose action column claims 2^62 operations.
    storage::ChangeChunk change;
    change.actors.push_back(*ActorId::from_hex("01"));
    change.seq = 1;
    Bytes body = storage::encode_change_body(change);
    body.resize(body.size() - 1);  // drop the empty column list
    body.insert(body.end(), {0x01, 0x42, 0x0b});
    body.insert(body.end(), {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x3f, 0x01});
    auto r = AutoCommit::load(chunk(storage::ChunkType::Change, body));
    EXPECT_FALSE(r);
}

storage::ChangeChunk one_op_change(storage::OpRow op) {
    storage::ChangeChunk change;
    change.actors.push_back(*ActorId::from_hex("01"));
    change.seq = 1;
    change.start_op = 1;
    change.ops.push_back(std::move(op));
    return change;
}

TEST(HostileInput, ReferencesToUnknownActorsObjectsAndOpsAreErrors) {
    struct Case {
        char const* name;
        storage::OpRow op;
    };
    storage::OpRow unknown_actor;
    unknown_actor.obj = {5, 3};  // actor index 3 of a one-actor change
    unknown_actor.key_str = "k";
    storage::OpRow unknown_object;
    unknown_object.obj = {5, 0};
    unknown_object.key_str = "k";
    storage::OpRow unknown_pred;
    unknown_pred.key_str = "k";
    unknown_pred.refs.push_back({9, 0});
    storage::OpRow unknown_element;
    unknown_element.obj = {0, 0};
    unknown_element.key_str.reset();
    unknown_element.elem = {4, 0};
    storage::OpRow elem_in_map;
    elem_in_map.insert = true;
    for (auto const& c : std::vector<Case>{{"unknown actor", unknown_actor},
                                           {"unknown object", unknown_object},
                                           {"unknown predecessor", unknown_pred},
                                           {"list key on the root map", unknown_element},
                                           {"insert into a map", elem_in_map}}) {
        auto bytes =
            chunk(storage::ChunkType::Change, storage::encode_change_body(one_op_change(c.op)));
        AutoCommit doc;
        EXPECT_FALSE(doc.apply_change_bytes(bytes)) << c.name;
        EXPECT_TRUE(doc.get_heads().empty()) << c.name;
        EXPECT_EQ(test::dump(doc), "{}");
    }
}

TEST(HostileInput, ChangesWithMissingOrCyclicDepsWaitInTheQueue) {
    storage::OpRow op;
    op.key_str = "k";
    op.value = int64_t{1};
    auto change = one_op_change(op);
    ChangeHash ghost;
    ghost.bytes.fill(0x42);
    change.deps.push_back(ghost);
    Bytes body = storage::encode_change_body(change);
    ChangeHash self = storage::chunk_hash(storage::ChunkType::Change, body);
    AutoCommit doc;
    ASSERT_TRUE(doc.apply_change_bytes(chunk(storage::ChunkType::Change, body)));
    EXPECT_TRUE(doc.get_heads().empty());
    EXPECT_EQ(doc.get_missing_deps({}), std::vector<ChangeHash>{ghost});
    EXPECT_FALSE(doc.has_change(self));

    // Queued changes are kept by a save and still wait after loading it again.
    auto again = AutoCommit::load(doc.save());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->get_missing_deps({}), std::vector<ChangeHash>{ghost});
}

TEST(HostileInput, DuplicateSequenceNumbersAreRejected) {
    storage::OpRow op;
    op.key_str = "k";
    op.value = int64_t{1};
    auto first = one_op_change(op);
    auto clash = first;
    clash.start_op = 2;
    clash.ops[0].value = int64_t{2};
    AutoCommit doc;
    ASSERT_TRUE(doc.apply_change_bytes(
        chunk(storage::ChunkType::Change, storage::encode_change_body(first))));
    EXPECT_FALSE(doc.apply_change_bytes(
        chunk(storage::ChunkType::Change, storage::encode_change_body(clash))));
    EXPECT_EQ(test::dump(doc), "{k:1}");
}

}  // namespace
}  // namespace automerge
