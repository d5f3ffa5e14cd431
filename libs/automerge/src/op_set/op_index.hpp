#pragma once

// Open-addressing map from op ids to indices. Lookups by id are the hottest path when
// applying and loading changes, and node-based hash maps spend most of that time chasing
// pointers.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "storage/ops.hpp"

namespace automerge::op_set {

// Ids of one actor are mostly dense counters, so each actor has a table indexed by counter
// as long as it stays at least about half full; ids out of its reach go to a hash table.
class OpIndex {
  public:
    std::optional<uint32_t> find(storage::OpRef id) const {
        if (id.actor < m_dense.size()) {
            auto const& d = m_dense[id.actor].slots;
            if (id.counter < d.size() && d[id.counter] != empty) return d[id.counter];
        }
        if (m_hashed == 0) return std::nullopt;
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
        if (id.actor < max_dense_actors) {
            if (id.actor >= m_dense.size()) m_dense.resize(id.actor + 1);
            Dense& d = m_dense[id.actor];
            if (id.counter >= d.slots.size() && id.counter < 2 * d.count + dense_slack)
                d.slots.resize(std::max<size_t>(id.counter + 1, d.slots.size() * 3 / 2), empty);
            if (id.counter < d.slots.size()) {
                uint32_t& slot = d.slots[id.counter];
                if (slot != empty || (m_hashed != 0 && hashed(id))) return false;
                slot = value;
                ++d.count;
                ++m_size;
                return true;
            }
        }
        if (id.actor < m_dense.size()) m_dense[id.actor].spilled = true;
        if ((m_hashed + 1) * 3 > m_slots.size() * 2) grow();
        size_t mask = m_slots.size() - 1;
        for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            Slot& s = m_slots[i];
            if (s.value == empty) {
                s = Slot{id.counter, id.actor, value};
                ++m_hashed;
                ++m_size;
                return true;
            }
            if (s.counter == id.counter && s.actor == id.actor) return false;
        }
    }
    // Room for the ids of `actor` up to `max_counter`, when about `count` of them will come.
    void reserve_actor(uint32_t actor, uint64_t max_counter, uint64_t count) {
        if (actor >= max_dense_actors || max_counter >= 2 * count + dense_slack) return;
        if (actor >= m_dense.size()) m_dense.resize(actor + 1);
        auto& d = m_dense[actor].slots;
        if (d.size() <= max_counter) d.resize(max_counter + 1, empty);
    }
    size_t size() const { return m_size; }
    // The values of `actor`'s ids by counter (`empty` where there is none), when every id of
    // that actor is in its table.
    std::optional<std::span<uint32_t const>> by_counter(uint32_t actor) const {
        if (actor >= m_dense.size() || m_dense[actor].spilled) return std::nullopt;
        return m_dense[actor].slots;
    }
    static constexpr uint32_t empty = UINT32_MAX;

  private:
    static constexpr uint32_t max_dense_actors = 1u << 16;
    static constexpr uint64_t dense_slack = 4096;
    struct Dense {
        std::vector<uint32_t> slots;  // by counter
        uint64_t count = 0;
        bool spilled = false;  // some ids of the actor are hashed
    };
    struct Slot {
        uint64_t counter = 0;
        uint32_t actor = 0;
        uint32_t value = empty;
    };
    bool hashed(storage::OpRef id) const {
        size_t mask = m_slots.size() - 1;
        for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            Slot const& s = m_slots[i];
            if (s.value == empty) return false;
            if (s.counter == id.counter && s.actor == id.actor) return true;
        }
    }
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
    void grow() {
        std::vector<Slot> old = std::move(m_slots);
        m_slots.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        size_t mask = m_slots.size() - 1;
        for (auto const& s : old) {
            if (s.value == empty) continue;
            size_t i = hash(storage::OpRef{s.counter, s.actor}) & mask;
            while (m_slots[i].value != empty) i = (i + 1) & mask;
            m_slots[i] = s;
        }
    }

    std::vector<Dense> m_dense;  // by actor
    std::vector<Slot> m_slots;
    size_t m_hashed = 0;
    size_t m_size = 0;
};

}  // namespace automerge::op_set
