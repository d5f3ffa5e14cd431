#pragma once
// Replaces the global operator new and delete of the executable that includes it (include
// it from exactly one file of that executable).
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// Live heap bytes, so that a test can see whether a flood is being buffered. Counting
// here instead of reading the resident set size keeps the number meaningful under
// sanitizers, whose allocators hold freed memory back.
namespace heap {
std::atomic<std::int64_t> live{0};
std::atomic<std::int64_t> peak{0};

void note(std::int64_t delta) {
    auto now = live.fetch_add(delta) + delta;
    auto seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
}
}  // namespace heap

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    heap::note(static_cast<std::int64_t>(malloc_usable_size(p)));
    return p;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    heap::note(-static_cast<std::int64_t>(malloc_usable_size(p)));
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
