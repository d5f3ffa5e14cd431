#include <gtest/gtest.h>

#include "storage/columns.hpp"
#include "storage/ops.hpp"

namespace automerge::storage {
namespace {

using Bytes = std::vector<uint8_t>;

struct LebCase {
    int64_t value;
    Bytes sleb;
};

class SignedLeb : public testing::TestWithParam<LebCase> {};

TEST_P(SignedLeb, EncodesCanonicallyAndReadsBack) {
    Bytes out;
    write_sleb(out, GetParam().value);
    EXPECT_EQ(out, GetParam().sleb);
    Reader r(out);
    EXPECT_EQ(r.sleb(), GetParam().value);
    EXPECT_TRUE(r.done());
}

INSTANTIATE_TEST_SUITE_P(
    Values, SignedLeb,
    testing::Values(
        LebCase{0, {0x00}}, LebCase{1, {0x01}}, LebCase{-1, {0x7f}}, LebCase{63, {0x3f}},
        LebCase{64, {0xc0, 0x00}}, LebCase{-64, {0x40}}, LebCase{-65, {0xbf, 0x7f}},
        LebCase{INT64_MAX, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00}},
        LebCase{INT64_MIN, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7f}}));

TEST(UnsignedLeb, RoundTripsBoundaries) {
    for (uint64_t v : {uint64_t{0}, uint64_t{127}, uint64_t{128}, uint64_t{16383}, uint64_t{16384},
                       uint64_t{UINT32_MAX}, UINT64_MAX}) {
        Bytes out;
        write_uleb(out, v);
        Reader r(out);
        EXPECT_EQ(r.uleb(), v);
        EXPECT_TRUE(r.done());
    }
}

struct BadLeb {
    char const* name;
    Bytes bytes;
    bool is_signed;
};

class MalformedLeb : public testing::TestWithParam<BadLeb> {};

