#pragma once
// Runs the real program in its automation mode over a list of command lines, without any
// display or session bus, and collects its answers, one JSON value per line.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace chat::test {

inline std::vector<nlohmann::json> automation_session(std::filesystem::path const& data,
                                                      std::vector<std::string> const& commands,
                                                      std::string const& extra_env = "") {
    std::filesystem::path input = data.parent_path() / (data.filename().string() + "-in.jsonl");
    {
        std::ofstream out(input);
        for (auto const& c : commands) out << c << "\n";
    }
    std::string cmd =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS VEMO_CHAT_DATA='" +
        data.string() + "' " + extra_env + " '" + std::getenv("VEMO_CHAT_BIN") +
        "' --automation < '" + input.string() + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    std::vector<nlohmann::json> answers;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        answers.push_back(nlohmann::json::parse(line));
    return answers;
}

}  // namespace chat::test
