#pragma once

// Open-addressing map from op ids to indices. Lookups by id are the hottest path when
// applying and loading changes, and node-based hash maps spend most of that time chasing
// pointers.

#include <cstdint>
#include <optional>
#include <vector>

#include "storage/ops.hpp"

namespace automerge::op_set {

class OpIndex {
  public:
    std::optional<uint32_t> find(storage::OpRef id) const {
        if (m_slots.empty()) return std::nullopt;
        size_t mask = m_slots.size() - 1;
        for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            Slot const& s = m_slots[i];
            if (s.value == empty) return std::nullopt;
            if (s.counter == id.counter && s.actor == id.actor) return s.value;
        }
    }
    bool contains(storage::OpRef id) const { return find(id).has_value(); }

    // Returns false (and changes nothing) when the id is present already.
    bool insert(storage::OpRef id, uint32_t value) {
        if ((m_size + 1) * 3 > m_slots.size() * 2) grow();
        size_t mask = m_slots.size() - 1;
        for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            Slot& s = m_slots[i];
            if (s.value == empty) {
                s = Slot{id.counter, id.actor, value};
                ++m_size;
                return true;
            }
            if (s.counter == id.counter && s.actor == id.actor) return false;
        }
    }
    void reserve(size_t n) {
        size_t want = m_slots.empty() ? 64 : m_slots.size();
        while (want * 2 < n * 3) want *= 2;
        if (want != m_slots.size()) rehash(want);
    }
    size_t size() const { return m_size; }

  private:
    static constexpr uint32_t empty = UINT32_MAX;
    struct Slot {
        uint64_t counter = 0;
        uint32_t actor = 0;
        uint32_t value = empty;
    };
    // Runs of 16 consecutive counters of one actor share neighbouring slots (ops are mostly
    // created and looked up in counter order), and the runs themselves are scattered.
    static size_t hash(storage::OpRef id) {
        uint64_t x = (id.counter >> 4) * 0x9e3779b97f4a7c15ull + id.actor;
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ull;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebull;
        x ^= x >> 31;
        return static_cast<size_t>((x << 4) | (id.counter & 15));
    }
    void grow() { rehash(m_slots.empty() ? 64 : m_slots.size() * 2); }
    void rehash(size_t size) {
        std::vector<Slot> old = std::move(m_slots);
        m_slots.assign(size, Slot{});
        m_size = 0;
        for (auto const& s : old)
            if (s.value != empty) insert(storage::OpRef{s.counter, s.actor}, s.value);
    }

    std::vector<Slot> m_slots;
    size_t m_size = 0;
};

}  // namespace automerge::op_set
