#include "table_allocator.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace automerge {
namespace {

using Table = std::vector<uint64_t, TableAllocator<uint64_t>>;
constexpr size_t large = huge_table_min_bytes / sizeof(uint64_t);

// Tables move between the heap and huge-page blocks as they grow and shrink; every block
// must go back the way it came (the sanitizer build checks the pairing) and keep its data.
TEST(TableAllocator, KeepsDataAcrossTheLargeTableThreshold) {
    struct Case {
        char const* name;
        size_t first, second;
    };
    for (auto c : {Case{"small", 1000, 2000}, Case{"grows_large", large - 1, large + 1},
                   Case{"shrinks_small", large + 1, 10}, Case{"large", large * 2, large * 3}}) {
        SCOPED_TRACE(c.name);
        Table t(c.first);
        std::iota(t.begin(), t.end(), uint64_t{0});
        if (t.size() * sizeof(uint64_t) >= huge_table_min_bytes) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(t.data()) % huge_page_size, 0u);
        }
        t.resize(c.second);
        t.shrink_to_fit();
        size_t kept = std::min(c.first, c.second);
        for (size_t i = 0; i < kept; i += 997) ASSERT_EQ(t[i], i);
        Table copy = t;
        EXPECT_EQ(copy, t);
    }
}

}  // namespace
}  // namespace automerge
