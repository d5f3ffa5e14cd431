#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "runtime_identity/identity.hpp"

namespace {

namespace fs = std::filesystem;
using runtime_identity::Identity;

std::string const valid_key(64, 'a');

class IdentityTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "identity-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        if (char const* old = std::getenv("XDG_CONFIG_HOME")) m_old_config = old;
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
    }
    void TearDown() override {
        if (m_old_config)
            setenv("XDG_CONFIG_HOME", m_old_config->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(m_dir);
    }
    fs::path path() const { return m_dir / "vemo" / "identity"; }
    void write_raw(std::string const& text) {
        fs::create_directories(path().parent_path());
        std::ofstream(path(), std::ios::binary) << text;
    }

    fs::path m_dir;
    std::optional<std::string> m_old_config;
};

Identity sample() {
    Identity identity{.identifier = "u_7f3a.work@host", .name = "Ada Lovelace ✓", .key = {}};
    for (size_t i = 0; i < identity.key.size(); ++i)
        identity.key[i] = static_cast<uint8_t>(i * 7 + 1);
    return identity;
}

TEST_F(IdentityTest, NothingStoredIsNone) {
    EXPECT_FALSE(runtime_identity::unix::load());
}

TEST_F(IdentityTest, StoreThenLoadRoundTripsPrivately) {
    ASSERT_TRUE(runtime_identity::unix::store(sample()));
    EXPECT_EQ(runtime_identity::unix::identity_path(), path());
    EXPECT_EQ(runtime_identity::unix::load(), sample());

    struct stat info {};
    ASSERT_EQ(stat(path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(path().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    Identity renamed = sample();
    renamed.name = "";
    ASSERT_TRUE(runtime_identity::unix::store(renamed));
    EXPECT_EQ(runtime_identity::unix::load(), renamed);
    EXPECT_EQ(std::distance(fs::directory_iterator(path().parent_path()), fs::directory_iterator{}),
              1)
        << "no temporary file may be left behind";
}

TEST_F(IdentityTest, StoreRefusesWhatCannotBeReadBack) {
    for (auto mutate :
         {+[](Identity& i) { i.identifier = ""; }, +[](Identity& i) { i.identifier = "a b"; },
          +[](Identity& i) { i.identifier = std::string(129, 'x'); },
          +[](Identity& i) { i.name = "line\nbreak"; },
          +[](Identity& i) { i.name = std::string(257, 'n'); },
          +[](Identity& i) { i.name = "\xC3"; }}) {
        Identity identity = sample();
        mutate(identity);
        EXPECT_FALSE(runtime_identity::unix::store(identity));
    }
    EXPECT_FALSE(fs::exists(path()));
}

struct FileCase {
    char const* description;
    std::string text;
};

class MalformedFileTest : public IdentityTest, public testing::WithParamInterface<FileCase> {};

TEST_P(MalformedFileTest, IsNoneAndReportsWhy) {
    write_raw(GetParam().text);
    EXPECT_FALSE(runtime_identity::unix::load());
    auto read = runtime_identity::read_identity_file(path());
    ASSERT_FALSE(read.has_value());
    EXPECT_FALSE(read.error().message.empty());
}

std::string file(std::string id, std::string name, std::string key) {
    return "vemo-identity 1\nid " + id + "\nname " + name + "\nkey " + key + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedFileTest,
    testing::Values(
        FileCase{"empty", ""},
        FileCase{"wrong_version", "vemo-identity 2\nid a\nname b\nkey " + valid_key + "\n"},
        FileCase{"no_final_newline",
                 file("a", "b", valid_key).substr(0, file("a", "b", valid_key).size() - 1)},
        FileCase{"crlf", "vemo-identity 1\r\nid a\r\nname b\r\nkey " + valid_key + "\r\n"},
        FileCase{"trailing_line", file("a", "b", valid_key) + "extra\n"},
        FileCase{"swapped_fields", "vemo-identity 1\nname b\nid a\nkey " + valid_key + "\n"},
        FileCase{"upper_case_key", file("a", "b", std::string(64, 'A'))},
        FileCase{"short_key", file("a", "b", std::string(63, 'a'))},
        FileCase{"long_key", file("a", "b", std::string(66, 'a'))},
        FileCase{"empty_id", file("", "b", valid_key)},
        FileCase{"id_with_space", file("a b", "b", valid_key)},
        FileCase{"name_with_tab", file("a", "b\tc", valid_key)},
        FileCase{"name_invalid_utf8", file("a", "\xFF", valid_key)},
        FileCase{"name_overlong_utf8", file("a", "\xC0\xAF", valid_key)},
        FileCase{"name_c1_control", file("a", "\xC2\x85", valid_key)},
        FileCase{"oversized", file("a", std::string(5000, 'n'), valid_key)},
        FileCase{"binary", std::string("\0\1\2\3", 4)}),
    [](auto const& info) { return std::string(info.param.description); });

TEST_F(IdentityTest, DirectoryInPlaceOfFileIsNone) {
    fs::create_directories(path());
    EXPECT_FALSE(runtime_identity::unix::load());
}

TEST_F(IdentityTest, AcceptsEmptyNameAndFullIdentifierAlphabet) {
    write_raw(file("Az09._-:@+", "", valid_key));
    auto loaded = runtime_identity::unix::load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->identifier, "Az09._-:@+");
    EXPECT_EQ(loaded->name, "");
    EXPECT_EQ(loaded->key[0], 0xAA);
}

}  // namespace
