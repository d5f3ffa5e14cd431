// Drives the real program in its automation mode, as a software agent would: one JSON
// command a line in, one JSON answer a line out, the document persisted between runs.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/chat-automation-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Runs one automation session over `commands` and returns the answers, one per line.
std::vector<json> session(fs::path const& data, std::vector<std::string> const& commands)
{
    fs::path input = data.parent_path() / (data.filename().string() + "-in.jsonl");
    {
        std::ofstream out(input);
        for (auto const& c : commands) out << c << "\n";
    }
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS VEMO_CHAT_DATA='" +
                      data.string() + "' '" + std::getenv("VEMO_CHAT_BIN") + "' --automation < '" + input.string() +
                      "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    std::vector<json> answers;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) answers.push_back(json::parse(line));
    return answers;
}

bool mentions_text(json const& value, std::string const& text) { return value.dump().find(text) != std::string::npos; }

}  // namespace

TEST(Automation, CreatePostPersistAndReadBack)
{
    ASSERT_NE(std::getenv("VEMO_CHAT_BIN"), nullptr);
    TempDir dir;
    fs::path data = dir.path / "data";
    auto answers = session(data, {
        R"({"cmd":"resources"})",
        R"({"cmd":"invoke","address":"chat.workspace:ws_home","action":"new-category","value":"Projects"})",
        R"({"cmd":"invoke","address":"chat.channel:c_general","action":"post","value":"  hello from automation  "})",
        R"({"cmd":"dispatch","kind":"chat.action","json":{"CreateChannel":{"workspace":"ws_home","category":"","id":"c_auto","name":"auto","kind":"Text"}}})",
        R"({"cmd":"invoke","address":"chat.channel:c_auto","action":"post","value":"second"})",
        "this is not json",
        R"({"cmd":"operation","type":"effect","json":{"OpenChannel":{"workspace":"ws_home","channel":"c_auto"}}})",
        R"({"cmd":"operation","type":"view","json":{"OpenChannel":{"workspace":"ws_home","channel":"c_auto"}}})",
        R"({"cmd":"dispatch","kind":"chat.action","json":"{\"sendMessage\":{}}"})",
        R"({"cmd":"invoke","address":"chat.channel:nope","action":"post","value":"x"})",
        R"({"cmd":"bogus"})",
        R"({"cmd":"heads"})",
        R"({"cmd":"document"})",
        R"({"cmd":"quit"})",
        R"({"cmd":"resources"})",  // after quit: never answered
    });
    ASSERT_EQ(answers.size(), 14u);
    EXPECT_TRUE(answers[0]["ok"]);
    EXPECT_TRUE(mentions_text(answers[0]["result"], "chat.workspace:ws_home"));
    EXPECT_TRUE(answers[1]["ok"]) << answers[1];
    EXPECT_TRUE(answers[2]["ok"]) << answers[2];
    EXPECT_TRUE(answers[3]["ok"]) << answers[3];
    EXPECT_TRUE(answers[4]["ok"]) << answers[4];
    EXPECT_FALSE(answers[5]["ok"]);
    EXPECT_TRUE(mentions_text(answers[5]["error"], "malformed command"));
    EXPECT_EQ(answers[6]["error"], "Chat navigation requires a View operation");
    EXPECT_TRUE(answers[7]["ok"]) << answers[7];
    EXPECT_FALSE(answers[8]["ok"]);
    EXPECT_TRUE(mentions_text(answers[8]["error"], "unknown variant `sendMessage`"));
    EXPECT_FALSE(answers[9]["ok"]);
    EXPECT_FALSE(answers[10]["ok"]);
    EXPECT_FALSE(answers[11]["result"].empty());
    json document = answers[12]["result"];
    EXPECT_TRUE(mentions_text(document, "\"hello from automation\"")) << "the text is trimmed";
    EXPECT_TRUE(mentions_text(document, "Projects"));
    EXPECT_TRUE(mentions_text(document, "\"second\""));

    auto again = session(data, {R"({"cmd":"document"})"});
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(mentions_text(again[0]["result"], "hello from automation"));
    EXPECT_TRUE(mentions_text(again[0]["result"], "\"second\""));
}
