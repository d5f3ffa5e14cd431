#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern char** environ;

namespace {

struct Peer {
    pid_t pid = -1;
    int to_child = -1;
    int from_child = -1;
    std::string buffered;

    // Reads one line, giving up after `timeout_ms`.
    std::string read_line(int timeout_ms) {
        for (;;) {
            auto nl = buffered.find('\n');
            if (nl != std::string::npos) {
                auto line = buffered.substr(0, nl);
                buffered.erase(0, nl + 1);
                return line;
            }
            pollfd fd{from_child, POLLIN, 0};
            if (poll(&fd, 1, timeout_ms) <= 0) return {};
            char buf[4096];
            auto n = read(from_child, buf, sizeof buf);
            if (n <= 0) return {};
            buffered.append(buf, static_cast<std::size_t>(n));
        }
    }

    void write_line(std::string const& line) {
        auto text = line + "\n";
        ASSERT_EQ(write(to_child, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
};

Peer spawn_peer(char const* path) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    Peer peer;
    char* argv[] = {const_cast<char*>(path), const_cast<char*>("50"), nullptr};
    EXPECT_EQ(posix_spawn(&peer.pid, path, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    peer.to_child = in[1];
    peer.from_child = out[0];
    return peer;
}

int wait_exit(Peer& peer) {
    int status = 0;
    waitpid(peer.pid, &status, 0);
    close(peer.from_child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(TwoProcesses, ExchangeMediaFramesThroughTickets) {
    char const* path = std::getenv("MEDIA_PEER");
    ASSERT_NE(path, nullptr) << "MEDIA_PEER names the helper executable";
    Peer a = spawn_peer(path);
    Peer b = spawn_peer(path);
    auto ticket_a = a.read_line(5000);
    auto ticket_b = b.read_line(5000);
    ASSERT_FALSE(ticket_a.empty());
    ASSERT_FALSE(ticket_b.empty());
    EXPECT_NE(ticket_a, ticket_b);
    a.write_line(ticket_b);
    b.write_line(ticket_a);
    EXPECT_EQ(a.read_line(15000), "done");
    EXPECT_EQ(b.read_line(15000), "done");
    close(a.to_child);
    close(b.to_child);
    EXPECT_EQ(wait_exit(a), 0);
    EXPECT_EQ(wait_exit(b), 0);
}

}  // namespace
