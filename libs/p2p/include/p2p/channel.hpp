#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace p2p {

// Posts a task to some thread (usually a runtime worker).
using Executor = std::function<void(std::move_only_function<void()>)>;

enum class TrySendError { Full, Closed };

namespace detail {

template <typename T>
struct ChannelState {
    explicit ChannelState(std::size_t capacity) : capacity(capacity) {}

    std::mutex mutex;
    std::size_t capacity;
    std::deque<T> items;
    std::size_t senders = 1;
    bool receiver_alive = true;
    std::function<void(std::optional<T>)> waiter;
    Executor waiter_executor;
};

}  // namespace detail

template <typename T>
class Receiver;

// The producing end of a bounded queue. Copies share one queue; the queue closes for the
// receiver once every copy is gone. Sending never waits: a full queue refuses the item.
template <typename T>
class Sender {
  public:
    Sender(Sender const& other) : m_state(other.m_state) {
        if (m_state) {
            std::lock_guard lock(m_state->mutex);
            ++m_state->senders;
        }
    }
    Sender(Sender&& other) noexcept : m_state(std::move(other.m_state)) {}
    Sender& operator=(Sender other) noexcept {
        std::swap(m_state, other.m_state);
        return *this;
    }
    ~Sender() { release(); }

    // On failure the item is dropped; callers that need it back keep a copy.
    std::optional<TrySendError> try_send(T item) {
        if (!m_state) return TrySendError::Closed;
        std::unique_lock lock(m_state->mutex);
        if (!m_state->receiver_alive) return TrySendError::Closed;
        if (m_state->waiter) {
            auto waiter = std::move(m_state->waiter);
            auto executor = std::move(m_state->waiter_executor);
            m_state->waiter = nullptr;
            lock.unlock();
            deliver(std::move(executor), std::move(waiter), std::optional<T>(std::move(item)));
            return std::nullopt;
        }
        if (m_state->items.size() >= m_state->capacity) return TrySendError::Full;
        m_state->items.push_back(std::move(item));
        return std::nullopt;
    }

    bool is_closed() const {
        if (!m_state) return true;
        std::lock_guard lock(m_state->mutex);
        return !m_state->receiver_alive;
    }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> bounded_channel(std::size_t capacity);
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : m_state(std::move(state)) {}

    void release() {
        if (!m_state) return;
        std::unique_lock lock(m_state->mutex);
        if (--m_state->senders == 0 && m_state->waiter && m_state->items.empty()) {
            auto waiter = std::move(m_state->waiter);
            auto executor = std::move(m_state->waiter_executor);
            m_state->waiter = nullptr;
            lock.unlock();
            deliver(std::move(executor), std::move(waiter), std::nullopt);
        }
        m_state.reset();
    }

    static void deliver(Executor executor, std::function<void(std::optional<T>)> waiter,
                        std::optional<T> item) {
        if (!executor) {
            waiter(std::move(item));
            return;
        }
        auto task = [waiter = std::move(waiter), item = std::move(item)]() mutable {
            waiter(std::move(item));
        };
        executor(std::move(task));
    }

    std::shared_ptr<detail::ChannelState<T>> m_state;
};

// The consuming end. Dropping it closes the queue for every sender.
template <typename T>
class Receiver {
  public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            close();
            m_state = std::move(other.m_state);
        }
        return *this;
    }
    ~Receiver() { close(); }

    std::optional<T> try_recv() {
        if (!m_state) return std::nullopt;
        std::lock_guard lock(m_state->mutex);
        if (m_state->items.empty()) return std::nullopt;
        T item = std::move(m_state->items.front());
        m_state->items.pop_front();
        return item;
    }

    // True once every sender is gone and nothing is left to take.
    bool is_finished() const {
        if (!m_state) return true;
        std::lock_guard lock(m_state->mutex);
        return m_state->senders == 0 && m_state->items.empty();
    }

    std::size_t size() const {
        if (!m_state) return 0;
        std::lock_guard lock(m_state->mutex);
        return m_state->items.size();
    }

    // Calls `fn` through `executor` with the next item, or with nothing once the queue is
    // finished. One request may be outstanding at a time.
    void recv_async(Executor executor, std::function<void(std::optional<T>)> fn) {
        if (!m_state) {
            executor([fn = std::move(fn)] { fn(std::nullopt); });
            return;
        }
        std::unique_lock lock(m_state->mutex);
        if (!m_state->items.empty() || m_state->senders == 0) {
            std::optional<T> item;
            if (!m_state->items.empty()) {
                item = std::move(m_state->items.front());
                m_state->items.pop_front();
            }
            lock.unlock();
            executor(
                [fn = std::move(fn), item = std::move(item)]() mutable { fn(std::move(item)); });
            return;
        }
        m_state->waiter = std::move(fn);
        m_state->waiter_executor = std::move(executor);
    }

    void close() {
        if (!m_state) return;
        std::deque<T> dropped;
        std::function<void(std::optional<T>)> waiter;
        {
            std::lock_guard lock(m_state->mutex);
            m_state->receiver_alive = false;
            dropped.swap(m_state->items);
            waiter = std::move(m_state->waiter);
            m_state->waiter = nullptr;
            m_state->waiter_executor = nullptr;
        }
        m_state.reset();
    }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> bounded_channel(std::size_t capacity);
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : m_state(std::move(state)) {}

    std::shared_ptr<detail::ChannelState<T>> m_state;
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> bounded_channel(std::size_t capacity) {
    auto state = std::make_shared<detail::ChannelState<T>>(capacity);
    return {Sender<T>(state), Receiver<T>(std::move(state))};
}

}  // namespace p2p
