#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>

#include "p2p/channel.hpp"
#include "p2p/error.hpp"

namespace p2p {

class EventLoop;

// Exactly two worker threads that run every socket, timer and connection of the endpoints
// bound on it. Each endpoint lives on one worker, so its state needs no locks.
class Runtime {
  public:
    static constexpr std::size_t worker_count = 2;

    static Result<std::shared_ptr<Runtime>> create();
    ~Runtime();

    Runtime(Runtime const&) = delete;
    Runtime& operator=(Runtime const&) = delete;

    // Picks the worker for a new endpoint, alternating between the two.
    EventLoop& next_loop();
    // An executor that posts to the given worker.
    static Executor executor_of(EventLoop const& loop);

  private:
    Runtime() = default;

    std::array<std::unique_ptr<EventLoop>, worker_count> m_loops;
    std::atomic<std::size_t> m_next{0};
};

}  // namespace p2p
