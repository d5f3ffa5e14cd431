#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>

#include "qdoc/blobstore.hpp"
#include "qdoc/sniff.hpp"

namespace {

namespace fs = std::filesystem;
using namespace qdoc::blobstore;

fs::path temp_root() {
    std::string templ = (fs::temp_directory_path() / "blob-bench-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) std::abort();
    return templ;
}

// Hashing dominates both directions; these show what an image attachment costs.
void BM_PutNewBlob(benchmark::State& state) {
    fs::path root = temp_root();
    FsBlobStore store(root, default_max_blob_bytes, default_max_total_bytes,
                      default_max_cached_entries, default_max_blobs);
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 7);
    uint64_t counter = 0;
    for (auto _ : state) {
        std::memcpy(bytes.data(), &++counter, sizeof counter);
        benchmark::DoNotOptimize(store.put(bytes));
        if (counter % 64 == 0) {
            state.PauseTiming();
            (void)store.evict_unreferenced({});
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
    fs::remove_all(root);
}
BENCHMARK(BM_PutNewBlob)->Arg(64 << 10)->Arg(4 << 20);

void BM_GetUncached(benchmark::State& state) {
    fs::path root = temp_root();
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 9);
    std::string reference =
        *FsBlobStore(root, default_max_blob_bytes, default_max_total_bytes, 0, default_max_blobs)
             .put(bytes);
    FsBlobStore store(root, default_max_blob_bytes, default_max_total_bytes, 0, default_max_blobs);
    for (auto _ : state) benchmark::DoNotOptimize(store.get(reference));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
    fs::remove_all(root);
}
BENCHMARK(BM_GetUncached)->Arg(64 << 10)->Arg(4 << 20);

void BM_SniffJpegHeader(benchmark::State& state) {
    std::vector<uint8_t> jpeg{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
    jpeg.resize(2 + 2 + 16, 0);
    std::vector<uint8_t> frame{0xFF, 0xC0, 0x00, 0x11, 0x08, 0x02, 0x00, 0x03, 0x00, 0x03};
    jpeg.insert(jpeg.end(), frame.begin(), frame.end());
    for (auto _ : state) benchmark::DoNotOptimize(sniff(jpeg));
}
BENCHMARK(BM_SniffJpegHeader);

}  // namespace
