// Importing the largest file a message may carry, from the start of the import to the
// message in the document, with the peak memory it took on top of what was in use before.
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "actions/apply.hpp"
#include "actions/attachment_jobs.hpp"
#include "doc/seeds.hpp"

namespace {

namespace fs = std::filesystem;

// Resident set and its high-water mark, in bytes.
uint64_t status_kib(std::string_view field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field)) return std::stoull(line.substr(field.size() + 1)) * 1024;
    return 0;
}

void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

void BM_Import32MiBToMessage(benchmark::State& state) {
    fs::path dir = fs::temp_directory_path() / ("chat-import-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path file = dir / "recording.bin";
    {
        std::string bytes(chat::max_attachment_file_bytes, '\0');
        for (size_t i = 0; i < bytes.size(); i += 64) bytes[i] = char(i >> 6);
        std::ofstream(file, std::ios::binary) << bytes;
    }
    chat::doc::AutoCommit doc;
    chat::doc::demo_seed(doc);
    double peak_over_file = 0;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::path root = dir / ("blobs-" + std::to_string(round++));
        auto store = std::make_shared<qdoc::blobstore::FsBlobStore>(root, 0x2000000, 0x10000000,
                                                                    0x2000, 0x4000);
        chat::AttachmentJobs jobs([store] { return store; });
        reset_peak();
        uint64_t before = status_kib("VmRSS:");
        state.ResumeTiming();

        jobs.start_import("c_crit", "u_me", file);
        std::optional<chat::AttachmentJobs::ImportDone> done;
        while (!(done = jobs.poll_import()))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        auto concluded =
            chat::conclude_import(*done, true, "m_bench" + std::to_string(round), 1782477600);
        if (!concluded.message) state.SkipWithError(concluded.status.c_str());
        chat::apply_action(doc, *concluded.message);

        state.PauseTiming();
        uint64_t peak = status_kib("VmHWM:");
        peak_over_file = std::max(peak_over_file, double(peak - std::min(peak, before)) /
                                                      double(chat::max_attachment_file_bytes));
        fs::remove_all(root);
        state.ResumeTiming();
    }
    state.counters["peak_memory_in_files"] = peak_over_file;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(chat::max_attachment_file_bytes));
    fs::remove_all(dir);
}
BENCHMARK(BM_Import32MiBToMessage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
