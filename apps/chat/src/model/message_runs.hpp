#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "doc/records.hpp"

namespace chat::model {

// Every channel's messages, channel by channel, read like one sequence. Each channel's run
// has a vector of its own, so a message added to or removed from one channel moves none of
// the others' messages; a run is contiguous, the whole is not.
class MessageRuns {
    // Random access over the runs; never rests at the end of a run other than past the last.
    template <bool Const>
    class Iter {
        using Owner = std::conditional_t<Const, MessageRuns const, MessageRuns>;

      public:
        using iterator_concept = std::random_access_iterator_tag;
        using iterator_category = std::random_access_iterator_tag;
        using value_type = Message;
        using difference_type = ptrdiff_t;
        using reference = std::conditional_t<Const, Message const&, Message&>;
        using pointer = std::conditional_t<Const, Message const*, Message*>;

        Iter() = default;
        Iter(Owner* owner, size_t run, size_t offset)
            : m_owner(owner), m_run(run), m_offset(offset) {
            skip_empty();
        }
        template <bool C = Const, class = std::enable_if_t<C>>
        Iter(Iter<false> const& other) : Iter(other.m_owner, other.m_run, other.m_offset) {}

        reference operator*() const { return m_owner->m_runs[m_run][m_offset]; }
        pointer operator->() const { return &**this; }
        reference operator[](difference_type n) const { return *(*this + n); }

        Iter& operator++() {
            ++m_offset;
            skip_empty();
            return *this;
        }
        Iter operator++(int) {
            auto old = *this;
            ++*this;
            return old;
        }
        Iter& operator--() {
            while (m_offset == 0) m_offset = m_owner->m_runs[--m_run].size();
            --m_offset;
            return *this;
        }
        Iter operator--(int) {
            auto old = *this;
            --*this;
            return old;
        }
        Iter& operator+=(difference_type n) {
            return *this = locate<Const>(m_owner, size_t(difference_type(flat()) + n));
        }
        Iter& operator-=(difference_type n) { return *this += -n; }
        friend Iter operator+(Iter it, difference_type n) { return it += n; }
        friend Iter operator+(difference_type n, Iter it) { return it += n; }
        friend Iter operator-(Iter it, difference_type n) { return it -= n; }
        friend difference_type operator-(Iter const& a, Iter const& b) {
            return difference_type(a.flat()) - difference_type(b.flat());
        }
        friend bool operator==(Iter const& a, Iter const& b) {
            return a.m_run == b.m_run && a.m_offset == b.m_offset;
        }
        friend auto operator<=>(Iter const& a, Iter const& b) {
            return std::tie(a.m_run, a.m_offset) <=> std::tie(b.m_run, b.m_offset);
        }

        size_t run() const { return m_run; }
        size_t offset() const { return m_offset; }

      private:
        friend class Iter<!Const>;

        void skip_empty() {
            auto const& runs = m_owner->m_runs;
            while (m_run < runs.size() && m_offset == runs[m_run].size()) {
                ++m_run;
                m_offset = 0;
            }
        }
        size_t flat() const {
            return m_owner->m_starts.empty() ? 0 : m_owner->m_starts[m_run] + m_offset;
        }

        Owner* m_owner = nullptr;
        size_t m_run = 0;
        size_t m_offset = 0;
    };

  public:
    using value_type = Message;
    using size_type = size_t;
    using difference_type = ptrdiff_t;
    using reference = Message&;
    using const_reference = Message const&;
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;
    using reverse_iterator = std::reverse_iterator<iterator>;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;

    MessageRuns() = default;
    MessageRuns(std::initializer_list<Message> messages) { assign(messages); }
    MessageRuns& operator=(std::initializer_list<Message> messages) {
        assign(messages);
        return *this;
    }
    // One run per element of `runs`, in that order; empty runs are kept (and skipped when
    // reading the sequence).
    explicit MessageRuns(std::vector<std::vector<Message>> runs) : m_runs(std::move(runs)) {
        recount();
    }

