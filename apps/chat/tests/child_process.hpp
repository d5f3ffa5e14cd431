#pragma once
// A helper executable driven line by line over its stdin and stdout, for tests that need
// a second process (its own endpoint, its own memory figures).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace chat::testing {

struct ChildProcess {
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

    // Closes its stdin and returns its exit status (128 + signal when killed).
    int finish() {
        close(to_child);
        int status = 0;
        waitpid(pid, &status, 0);
        close(from_child);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

inline ChildProcess spawn_child(std::vector<std::string> args) {
    int in[2], out[2];
    // Close-on-exec, so that a later child does not hold this one's stdin open.
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    ChildProcess child;
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    child.to_child = in[1];
    child.from_child = out[0];
    return child;
}

}  // namespace chat::testing
