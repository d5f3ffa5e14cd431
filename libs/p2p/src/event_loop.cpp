#include "event_loop.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace p2p {

struct EventLoop::Core {
    int epoll_fd = -1;
    int wake_fd = -1;
    std::thread::id thread_id;
    std::atomic<bool> stopping{false};

    std::mutex mutex;
    std::vector<Task> tasks;  // guarded by mutex
    bool stopped = false;     // guarded by mutex

    // Worker-only state.
    std::unordered_map<int, std::shared_ptr<Task>> watchers;
    std::multimap<Clock::time_point, TimerId> timer_order;
    std::unordered_map<TimerId,
                       std::pair<std::multimap<Clock::time_point, TimerId>::iterator, Task>>
        timers;
    TimerId next_timer = 1;

    ~Core() {
        if (epoll_fd >= 0) close(epoll_fd);
        if (wake_fd >= 0) close(wake_fd);
    }

    void wake() {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = write(wake_fd, &one, sizeof one);
    }

    void run_tasks() {
        std::vector<Task> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(tasks);
        }
        for (auto& task : batch) task();
    }

    // Runs the timers that were due on entry. Timers they schedule wait for the next
    // turn, so a timer that keeps re-arming itself cannot starve the sockets.
    void run_timers() {
        auto now = Clock::now();
        std::vector<TimerId> due;
        for (auto it = timer_order.begin(); it != timer_order.end() && it->first <= now; ++it)
            due.push_back(it->second);
        for (auto id : due) {
            auto it = timers.find(id);
            if (it == timers.end()) continue;
            timer_order.erase(it->second.first);
            Task task = std::move(it->second.second);
            timers.erase(it);
            task();
        }
    }

    int timeout_ms() {
        {
            std::lock_guard lock(mutex);
            if (!tasks.empty()) return 0;
        }
        if (timer_order.empty()) return 1000;
        auto wait = timer_order.begin()->first - Clock::now();
        if (wait <= Clock::duration::zero()) return 0;
        // Round up so that a timer is never woken a little early and spun on.
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
        return static_cast<int>(std::min<long long>(ms, 1000));
    }

    void run() {
        epoll_event events[64];
        while (!stopping.load(std::memory_order_acquire)) {
            int n = epoll_wait(epoll_fd, events, 64, timeout_ms());
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == wake_fd) {
                    std::uint64_t count;
                    [[maybe_unused]] auto r = read(wake_fd, &count, sizeof count);
                    continue;
                }
                auto it = watchers.find(fd);
                if (it == watchers.end()) continue;
                auto handler = it->second;
                (*handler)();
            }
            run_tasks();
            run_timers();
        }
        shutdown();
    }

    // Drops whatever is still queued. Dropping tasks may post again (handles whose
    // destructors release resources), so repeat until nothing is left.
    void shutdown() {
        std::vector<Task> leftover;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                stopped = true;
                leftover.swap(tasks);
            }
            if (leftover.empty()) break;
            leftover.clear();
        }
        watchers.clear();
        timers.clear();
        timer_order.clear();
    }
};

Result<EventLoop> EventLoop::start() {
    auto core = std::make_shared<Core>();
    core->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    core->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (core->epoll_fd < 0 || core->wake_fd < 0)
        return fail(ErrorKind::Other, "cannot create the worker's event loop");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = core->wake_fd;
    if (epoll_ctl(core->epoll_fd, EPOLL_CTL_ADD, core->wake_fd, &ev) != 0)
        return fail(ErrorKind::Other, "cannot watch the worker's wake-up descriptor");
    try {
        std::thread thread([core] { core->run(); });
        core->thread_id = thread.get_id();
        thread.detach();
    } catch (std::system_error const& e) {
        return fail(ErrorKind::Other, std::string("cannot start a worker thread: ") + e.what());
    }
    // The thread id is published before any task can run on it: tasks arrive via post.
    return EventLoop(std::move(core));
}

void EventLoop::stop() {
    m_core->stopping.store(true, std::memory_order_release);
    m_core->wake();
    // The worker owns a reference to the core and finishes on its own time, so a loop
    // stopped from inside its own worker never waits for itself.
}

void EventLoop::post(Task task) const {
    bool was_empty;
    {
        std::unique_lock lock(m_core->mutex);
        if (m_core->stopped) {
            lock.unlock();
            return;  // `task` is dropped outside the lock
        }
        was_empty = m_core->tasks.empty();
        m_core->tasks.push_back(std::move(task));
    }
    if (was_empty && !is_current()) m_core->wake();
}

bool EventLoop::is_current() const {
    return std::this_thread::get_id() == m_core->thread_id;
}

void EventLoop::watch(int fd, Task on_readable) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(m_core->epoll_fd, EPOLL_CTL_ADD, fd, &ev);
    m_core->watchers[fd] = std::make_shared<Task>(std::move(on_readable));
}

void EventLoop::unwatch(int fd) {
    epoll_ctl(m_core->epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    m_core->watchers.erase(fd);
}

EventLoop::TimerId EventLoop::schedule(Clock::time_point when, Task task) {
    TimerId id = m_core->next_timer++;
    auto it = m_core->timer_order.emplace(when, id);
    m_core->timers.emplace(id, std::make_pair(it, std::move(task)));
    return id;
}

void EventLoop::cancel(TimerId id) {
    auto it = m_core->timers.find(id);
    if (it == m_core->timers.end()) return;
    m_core->timer_order.erase(it->second.first);
    m_core->timers.erase(it);
}

std::uint64_t monotonic_ns() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

}  // namespace p2p