    size_t size() const { return m_starts.empty() ? 0 : m_starts.back(); }
    bool empty() const { return size() == 0; }
    Message const& operator[](size_t i) const { return *locate<true>(this, i); }
    Message& operator[](size_t i) { return *locate<false>(this, i); }
    Message const& front() const { return *begin(); }
    Message const& back() const { return *std::prev(end()); }

    const_iterator begin() const { return locate<true>(this, 0); }
    const_iterator end() const { return {this, m_runs.size(), 0}; }
    iterator begin() { return locate<false>(this, 0); }
    iterator end() { return {this, m_runs.size(), 0}; }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }
    const_reverse_iterator rbegin() const { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const { return const_reverse_iterator(begin()); }
    reverse_iterator rbegin() { return reverse_iterator(end()); }
    reverse_iterator rend() { return reverse_iterator(begin()); }

    void clear() {
        m_runs.clear();
        m_starts.clear();
    }
    // Appends to the last run when it holds the same channel (or nothing), else starts a run.
    void push_back(Message m);
    // Inserts before `at` into the run `at` points into, or into the run before when `at` is
    // that run's end and the message belongs to its channel.
    iterator insert(const_iterator at, Message m);

    // The runs, one per channel, as the view model lays them out.
    size_t run_count() const { return m_runs.size(); }
    std::span<Message const> run(size_t i) const { return m_runs[i]; }
    // The first run of the channel's messages; empty when it has none.
    std::span<Message const> channel(std::string_view id) const;
    // For the owner of the layout: change runs in place, then recount() once sizes changed.
    std::vector<Message>& run_for_update(size_t i) { return m_runs[i]; }
    std::vector<std::vector<Message>>& runs_for_update() { return m_runs; }
    void recount();

    friend bool operator==(MessageRuns const& a, MessageRuns const& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }

  private:
    void assign(std::initializer_list<Message> messages);

    template <bool Const, class Self>
    static Iter<Const> locate(Self* self, size_t i) {
        if (i >= self->size()) return {self, self->m_runs.size(), 0};
        auto run = size_t(std::ranges::upper_bound(self->m_starts, i) - self->m_starts.begin()) - 1;
        return {self, run, i - self->m_starts[run]};
    }

    std::vector<std::vector<Message>> m_runs;
    std::vector<size_t> m_starts;  // where each run starts in the sequence, then the size
};

inline void MessageRuns::recount() {
    m_starts.resize(m_runs.size() + 1);
    size_t at = 0;
    for (size_t i = 0; i < m_runs.size(); ++i) {
        m_starts[i] = at;
        at += m_runs[i].size();
    }
    m_starts.back() = at;
}

inline void MessageRuns::assign(std::initializer_list<Message> messages) {
    clear();
    for (auto const& m : messages) push_back(m);
}

inline void MessageRuns::push_back(Message m) {
    if (m_starts.empty()) m_starts.push_back(0);
    if (m_runs.empty() || (!m_runs.back().empty() && m_runs.back().front().channel != m.channel)) {
        m_runs.emplace_back();
        m_starts.push_back(m_starts.back());
    }
    m_runs.back().push_back(std::move(m));
    ++m_starts.back();
}

inline MessageRuns::iterator MessageRuns::insert(const_iterator at, Message m) {
    size_t run = at.run();
    size_t offset = at.offset();
    if (offset == 0) {
        // At a run's start: the end of the run before, when the message belongs there.
        size_t before = run;
        while (before > 0 && m_runs[before - 1].empty()) --before;
        bool fits_here = run < m_runs.size() && m_runs[run].front().channel == m.channel;
        if (before > 0 && !fits_here && m_runs[before - 1].front().channel == m.channel) {
            run = before - 1;
            offset = m_runs[run].size();
        }
    }
    if (run == m_runs.size()) {
        push_back(std::move(m));
        return std::prev(end());
    }
    auto& target = m_runs[run];
    target.insert(target.begin() + ptrdiff_t(offset), std::move(m));
    recount();
    return {this, run, offset};
}

inline std::span<Message const> MessageRuns::channel(std::string_view id) const {
    for (auto const& run : m_runs)
        if (!run.empty() && run.front().channel == id) return run;
    return {};
}

}  // namespace chat::model
