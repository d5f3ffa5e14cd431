// Drives the real program in its automation mode, as a software agent would: one JSON
// command a line in, one JSON answer a line out, the document persisted between runs.
#include "automation_session.hpp"
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
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

std::vector<json> session(fs::path const& data, std::vector<std::string> const& commands,
                          std::string const& extra_env = "")
{
    return chat::test::automation_session(data, commands, extra_env);
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

namespace {

std::string sha256_of_file(fs::path const& path)
{
    std::string cmd = "sha256sum '" + path.string() + "'";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[65] = {};
    EXPECT_EQ(fread(buf, 1, 64, p), 64u);
    pclose(p);
    return buf;
}

}  // namespace

TEST(Automation, AttachmentImportThroughTheOperation)
{
    TempDir dir;
    fs::path data = dir.path / "data";
    fs::path file = dir.path / "notes.txt";
    std::ofstream(file) << "meeting notes";
    std::string import = R"({"cmd":"invoke","address":"chat.channel:c_general","action":"attach","value":")" +
                         file.string() + R"("})";
    std::string missing = R"({"cmd":"invoke","address":"chat.channel:c_general","action":"attach","value":")" +
                          (dir.path / "gone.txt").string() + R"("})";
    auto answers = session(data,
                           {
                               R"({"cmd":"frames","count":1})",
                               import,
                               import,  // refused while the first is pending; a fast import may already be done
                               R"({"cmd":"settle"})",
                               missing,
                               R"({"cmd":"settle"})",
                               R"({"cmd":"document"})",
                           },
                           "XDG_DATA_HOME='" + (dir.path / "xdg").string() + "'");
    ASSERT_EQ(answers.size(), 7u);
    EXPECT_TRUE(answers[1]["ok"]) << answers[1];
    if (!answers[2]["ok"]) {
        EXPECT_EQ(answers[2]["error"], "attachment import was not accepted");
    }
    EXPECT_TRUE(answers[4]["ok"]) << answers[4] << ": a missing file is found missing in the background";
    std::string document = answers[6]["result"].dump();
    std::string reference = sha256_of_file(file);
    EXPECT_NE(document.find(reference), std::string::npos) << "the document names the bytes by their SHA-256";
    EXPECT_NE(document.find("\"notes.txt\""), std::string::npos);
    EXPECT_EQ(document.find("gone.txt"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir.path / "xdg" / "qdoc" / "blobs" / reference.substr(0, 2) / reference));
}

// The tree automation reads is the one screen readers get: rows with their actions, the live
// message list, the composer with its text.
TEST(Automation, AccessibilityTreeCarriesActionsTextAndLiveRegions)
{
    ASSERT_NE(std::getenv("VEMO_CHAT_BIN"), nullptr);
    TempDir dir;
    auto answers = session(dir.path / "data", {
        R"({"cmd":"invoke","address":"chat.channel:c_general","action":"post","value":"read me"})",
        R"({"cmd":"frames","count":2})",
        R"({"cmd":"accessibility"})",
    });
    ASSERT_EQ(answers.size(), 3u);
    ASSERT_TRUE(answers[2]["ok"]) << answers[2];
    json const* list = nullptr;
    json const* composer = nullptr;
    std::function<void(json const&)> walk = [&](json const& node) {
        if (node["id"] == "message-list") list = &node;
        if (node["id"] == "chat.composer") composer = &node;
        for (auto const& c : node["children"]) walk(c);
    };
    walk(answers[2]["result"]);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ((*list)["live"], "polite");
    ASSERT_EQ((*list)["children"].size(), 1u) << *list;
    auto const& row = (*list)["children"][0];
    EXPECT_TRUE(mentions_text(row["label"], "read me"));
    EXPECT_TRUE(mentions_text(row["actions"], "reply")) << row;
    ASSERT_NE(composer, nullptr);
    EXPECT_EQ((*composer)["text"]["text"], "");
    EXPECT_EQ((*composer)["text"]["caret"], 0);
}
