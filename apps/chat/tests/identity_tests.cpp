#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/local_identity.hpp"
#include "doc/ids.hpp"

using namespace chat;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/chat-identity-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, ec);
        fs::remove_all(path, ec);
    }
};

IdentitySources isolated(fs::path const& dir)
{
    IdentitySources s;
    s.data_dir = dir;
    s.hostname_file = dir / "no-such-hostname";
    return s;
}

bool is_random_user_id(std::string const& id)
{
    // "u_" + a UUID as 32 hex digits, with its version-4 nibble
    return id.size() == 34 && id.starts_with("u_") && id[14] == '4' &&
           id.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
}

}  // namespace

TEST(Fnv1a, KnownVectorsAndColourIndex)
{
    EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ULL);
    EXPECT_EQ(color_index_for("foobar"), 0x85944171f73967e8ULL & 7);
    EXPECT_TRUE(new_id("m_").starts_with("m_"));
    EXPECT_NE(new_id("m_"), new_id("m_"));
}

TEST(DisplayName, WordsFromUserName)
{
    struct Case {
        std::optional<std::string> user, username;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"john.doe", std::nullopt, "John Doe"},
        {"ada_lovelace-king", std::nullopt, "Ada Lovelace King"},
        {"..x__y--", std::nullopt, "X Y"},
        {"mIxed case", std::nullopt, "MIxed Case"},
        {"élodie.été", std::nullopt, "Élodie Été"},
        {std::nullopt, "backup", "Backup"},
        {"", "fallback", "Fallback"},
        {std::nullopt, std::nullopt, "You"},
        {"._- ", std::nullopt, "You"},
    };
    for (auto const& c : cases)
        EXPECT_EQ(display_name_from_user(c.user, c.username), c.expected) << c.expected;
    EXPECT_EQ(initials_for("You"), "Y");
    EXPECT_EQ(initials_for(""), "Y");
}

TEST(LocalIdentity, SecondStartReusesStoredPeerId)
{
    TempDir dir;
    auto sources = isolated(dir.path / "nested" / "data");
    sources.user = "sam.rivera";
    auto first = determine_local_identity(sources);
    EXPECT_TRUE(is_random_user_id(first.id)) << first.id;
    EXPECT_EQ(first.display_name, "Sam Rivera");
    EXPECT_EQ(first.color_idx, color_index_for(first.id));
    auto second = determine_local_identity(sources);
    EXPECT_EQ(first, second);

    // A hand-edited file with blanks around the id is read trimmed; an empty one is replaced.
    std::ofstream(dir.path / "nested" / "data" / "peer-id") << "  u_custom \n";
    EXPECT_EQ(determine_local_identity(sources).id, "u_custom");
    std::ofstream(dir.path / "nested" / "data" / "peer-id") << " \n";
    EXPECT_TRUE(is_random_user_id(determine_local_identity(sources).id));
}

TEST(LocalIdentity, FallbackWithoutStorage)
{
    TempDir dir;
    auto sources = isolated(dir.path);
    sources.data_dir.reset();

    sources.user = "sam";
    sources.hostname = "box";
    auto a = determine_local_identity(sources);
    char expected[32];
    std::snprintf(expected, sizeof expected, "u_%016llx",
                  static_cast<unsigned long long>(fnv1a64("sam@box")));
    EXPECT_EQ(a.id, expected);
    EXPECT_EQ(determine_local_identity(sources).id, a.id);  // stable across starts

    // Host from the hostname file, trimmed; USERNAME when USER is missing.
    sources.user.reset();
    sources.username = "pat";
    sources.hostname.reset();
    std::ofstream(dir.path / "hostname") << "  workstation\n";
    sources.hostname_file = dir.path / "hostname";
    std::snprintf(expected, sizeof expected, "u_%016llx",
                  static_cast<unsigned long long>(fnv1a64("pat@workstation")));
    EXPECT_EQ(determine_local_identity(sources).id, expected);

    // Nothing at all: a fresh random identifier on every start.
    sources.username.reset();
    sources.hostname_file = dir.path / "missing";
    auto r1 = determine_local_identity(sources);
    auto r2 = determine_local_identity(sources);
    EXPECT_TRUE(is_random_user_id(r1.id));
    EXPECT_NE(r1.id, r2.id);
    EXPECT_EQ(r1.display_name, "You");
    EXPECT_EQ(r1.initials, "Y");
}

TEST(LocalIdentity, DataDirectoryThatCannotBeCreated)
{
    TempDir dir;
    std::ofstream(dir.path / "a-file") << "x";
    auto sources = isolated(dir.path / "a-file" / "sub");  // a file stands where a dir must go
    auto a = determine_local_identity(sources);
    auto b = determine_local_identity(sources);
    EXPECT_TRUE(is_random_user_id(a.id));
    EXPECT_NE(a.id, b.id);
}

TEST(LocalIdentity, StoredIdentityWins)
{
    TempDir dir;
    auto sources = isolated(dir.path);
    runtime_identity::Identity stored;
    stored.identifier = "machine-user-7";
    stored.name = "Dana Kim";
    stored.key.fill(0x11);
    sources.stored = stored;
    sources.user = "ignored";
    auto id = determine_local_identity(sources);
    EXPECT_EQ(id.id, "machine-user-7");
    EXPECT_EQ(id.display_name, "Dana Kim");
    EXPECT_EQ(id.initials, "DK");
    EXPECT_EQ(id.color_idx, fnv1a64(std::span<uint8_t const>(stored.key)) & 7);
    EXPECT_FALSE(fs::exists(dir.path / "peer-id"));

    stored.name.clear();
    sources.stored = stored;
    EXPECT_EQ(determine_local_identity(sources).display_name, "Ignored");
}
