#include <gtest/gtest.h>

#include <vector>

#include "vemo_ui/launch.hpp"

using namespace vemo_ui::launch;

namespace {

std::expected<CommandLine, std::string> parse(std::vector<char const*> args)
{
    args.insert(args.begin(), "app");
    return parse_command_line(args);
}

}  // namespace

TEST(CommandLine, ModesAndShotRequest)
{
    auto none = parse({});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->mode, CommandLine::Mode::Window);

    auto shot = parse({"--shot", "compact", "--output", "x.png", "--size", "640x480", "--theme=light"});
    ASSERT_TRUE(shot) << shot.error();
    EXPECT_EQ(shot->mode, CommandLine::Mode::Shot);
    EXPECT_EQ(shot->shot.scenario, "compact");
    EXPECT_EQ(shot->shot.output, std::filesystem::path("x.png"));
    EXPECT_EQ(shot->shot.size, (ShotSize{640, 480}));
    EXPECT_EQ(shot_theme(shot->shot), vemo_ui::ThemeKind::Light);

    auto bare = parse({"--shot=", "-o", "y.png"});
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->shot.scenario, "");
    EXPECT_FALSE(bare->shot.size);
    EXPECT_EQ(shot_theme(bare->shot), vemo_ui::ThemeKind::Dark);

    EXPECT_EQ(parse({"--list-shots"})->mode, CommandLine::Mode::ListShots);
    EXPECT_EQ(parse({"--help", "--bogus"})->mode, CommandLine::Mode::Help);
    EXPECT_EQ(parse({"--version"})->mode, CommandLine::Mode::Version);
    EXPECT_EQ(parse({"--frames", "3"})->frames, 3);
}

TEST(CommandLine, RejectsMalformedInput)
{
    struct Case {
        std::vector<char const*> args;
        std::string error_part;
    };
    std::vector<Case> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unknown option 'stray'"},
        {{"--shot"}, "needs a value"},
        {{"--shot", "a", "--size", "12"}, "malformed size '12'"},
        {{"--shot", "a", "--size", "0x10"}, "malformed size"},
        {{"--shot", "a", "--size", "10x"}, "malformed size"},
        {{"--shot", "a", "--size", "-5x10"}, "malformed size"},
        {{"--shot", "a", "--size", "99999x10"}, "malformed size"},
        {{"--shot", "a", "--theme", "blue"}, "unknown theme 'blue'"},
        {{"--output", "x.png"}, "go with --shot"},
        {{"--list-shots=yes"}, "takes no value"},
        {{"--frames", "many"}, "malformed frame count"},
        {{"--shot", "a", "--frames", "2"}, "window mode only"},
    };
    for (auto const& c : cases) {
        auto r = parse(c.args);
        ASSERT_FALSE(r) << c.error_part;
        EXPECT_NE(r.error().find(c.error_part), std::string::npos) << r.error();
    }
}

TEST(Launch, ExitStatuses)
{
    LaunchConfig config;
    config.app_id = "test.app";
    config.screenshot_scenarios = {"one", "two"};
    int writes = 0;
    config.screenshot_writer = [&](ScreenshotRequest const& r) -> std::expected<void, std::string> {
        ++writes;
        if (!r.output) return std::unexpected(std::string("missing screenshot output"));
        return {};
    };
    auto run_args = [&](std::vector<char const*> args) {
        args.insert(args.begin(), "app");
        return run(config, args);
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_args({"--list-shots"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "one\ntwo\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(run_args({"--nope"}), 2);
    EXPECT_EQ(run_args({"--shot", "one"}), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("app: unknown option '--nope'"), std::string::npos);
    EXPECT_NE(err.find("app: missing screenshot output"), std::string::npos);

    EXPECT_EQ(run_args({"--shot", "one", "-o", "/tmp/x.png"}), 0);
    EXPECT_EQ(writes, 2);
}
