// Invite links handed over by the desktop, and the bus name that keeps one window per data
// directory.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <list>

#include "app/instance_id.hpp"
#include "app/share_options.hpp"

namespace {

struct LinkCase {
    char const* link;
    char const* invite;  // nullptr: not a link of ours
    bool error;
};

class InviteLinks : public testing::TestWithParam<LinkCase> {};

TEST_P(InviteLinks, NameTheInviteOrRefuse) {
    auto const& c = GetParam();
    auto got = chat::invite_from_link(c.link);
    ASSERT_EQ(!got, c.error) << c.link;
    if (c.error) return;
    if (c.invite)
        EXPECT_EQ(*got, std::optional<std::string>(c.invite)) << c.link;
    else
        EXPECT_FALSE(got->has_value()) << c.link;
}

INSTANTIATE_TEST_SUITE_P(
    Links, InviteLinks,
    testing::Values(
        LinkCase{"vemo-invite:eyJhIjoxfQ", "vemo-invite:eyJhIjoxfQ", false},
        LinkCase{"vemo-chat:join?invite=vemo-invite%3AeyJhIjoxfQ", "vemo-invite:eyJhIjoxfQ", false},
        LinkCase{"vemo-chat:join?invite=vemo-invite:abc", "vemo-invite:abc", false},
        LinkCase{"notes.txt", nullptr, false}, LinkCase{"https://example.org/", nullptr, false},
        LinkCase{"vemo-chat:", nullptr, true}, LinkCase{"vemo-chat:open?x=1", nullptr, true},
        LinkCase{"vemo-chat:join?invite=", nullptr, true},
        LinkCase{"vemo-chat:join?invite=%zz", nullptr, true},
        LinkCase{"vemo-chat:join?invite=vemo-invite%3", nullptr, true},
        LinkCase{"vemo-chat:join?invite=https%3A//x", nullptr, true}));

// The split keeps pointers into the arguments, as it does into a real argv, so they stay
// alive for the whole test program.
std::expected<chat::SplitArgs, std::string> split(std::vector<std::string> args) {
    static std::list<std::vector<std::string>> kept;
    auto& stored = kept.emplace_back(std::move(args));
    std::vector<char*> argv;
    for (auto& a : stored) argv.push_back(a.data());
    return chat::take_share_args(int(argv.size()), argv.data());
}

TEST(InviteLinks, ALinkArgumentJoinsAndLeavesTheRestToTheFramework) {
    auto got = split({"vemo-chat", "--frames", "3", "vemo-invite:abc"});
    ASSERT_TRUE(got);
    EXPECT_EQ(got->share.join, std::optional<std::string>("vemo-invite:abc"));
    ASSERT_EQ(got->rest.size(), 3u);
    EXPECT_STREQ(got->rest[1], "--frames");

    EXPECT_FALSE(split({"vemo-chat", "vemo-invite:a", "vemo-invite:b"}));
    EXPECT_FALSE(split({"vemo-chat", "vemo-chat:nonsense"}));
    // Anything else is the framework's to judge (and refuse).
    auto other = split({"vemo-chat", "stray"});
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->share.join);
    EXPECT_EQ(other->rest.size(), 2u);
}

TEST(InstanceId, OneNamePerDataDirectory) {
    namespace fs = std::filesystem;
    fs::path home = fs::temp_directory_path() / "chat-instance-home";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);

    unsetenv("VEMO_CHAT_DATA");
    EXPECT_EQ(chat::instance_id(), "so.vemo.chat");
    // The usual directory named explicitly, even in another spelling, is the same instance.
    setenv("VEMO_CHAT_DATA", (home / ".local/share/./vemo-chat").c_str(), 1);
    EXPECT_EQ(chat::instance_id(), "so.vemo.chat");

    setenv("VEMO_CHAT_DATA", "/tmp/chat-instance-a", 1);
    std::string a = chat::instance_id();
    setenv("VEMO_CHAT_DATA", "/tmp/chat-instance-b", 1);
    std::string b = chat::instance_id();
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.starts_with("so.vemo.chat.d")) << a;
    setenv("VEMO_CHAT_DATA", "/tmp/chat-instance-a/", 1);
    EXPECT_EQ(chat::instance_id(), a);
    unsetenv("VEMO_CHAT_DATA");
}

}  // namespace
