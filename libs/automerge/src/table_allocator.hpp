#pragma once

// An allocator for the few tables that grow to tens of megabytes (one entry per op of a large
// document). Such blocks are mapped fresh from the kernel on every allocation, and touching
// them page by page costs a fault per 4 KiB; asking for transparent huge pages turns that
// into one fault per 2 MiB and spares the TLB on the random lookups these tables serve.
// Smaller blocks come from the ordinary heap.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace automerge {

inline constexpr size_t huge_page_size = size_t{2} << 20;
// Below this a table gains little from huge pages and could waste most of one.
inline constexpr size_t huge_table_min_bytes = size_t{8} << 20;

template <class T>
struct TableAllocator {
    using value_type = T;

    TableAllocator() = default;
    template <class U>
    TableAllocator(TableAllocator<U> const&) noexcept {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        size_t bytes = n * sizeof(T);
        if (bytes < huge_table_min_bytes) return static_cast<T*>(::operator new(bytes));
        size_t rounded = (bytes + huge_page_size - 1) / huge_page_size * huge_page_size;
        void* p = std::aligned_alloc(huge_page_size, rounded);
        if (!p) throw std::bad_alloc();
        // Only advice: without huge pages the table works the same.
        madvise(p, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }

    void deallocate(T* p, size_t n) noexcept {
        if (n * sizeof(T) < huge_table_min_bytes)
            ::operator delete(p);
        else
            std::free(p);
    }

    template <class U>
    bool operator==(TableAllocator<U> const&) const noexcept {
        return true;
    }
};

}  // namespace automerge
