#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "vemo_ui/realtime_continuity.hpp"

namespace vemo_ui::realtime_continuity {
namespace {

namespace fs = std::filesystem;

class HandoverStore : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("realtime-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(std::string const& text) { std::ofstream(dir / "kept") << text; }
    fs::path dir;
};

TEST_F(HandoverStore, AKeptSessionComesBackOnceWhileRecent) {
    Store store(dir / "kept");
    ASSERT_TRUE(store.save(std::string(R"({"channel_id":"c_v"})"), 1000));
    EXPECT_EQ(store.take(1000 + max_handover_age_seconds), R"({"channel_id":"c_v"})");
    EXPECT_EQ(store.take(1000), std::nullopt);  // taken: the next start resumes nothing
    EXPECT_FALSE(fs::exists(dir / "kept"));
}

TEST_F(HandoverStore, StaleForeignOrBrokenHandoversAreDiscarded) {
    Store store(dir / "kept");
    struct Case {
        char const* name;
        std::string file;
    };
    Case const cases[] = {
        {"too old", R"({"saved_at":1000,"session":"x"})"},
        {"from the future", R"({"saved_at":5000,"session":"x"})"},
        {"not JSON", "{\"saved_at\":"},
        {"no time", R"({"session":"x"})"},
        {"time as text", R"({"saved_at":"1100","session":"x"})"},
        {"session not text", R"({"saved_at":1100,"session":{"a":1}})"},
        {"an array", "[]"},
    };
    for (auto const& c : cases) {
        write(c.file);
        EXPECT_EQ(store.take(1000 + max_handover_age_seconds + 1), std::nullopt) << c.name;
        EXPECT_FALSE(fs::exists(dir / "kept")) << c.name;
    }
    EXPECT_EQ(store.take(0), std::nullopt);  // nothing kept at all
}

TEST_F(HandoverStore, NothingToKeepClearsAnEarlierHandover) {
    Store store(dir / "kept");
    ASSERT_TRUE(store.save(std::string("x"), 1000));
    ASSERT_TRUE(store.save(std::nullopt, 1001));
    EXPECT_EQ(store.take(1001), std::nullopt);
    EXPECT_TRUE(store.save(std::nullopt, 1002));  // and nothing to clear is fine
}

// A participant that only records what the framework asked of it.
struct Recorder final : Participant {
    std::optional<std::string> running;
    std::string accepts;
    std::optional<std::string> imported;
    int resumes = 0;
    std::optional<std::string> export_continuation() const override { return running; }
    bool import_continuation(std::string const& text) override {
        if (text != accepts) return false;
        imported = text;
        return true;
    }
    void request_resume() override { ++resumes; }
    void request_leave() override {}
};

TEST_F(HandoverStore, HandOverAndTakeBackRoundTrip) {
    Store store(dir / "kept");
    Recorder before;
    before.running = "call";
    ASSERT_TRUE(hand_over(before, store, 1000));
    Recorder after;
    after.accepts = "call";
    auto kept = store.take(1010);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(take_back(after, *kept));
    EXPECT_EQ(after.imported, "call");
    EXPECT_EQ(after.resumes, 1);
    // A session the application no longer knows is not resumed.
    Recorder stranger;
    stranger.accepts = "other";
    EXPECT_FALSE(take_back(stranger, "call"));
    EXPECT_EQ(stranger.resumes, 0);
}

}  // namespace
}  // namespace vemo_ui::realtime_continuity
