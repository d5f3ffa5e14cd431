#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "p2p/error.hpp"

namespace p2p {

namespace detail {

template <typename T>
struct FutureState {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<Result<T>> value;
    std::function<void(Result<T>)> continuation;
};

}  // namespace detail

template <typename T>
class Promise;

// The result of an operation that completes on the runtime. `poll` never waits, so a UI
// thread can check it once per frame; `wait_for` is the blocking form for tests and tools.
template <typename T>
class Future {
  public:
    Future() = default;

    bool valid() const { return m_state != nullptr; }

    bool is_ready() const {
        if (!m_state) return false;
        std::lock_guard lock(m_state->mutex);
        return m_state->value.has_value();
    }

    // Takes the result if there is one. After a result was taken the future is empty.
    std::optional<Result<T>> poll() {
        if (!m_state) return std::nullopt;
        std::unique_lock lock(m_state->mutex);
        if (!m_state->value) return std::nullopt;
        auto out = std::move(m_state->value);
        lock.unlock();
        m_state.reset();
        return out;
    }

    std::optional<Result<T>> wait_for(std::chrono::milliseconds timeout) {
        if (!m_state) return std::nullopt;
        {
            std::unique_lock lock(m_state->mutex);
            if (!m_state->ready.wait_for(lock, timeout, [&] { return m_state->value.has_value(); }))
                return std::nullopt;
        }
        return poll();
    }

    // Runs `fn` with the result: at once if it is there, otherwise on the thread that
    // completes the promise. The future is consumed.
    void then(std::function<void(Result<T>)> fn) {
        auto state = std::move(m_state);
        if (!state) return;
        std::unique_lock lock(state->mutex);
        if (state->value) {
            auto value = std::move(*state->value);
            state->value.reset();
            lock.unlock();
            fn(std::move(value));
            return;
        }
        state->continuation = std::move(fn);
    }

  private:
    friend class Promise<T>;
    explicit Future(std::shared_ptr<detail::FutureState<T>> state) : m_state(std::move(state)) {}

    std::shared_ptr<detail::FutureState<T>> m_state;
};

// The completing side. A promise dropped without a value completes with `Cancelled`, so
// nobody polls forever for work that was abandoned (for example by a runtime shutting down).
template <typename T>
class Promise {
  public:
    Promise() : m_state(std::make_shared<detail::FutureState<T>>()) {}
    Promise(Promise&&) noexcept = default;
    Promise& operator=(Promise&& other) noexcept {
        if (this != &other) {
            abandon();
            m_state = std::move(other.m_state);
        }
        return *this;
    }
    Promise(Promise const&) = delete;
    Promise& operator=(Promise const&) = delete;
    ~Promise() { abandon(); }

    Future<T> future() const { return Future<T>(m_state); }

    void set(Result<T> value) {
        auto state = std::move(m_state);
        if (!state) return;
        std::unique_lock lock(state->mutex);
        if (state->continuation) {
            auto fn = std::move(state->continuation);
            lock.unlock();
            fn(std::move(value));
            return;
        }
        state->value = std::move(value);
        lock.unlock();
        state->ready.notify_all();
    }

  private:
    void abandon() {
        if (m_state) set(fail(ErrorKind::Cancelled, "operation cancelled"));
    }

    std::shared_ptr<detail::FutureState<T>> m_state;
};

template <typename T>
Future<T> ready_future(Result<T> value) {
    Promise<T> promise;
    auto future = promise.future();
    promise.set(std::move(value));
    return future;
}

}  // namespace p2p
