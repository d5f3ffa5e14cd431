// The search command of the automation mode, against the real program: what an agent sees
// when it looks something up, and that the index survives between runs.
#include "automation_session.hpp"
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class SearchAutomation : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/chat-search-automation-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<json> session(std::vector<std::string> const& commands) {
        return chat::test::automation_session(dir / "data", commands,
                                              "XDG_CACHE_HOME='" + (dir / "cache").string() + "'");
    }
    fs::path dir;
};

TEST_F(SearchAutomation, FindsWhatWasPostedInRankOrderAndAcrossRuns) {
    ASSERT_NE(std::getenv("VEMO_CHAT_BIN"), nullptr);
    auto first = session({
        R"({"cmd":"invoke","address":"chat.channel:c_general","action":"post","value":"Zebra crossing notes"})",
        R"({"cmd":"search","query":"zébra","limit":5})",
        R"({"cmd":"search","query":"general","limit":1})",
        R"({"cmd":"search","query":"x","limit":0})",
        R"({"cmd":"search","query":"x","limit":"many"})",
        R"({"cmd":"search"})",
    });
    ASSERT_EQ(first.size(), 6u);
    ASSERT_TRUE(first[0]["ok"]) << first[0];
    ASSERT_TRUE(first[1]["ok"]) << first[1];
    auto const& found = first[1]["result"];
    ASSERT_EQ(found.size(), 1u) << found;
    EXPECT_EQ(found[0]["collection"], "Messages");
    EXPECT_EQ(found[0]["title"], "Zebra crossing notes");
    EXPECT_TRUE(found[0]["kind"].is_null());
    EXPECT_TRUE(found[0]["subtitle"].get<std::string>().find("#general") != std::string::npos);
    EXPECT_TRUE(found[0]["address"].get<std::string>().starts_with("chat.message:m_"));
    EXPECT_EQ(found[0]["provider"], "Chat");

    ASSERT_EQ(first[2]["result"].size(), 1u);  // the limit holds
    EXPECT_EQ(first[2]["result"][0]["address"], "chat.channel:c_general");
    for (size_t i : {3u, 4u, 5u}) EXPECT_FALSE(first[i]["ok"]) << first[i];

    // The next run finds it in the index kept in the cache directory.
    auto second = session({R"({"cmd":"search","query":"crossing"})"});
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0]["result"].size(), 1u) << second[0];
    EXPECT_FALSE(fs::is_empty(dir / "cache" / "vemo-chat" / "search"));
}

}  // namespace