TEST_P(MalformedLeb, IsRejected) {
    Reader r(GetParam().bytes);
    if (GetParam().is_signed)
        EXPECT_FALSE(r.sleb().has_value());
    else
        EXPECT_FALSE(r.uleb().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, MalformedLeb,
    testing::Values(
        BadLeb{"empty", {}, false}, BadLeb{"truncated", {0x80, 0x80}, false},
        BadLeb{"overlong_zero", {0x80, 0x00}, false}, BadLeb{"overlong_one", {0x81, 0x00}, false},
        BadLeb{"overflow", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02}, false},
        BadLeb{"eleven_bytes",
               {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00},
               false},
        BadLeb{"signed_truncated", {0xff}, true},
        BadLeb{"signed_overlong_positive", {0x80, 0x00}, true},
        BadLeb{"signed_overlong_negative", {0xff, 0x7f}, true},
        BadLeb{
            "signed_overflow", {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, true}),
    [](auto const& info) { return std::string(info.param.name); });

template <class T>
std::vector<std::optional<T>> rle_round_trip(std::vector<std::optional<T>> const& values,
                                             Bytes* encoded = nullptr) {
    RleEncoder<T> enc;
    for (auto const& v : values) enc.append(v);
    Bytes bytes = enc.finish();
    if (encoded) *encoded = bytes;
    RleDecoder<T> dec(bytes);
    std::vector<std::optional<T>> out;
    for (size_t i = 0; i < values.size(); ++i) {
        std::optional<T> v;
        EXPECT_TRUE(dec.next(v));
        out.push_back(v);
    }
    EXPECT_TRUE(dec.done());
    return out;
}

TEST(Rle, WritesTheCanonicalRunsAndLiterals) {
    using V = std::vector<std::optional<uint64_t>>;
    struct Case {
        V values;
        Bytes bytes;
    };
    std::vector<Case> cases{
        {{}, {}},
        {{std::nullopt, std::nullopt}, {}},  // only nulls: nothing at all
        {{5}, {0x7f, 0x05}},
        {{5, 5, 5}, {0x03, 0x05}},
        {{1, 2, 3}, {0x7d, 0x01, 0x02, 0x03}},
        {{1, 2, 2}, {0x7f, 0x01, 0x02, 0x02}},
        {{std::nullopt, 7, 7, std::nullopt}, {0x00, 0x01, 0x02, 0x07, 0x00, 0x01}},
        {{1, std::nullopt, 2}, {0x7f, 0x01, 0x00, 0x01, 0x7f, 0x02}},
    };
    for (auto const& c : cases) {
        Bytes encoded;
        EXPECT_EQ(rle_round_trip(c.values, &encoded), c.values);
        EXPECT_EQ(encoded, c.bytes);
    }
}

TEST(Rle, RoundTripsStringsAndSignedValues) {
    std::vector<std::optional<std::string>> strings{"a", "a", std::nullopt, "", "é👍", "b"};
    EXPECT_EQ(rle_round_trip(strings), strings);
    std::vector<std::optional<int64_t>> ints{-1, -1, INT64_MIN, INT64_MAX, std::nullopt, 0};
    EXPECT_EQ(rle_round_trip(ints), ints);
}

TEST(Rle, ReadsPastTheEndAsNullAndRejectsTruncatedLiterals) {
    RleDecoder<uint64_t> empty;
    std::optional<uint64_t> v = 1;
    EXPECT_TRUE(empty.next(v));
    EXPECT_FALSE(v.has_value());

    Bytes truncated{0x7d, 0x01};  // a literal of three values holding one
    RleDecoder<uint64_t> dec(truncated);
    EXPECT_TRUE(dec.next(v));
    EXPECT_FALSE(dec.next(v));
    EXPECT_FALSE(RleDecoder<uint64_t>::count(truncated, 100).has_value());
}

TEST(Rle, CountRefusesRunsAboveTheLimit) {
    Bytes huge{0x00, 0xff, 0xff, 0xff, 0xff, 0x0f};  // a run of 4 billion nulls
    EXPECT_FALSE(RleDecoder<uint64_t>::count(huge, 1 << 20).has_value());
    EXPECT_EQ(RleDecoder<uint64_t>::count(huge, UINT64_MAX), 0xffffffffu);
}

TEST(Delta, RoundTripsWithNullsAndWraparound) {
    std::vector<std::optional<int64_t>> values{1, 2, 3,         10,       std::nullopt,
                                               9, 9, INT64_MIN, INT64_MAX};
    DeltaEncoder enc;
    for (auto v : values) enc.append(v);
    Bytes bytes = enc.finish();
    DeltaDecoder dec(bytes);
    for (auto expected : values) {
        std::optional<int64_t> v;
        ASSERT_TRUE(dec.next(v));
        EXPECT_EQ(v, expected);
    }
    DeltaEncoder counting;
    for (int64_t v : {1, 2, 3, 4}) counting.append(v);
    EXPECT_EQ(counting.finish(), (Bytes{0x04, 0x01}));
}

TEST(Boolean, RoundTripsAndStartsWithFalse) {
    struct Case {
        std::vector<bool> values;
        Bytes bytes;
    };
    std::vector<Case> cases{{{}, {}},
                            {{false, false}, {0x02}},
                            {{true}, {0x00, 0x01}},
                            {{false, true, true, false}, {0x01, 0x02, 0x01}}};
    for (auto const& c : cases) {
        BooleanEncoder enc;
        for (bool b : c.values) enc.append(b);
        Bytes bytes = enc.finish();
        EXPECT_EQ(bytes, c.bytes);
        BooleanDecoder dec(bytes);
        for (bool expected : c.values) {
            bool v = !expected;
            ASSERT_TRUE(dec.next(v));
            EXPECT_EQ(v, expected);
        }
        bool past = true;
        EXPECT_TRUE(dec.next(past));
        EXPECT_FALSE(past);
    }
}

TEST(Value, RoundTripsEveryType) {
    std::vector<ScalarValue> values{ScalarValue{},
                                    true,
                                    false,
                                    uint64_t{UINT64_MAX},
                                    int64_t{-12345},
                                    3.25,
                                    -0.0,
                                    std::string("héllo 👨‍👩‍👧"),
                                    std::vector<uint8_t>{0, 1, 255},
                                    Counter{-3},
                                    Timestamp{1700000000000},
                                    Unknown{12, {9, 8, 7}}};
    for (auto const& v : values) {
        uint64_t meta = 0;
        Bytes raw;
        encode_value(v, meta, raw);
        EXPECT_EQ(meta >> 4, raw.size());
        auto back = decode_value(meta, raw);
        ASSERT_TRUE(back) << back.error().message;
        EXPECT_EQ(*back, v);
    }
}

TEST(Value, RejectsMalformedRawBytes) {
    Bytes not_utf8{0xc3, 0x28};
    EXPECT_FALSE(decode_value((2 << 4) | 6, not_utf8));
    Bytes short_float{1, 2, 3};
    EXPECT_FALSE(decode_value((3 << 4) | 5, short_float));
    Bytes trailing{0x01, 0x01};
    EXPECT_FALSE(decode_value((2 << 4) | 4, trailing));
    Bytes one{0x01};
    EXPECT_FALSE(decode_value((1 << 4) | 0, one));  // null carries no bytes
}

TEST(Utf8, AcceptsScalarValuesOnly) {
    EXPECT_TRUE(valid_utf8("plain ascii"));
    EXPECT_TRUE(valid_utf8("e\xcc\x81 \xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"));
    EXPECT_FALSE(valid_utf8("\xc0\xaf"));          // overlong slash
    EXPECT_FALSE(valid_utf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(valid_utf8("\xe2\x82"));          // truncated
}

// The writer's shortcuts must produce exactly the columns of adding ops one by one.
struct ChainCase {
    char const* name;
    OpLayout layout;
    OpRef obj;
    std::vector<std::string> before;  // single ops added first, to leave encoders mid-run
    std::vector<std::string> chain;
};

class StringChain : public testing::TestWithParam<ChainCase> {};

std::vector<RawColumn> write_ops(ChainCase const& c, bool as_chain) {
    OpColumnsWriter w(c.layout);
    OpRef id{40, 1};
    OpRef prev{};  // the head
    for (auto const& s : c.before) {
        w.add(c.obj, nullptr, prev, id, true, set, ScalarValue{s}, {}, false, nullptr);
        prev = id;
        id.counter += 1;
    }
    // A map op in between, so key and obj columns change state.
    if (!c.before.empty()) {
        std::string key = "k";
        w.add(OpRef{}, &key, OpRef{}, OpRef{7, 0}, false, set, ScalarValue{int64_t{3}}, {}, false,
              nullptr);
    }
    // The chain's first op goes after `prev`; the rest each after the one before.
    w.add(c.obj, nullptr, prev, id, true, set, ScalarValue{std::string("x")}, {}, false, nullptr);
    OpRef first{id.counter + 1, id.actor};
    std::vector<std::string const*> values;
    for (auto const& s : c.chain) values.push_back(&s);
    if (as_chain) {
        w.add_string_chain(c.obj, first, values);
    } else {
        OpRef at = first;
        for (auto const& s : c.chain) {
            w.add(c.obj, nullptr, OpRef{at.counter - 1, at.actor}, at, true, set, ScalarValue{s},
                  {}, false, nullptr);
            at.counter += 1;
        }
    }
    w.add(c.obj, nullptr, OpRef{3, 0}, OpRef{900, 0}, true, set, ScalarValue{true}, {}, false,
          nullptr);
    return w.finish();
}

TEST_P(StringChain, MatchesOpsAddedOneByOne) {
    auto chained = write_ops(GetParam(), true);
    auto single = write_ops(GetParam(), false);
    ASSERT_EQ(chained.size(), single.size());
    for (size_t i = 0; i < single.size(); ++i) {
        EXPECT_EQ(chained[i].id, single[i].id);
        EXPECT_EQ(chained[i].data, single[i].data) << "column " << single[i].id;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, StringChain,
    testing::Values(ChainCase{"empty", OpLayout::Document, {2, 0}, {}, {}},
                    ChainCase{"one", OpLayout::Document, {2, 0}, {}, {"a"}},
                    ChainCase{
                        "ascii_run", OpLayout::Document, {2, 0}, {"p", "q"}, {"a", "b", "c", "d"}},
                    ChainCase{"mixed_widths",
                              OpLayout::Document,
                              {2, 1},
                              {"\xc3\xa9"},
                              {"a", "\xc3\xa9", "\xe6\xbc\xa2", "b", "\xf0\x9f\x91\x8d", "c"}},
                    ChainCase{"root_object", OpLayout::Change, {0, 0}, {"z"}, {"a", "b"}},
                    ChainCase{"change_layout", OpLayout::Change, {5, 2}, {}, {"a", "b", "c"}}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(OpColumnsWriter, FinishIntoWritesMetadataThenColumnsAndStartsOver) {
    OpColumnsWriter reused(OpLayout::Change);
    for (int round = 0; round < 2; ++round) {
        OpColumnsWriter fresh(OpLayout::Change);
        for (auto* w : {&reused, &fresh}) {
            std::string key = round ? "b" : "a";
            w->add(OpRef{}, &key, OpRef{}, OpRef{}, false, set, ScalarValue{int64_t{round}},
                   std::vector<OpRef>{{1, 0}}, round == 1, nullptr);
            w->add(OpRef{4, 0}, nullptr, OpRef{}, OpRef{}, true, set, ScalarValue{std::string("q")},
                   {}, false, nullptr);
        }
        Bytes into;
        reused.finish_into(into);
        auto columns = fresh.finish();
        Bytes expected;
        write_column_meta(expected, columns);
        for (auto const& c : columns) expected.insert(expected.end(), c.data.begin(), c.data.end());
        EXPECT_EQ(into, expected) << "round " << round;
    }
}

}  // namespace
}  // namespace automerge::storage
