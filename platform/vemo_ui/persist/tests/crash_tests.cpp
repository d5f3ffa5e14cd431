// A child process commits changes in a loop and tells the parent, through a pipe, which of
// them the store reported durable; the parent kills it with SIGKILL at a random moment and
// checks the file.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "store_test_support.hpp"

namespace {

using namespace persist_test;
using automerge::ObjId;
using Outcome = vemo_ui::persist::LoadReport::Outcome;

std::string key(int round, int64_t i) {
    return "r" + std::to_string(round) + "-" + std::to_string(i);
}

// Commits one change per "frame" and reports each once the store says it is durable. With
// `flush_each`, every change is flushed before it is reported.
[[noreturn]] void commit_until_killed(fs::path const& path, vemo_ui::persist::StoreOptions options,
                                      int round, int report_fd, bool flush_each) {
    auto opened = vemo_ui::persist::open_migrating("org.example.CrashTest", options, path);
    if (!opened) ::_exit(2);
    auto& store = **opened;
    std::mt19937 random(static_cast<unsigned>(round));
    std::vector<std::pair<uint64_t, int64_t>> unreported;
    for (int64_t i = 0;; ++i) {
        (void)store.document().put(ObjId::root(), key(round, i), i);
        (void)store.document().put(ObjId::root(), "pad", std::string(50 + random() % 200, 'x'));
        store.commit_frame();
        unreported.emplace_back(store.committed_generation(), i);
        if (flush_each && !store.flush()) ::_exit(3);
        store.tick(std::chrono::steady_clock::now());
        uint64_t durable = store.durable_generation();
        while (!unreported.empty() && unreported.front().first <= durable) {
            if (::write(report_fd, &unreported.front().second, sizeof(int64_t)) != sizeof(int64_t))
                ::_exit(4);
            unreported.erase(unreported.begin());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

struct Child {
    pid_t pid = -1;
    int read_fd = -1;
};

Child spawn(fs::path const& path, vemo_ui::persist::StoreOptions const& options, int round,
            bool flush_each) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        commit_until_killed(path, options, round, fds[1], flush_each);
    }
    ::close(fds[1]);
    return {pid, fds[0]};
}

// Waits for the child's end and collects what it reported.
std::vector<int64_t> reap(Child child, int& wait_status) {
    EXPECT_EQ(::waitpid(child.pid, &wait_status, 0), child.pid);
    std::vector<int64_t> reported;
    int64_t value;
    while (::read(child.read_fd, &value, sizeof value) == sizeof value) reported.push_back(value);
    ::close(child.read_fd);
    return reported;
}

class CrashTest : public testing::Test {
  protected:
    TempDir dir;
    fs::path path = dir.path() / "document.automerge";
};

TEST_F(CrashTest, EveryChangeReportedDurableSurvivesSigkill) {
    vemo_ui::persist::StoreOptions options;
    options.flush_interval = std::chrono::milliseconds(40);
    options.compact_floor = 16 << 10;
    std::mt19937 random(20261207);
    size_t total_reported = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto child = spawn(path, options, round, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 180));
        ::kill(child.pid, SIGKILL);
        int status = 0;
        auto reported = reap(child, status);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child exited by itself with " << WEXITSTATUS(status);
        total_reported += reported.size();

        auto store = open_at(path, options);
        ASSERT_TRUE(store);
        EXPECT_NE(store->load_report().outcome, Outcome::Unreadable);
        for (int64_t i : reported) ASSERT_EQ(get_int(store->document(), key(round, i)), i);
    }
    // Otherwise the test proved nothing.
    EXPECT_GT(total_reported, 100u);
}

TEST_F(CrashTest, CompactionKilledBeforeItsRenameLeavesTheOldFileIntact) {
    vemo_ui::persist::StoreOptions options;
    options.compact_floor = 4 << 10;
    options.before_compaction_rename = [] { ::raise(SIGKILL); };
    auto child = spawn(path, options, 0, true);
    int status = 0;
    auto reported = reap(child, status);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited by itself with " << WEXITSTATUS(status);
    ASSERT_FALSE(reported.empty());
    EXPECT_TRUE(fs::exists(path.string() + ".compacting"));

    auto store = open_at(path, {});
    ASSERT_TRUE(store);
    EXPECT_EQ(store->load_report().outcome, Outcome::Loaded);
    EXPECT_FALSE(fs::exists(path.string() + ".compacting"));
    for (int64_t i : reported) ASSERT_EQ(get_int(store->document(), key(0, i)), i);
}

}  // namespace
