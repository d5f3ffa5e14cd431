#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "xdg_paths/xdg_paths.hpp"

namespace {

// Sets or clears one variable for the lifetime of the guard.
class EnvGuard {
  public:
    EnvGuard(char const* name, std::optional<std::string> value) : m_name(name) {
        if (char const* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~EnvGuard() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

  private:
    char const* m_name;
    std::optional<std::string> m_old;
};

struct BaseDirCase {
    char const* description;
    std::optional<std::string> xdg;
    std::optional<std::string> home;
    std::optional<std::string> expected_data;
    std::optional<std::string> expected_config;
};

class BaseDirTest : public testing::TestWithParam<BaseDirCase> {};

TEST_P(BaseDirTest, FollowsXdgRules) {
    auto const& c = GetParam();
    EnvGuard data("XDG_DATA_HOME", c.xdg);
    EnvGuard config("XDG_CONFIG_HOME", c.xdg);
    EnvGuard home("HOME", c.home);
    auto data_dir = xdg_paths::data_dir();
    auto config_dir = xdg_paths::config_dir();
    EXPECT_EQ(data_dir ? std::optional(data_dir->string()) : std::nullopt, c.expected_data);
    EXPECT_EQ(config_dir ? std::optional(config_dir->string()) : std::nullopt, c.expected_config);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BaseDirTest,
    testing::Values(BaseDirCase{"explicit", "/x/data", "/h", "/x/data", "/x/data"},
                    BaseDirCase{"relative ignored", "rel/data", "/h", "/h/.local/share",
                                "/h/.config"},
                    BaseDirCase{"empty ignored", "", "/h", "/h/.local/share", "/h/.config"},
                    BaseDirCase{"unset", std::nullopt, "/home/ann", "/home/ann/.local/share",
                                "/home/ann/.config"},
                    BaseDirCase{"no home", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                    BaseDirCase{"relative home", std::nullopt, "ann", std::nullopt, std::nullopt},
                    BaseDirCase{"explicit without home", "/x", std::nullopt, "/x", "/x"}),
    [](auto const& info) {
        std::string name = info.param.description;
        for (char& ch : name)
            if (ch == ' ') ch = '_';
        return name;
    });

TEST(Home, PrefersAbsoluteHomeVariable) {
    EnvGuard home("HOME", "/srv/someone");
    EXPECT_EQ(xdg_paths::home(), std::filesystem::path("/srv/someone"));
}

TEST(Home, FallsBackToPasswordDatabase) {
    passwd const* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    for (std::optional<std::string> value :
         {std::optional<std::string>{}, std::optional<std::string>{"relative"}}) {
        EnvGuard home("HOME", value);
        EXPECT_EQ(xdg_paths::home(), std::filesystem::path(entry->pw_dir));
    }
}

}  // namespace
