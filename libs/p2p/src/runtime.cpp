#include "p2p/runtime.hpp"

#include "event_loop.hpp"

namespace p2p {

Result<std::shared_ptr<Runtime>> Runtime::create() {
    std::shared_ptr<Runtime> runtime(new Runtime());
    for (auto& loop : runtime->m_loops) {
        auto started = EventLoop::start();
        if (!started) return std::unexpected(started.error());
        loop = std::make_unique<EventLoop>(std::move(*started));
    }
    return runtime;
}

Runtime::~Runtime() {
    for (auto& loop : m_loops)
        if (loop) loop->stop();
}

EventLoop& Runtime::next_loop() {
    return *m_loops[m_next.fetch_add(1, std::memory_order_relaxed) % worker_count];
}

Executor Runtime::executor_of(EventLoop const& loop) {
    return [loop](std::move_only_function<void()> task) { loop.post(std::move(task)); };
}

}  // namespace p2p
