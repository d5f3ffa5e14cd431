#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "p2p/error.hpp"

namespace p2p {

using Clock = std::chrono::steady_clock;

// One worker: an epoll loop with posted tasks, readable-socket callbacks and timers.
// Copies are handles to the same worker, safe to keep after it stopped (posting then
// drops the task). Everything but `post`, `is_current` and `stop` must be called on the
// worker itself.
class EventLoop {
  public:
    using Task = std::move_only_function<void()>;
    using TimerId = std::uint64_t;

    static Result<EventLoop> start();
    void stop();

    void post(Task task) const;
    bool is_current() const;

    void watch(int fd, Task on_readable);
    void unwatch(int fd);
    TimerId schedule(Clock::time_point when, Task task);
    void cancel(TimerId id);

    struct Core;

  private:
    explicit EventLoop(std::shared_ptr<Core> core) : m_core(std::move(core)) {}
    std::shared_ptr<Core> m_core;
};

// Nanoseconds on the monotonic clock, the time base of the QUIC stack.
std::uint64_t monotonic_ns();

}  // namespace p2p
