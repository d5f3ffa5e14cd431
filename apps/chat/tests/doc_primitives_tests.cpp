#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "doc/document.hpp"
#include "doc/storage.hpp"

namespace chat::doc {
namespace {

using automerge::Counter;
using automerge::ScalarValue;
using automerge::Timestamp;

struct NumericCase {
    char const* name;
    ScalarValue stored;
    std::optional<int64_t> read;
};

class GetInt : public testing::TestWithParam<NumericCase> {};

TEST_P(GetInt, ReadsEveryNumericScalar) {
    AutoCommit doc;
    ASSERT_TRUE(doc.put(ObjId::root(), std::string("n"), GetParam().stored));
    EXPECT_EQ(get_int(doc, ObjId::root(), "n"), GetParam().read);
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Scalars, GetInt,
    testing::Values(NumericCase{"negative_int", ScalarValue{int64_t{-7}}, -7},
                    NumericCase{"uint_pattern", ScalarValue{uint64_t{0xFFFFFFFFFFFFFFFFULL}}, -1},
                    NumericCase{"float_truncates", ScalarValue{2.9}, 2},
                    NumericCase{"negative_float_truncates", ScalarValue{-2.9}, -2},
                    NumericCase{"huge_float_saturates", ScalarValue{1e300},
                                std::numeric_limits<int64_t>::max()},
                    NumericCase{"nan_is_no_number", ScalarValue{nan}, std::nullopt},
                    NumericCase{"counter", ScalarValue{Counter{41}}, 41},
                    NumericCase{"timestamp", ScalarValue{Timestamp{1700}}, 1700},
                    NumericCase{"string", ScalarValue{std::string("12")}, std::nullopt},
                    NumericCase{"bool", ScalarValue{true}, std::nullopt}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(Reads, WrongKindsAndMissingObjectsReadAsNothing) {
    AutoCommit doc;
    auto root = ObjId::root();
    ASSERT_TRUE(put_int(doc, root, "n", 3));
    auto list = put_object(doc, root, "list", ObjType::List);
    ASSERT_TRUE(list);
    ASSERT_TRUE(doc.insert(*list, 0, ScalarValue{std::string("not a map")}));
    auto map = insert_map(doc, *list, 1);
    ASSERT_TRUE(map);

    EXPECT_EQ(get_str(doc, root, "n"), std::nullopt);
    EXPECT_EQ(get_bool(doc, root, "n"), std::nullopt);
    EXPECT_EQ(get_map(doc, root, "list"), std::nullopt);
    EXPECT_EQ(get_text(doc, root, "list"), std::nullopt);
    EXPECT_EQ(get_at(doc, *list, 0), std::nullopt);
    EXPECT_EQ(get_at(doc, *list, 1), map.value());
    EXPECT_EQ(get_at(doc, *list, 9), std::nullopt);
    EXPECT_EQ(get_str(doc, root, ""), std::nullopt);
    // A list is not a map: reading a key of it, or the keys of a scalar's "object", is empty.
    EXPECT_EQ(get_str(doc, *list, "x"), std::nullopt);
    auto missing = ObjId(999, automerge::ActorId::random());
    EXPECT_EQ(get_int(doc, missing, "n"), std::nullopt);
    EXPECT_TRUE(keys(doc, missing).empty());
    EXPECT_EQ(length(doc, missing), 0u);
}

TEST(Writes, EnsureKeepsAnObjectOfTheRightKindAndReplacesAnythingElse) {
    AutoCommit doc;
    auto root = ObjId::root();
    auto first = ensure_map(doc, root, "m");
    ASSERT_TRUE(first);
    ASSERT_TRUE(put_str(doc, *first, "kept", "yes"));
    EXPECT_EQ(ensure_map(doc, root, "m").value(), *first);
    EXPECT_EQ(get_str(doc, *first, "kept"), "yes");

    ASSERT_TRUE(put_str(doc, root, "t", "a plain string"));
    auto text = ensure_text(doc, root, "t");
    ASSERT_TRUE(text);
    EXPECT_EQ(get_text(doc, root, "t"), "");
    auto list = ensure_list(doc, root, "m");  // a map is not a list: replaced
    ASSERT_TRUE(list);
    EXPECT_NE(*list, *first);
    EXPECT_EQ(get_map(doc, root, "m"), std::nullopt);
}

TEST(Writes, BrokenUtf8IsStoredWithReplacementCharacters) {
    AutoCommit doc;
    auto root = ObjId::root();
    ASSERT_TRUE(put_str(doc, root, "name", "Bj\xF6rn \xE2\x82"));
    EXPECT_EQ(get_str(doc, root, "name"), "Bj\xEF\xBF\xBDrn \xEF\xBF\xBD");
    auto text = ensure_text(doc, root, "t");
    ASSERT_TRUE(text);
    ASSERT_TRUE(splice_text(doc, *text, 0, 0,
                            "a\xC0\xAF"
                            "b"));  // overlong slash
    EXPECT_EQ(get_text(doc, root, "t"),
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b");
    EXPECT_TRUE(valid_key(""));
    EXPECT_FALSE(valid_key("\xED\xA0\x80"));  // a surrogate
    EXPECT_TRUE(valid_key("c_general"));
}

TEST(Writes, UnusableKeysFailWithoutWriting) {
    AutoCommit doc;
    EXPECT_FALSE(put_str(doc, ObjId::root(), "\xFF", "x"));
    EXPECT_FALSE(ensure_map(doc, ObjId::root(), "a\xC3"));
    EXPECT_TRUE(doc.keys(ObjId::root()).empty());
}

// The location rules, first match wins. Each case sets the environment it needs.
struct LocationCase {
    char const* name;
    char const* chat_data;
    char const* xdg_data_home;
    char const* home;
    std::optional<std::filesystem::path> expected;
};

class DataDirectory : public testing::TestWithParam<LocationCase> {
  protected:
    static void set(char const* var, char const* value) {
        if (value)
            ::setenv(var, value, 1);
        else
            ::unsetenv(var);
    }
};

TEST_P(DataDirectory, FollowsTheFirstRuleThatApplies) {
    auto const& c = GetParam();
    set("VEMO_CHAT_DATA", c.chat_data);
    set("XDG_DATA_HOME", c.xdg_data_home);
    set("HOME", c.home);
    EXPECT_EQ(data_directory(), c.expected);
    if (c.expected) {
        EXPECT_EQ(*data_directory() / document_file_name, *c.expected / "workspace.automerge");
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, DataDirectory,
                         testing::Values(LocationCase{"explicit_dir_taken_as_is", "/srv/chat",
                                                      "/x/data", "/home/a", "/srv/chat"},
                                         LocationCase{"xdg_data_home", nullptr, "/x/data",
                                                      "/home/a", "/x/data/vemo-chat"},
                                         LocationCase{"home_fallback", nullptr, nullptr, "/home/a",
                                                      "/home/a/.local/share/vemo-chat"},
                                         LocationCase{"relative_xdg_ignored", nullptr, "rel/data",
                                                      "/home/a", "/home/a/.local/share/vemo-chat"}),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace chat::doc
