#pragma once

#include <concepts>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace chat {

// An optional value kept on the heap. Records held by the ten thousand (messages) carry a few
// large fields that most of them lack; kept inline those would more than double the size of
// every record, and reading, copying and freeing a long history walks all of it. An absent
// value costs one pointer. Reads and writes like std::optional; copies copy the value.
template <class T>
class HeapOptional;

// What a HeapOptional<T> can be made from in one step, as for std::optional<T>.
template <class U, class T>
concept ValueFor =
    !std::same_as<std::remove_cvref_t<U>, HeapOptional<T>> &&
    !std::same_as<std::remove_cvref_t<U>, std::nullopt_t> &&
    !std::same_as<std::remove_cvref_t<U>, std::optional<T>> && std::constructible_from<T, U&&>;

template <class T>
class HeapOptional {
  public:
    using value_type = T;

    HeapOptional() = default;
    HeapOptional(std::nullopt_t) {}
    template <ValueFor<T> U = T>
    HeapOptional(U&& value) : m_value(std::make_unique<T>(std::forward<U>(value))) {}
    HeapOptional(std::optional<T> const& value)
        : m_value(value ? std::make_unique<T>(*value) : nullptr) {}
    HeapOptional(std::optional<T>&& value)
        : m_value(value ? std::make_unique<T>(std::move(*value)) : nullptr) {}

    HeapOptional(HeapOptional const& other)
        : m_value(other.m_value ? std::make_unique<T>(*other.m_value) : nullptr) {}
    HeapOptional(HeapOptional&&) noexcept = default;
    HeapOptional& operator=(HeapOptional const& other) {
        if (this != &other) *this = HeapOptional(other);
        return *this;
    }
    HeapOptional& operator=(HeapOptional&&) noexcept = default;
    HeapOptional& operator=(std::nullopt_t) {
        m_value.reset();
        return *this;
    }

    template <class... Args>
    T& emplace(Args&&... args) {
        m_value = std::make_unique<T>(std::forward<Args>(args)...);
        return *m_value;
    }
    void reset() { m_value.reset(); }

    bool has_value() const { return m_value != nullptr; }
    explicit operator bool() const { return has_value(); }
    T& operator*() { return *m_value; }
    T const& operator*() const { return *m_value; }
    T* operator->() { return m_value.get(); }
    T const* operator->() const { return m_value.get(); }
    T& value() {
        if (!m_value) throw std::bad_optional_access();
        return *m_value;
    }
    T const& value() const {
        if (!m_value) throw std::bad_optional_access();
        return *m_value;
    }
    template <class U>
    T value_or(U&& fallback) const {
        return m_value ? *m_value : static_cast<T>(std::forward<U>(fallback));
    }

    // As a plain optional, for code that keeps or passes one.
    std::optional<T> to_optional() const {
        return m_value ? std::optional<T>(*m_value) : std::nullopt;
    }
    operator std::optional<T>() const { return to_optional(); }

    friend bool operator==(HeapOptional const& a, HeapOptional const& b) {
        if (!a.m_value || !b.m_value) return !a.m_value && !b.m_value;
        return *a.m_value == *b.m_value;
    }
    friend bool operator==(HeapOptional const& a, std::nullopt_t) { return !a.m_value; }
    friend bool operator==(HeapOptional const& a, std::optional<T> const& b) {
        if (!a.m_value || !b) return !a.m_value && !b;
        return *a.m_value == *b;
    }

  private:
    std::unique_ptr<T> m_value;
};

}  // namespace chat
