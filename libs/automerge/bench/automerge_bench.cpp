// Load, save and apply timings and the heap peak of a load, on the workloads that
// reference_bench.js writes (AUTOMERGE_BENCH_DATA=dir). Without that directory the same
// workloads are generated with our engine so the binary also runs on its own.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <automerge/automerge.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <random>

namespace {

// Heap accounting for the peak-memory cases: every allocation of this process goes
// through these counters.
std::atomic<int64_t> g_live_bytes{0};
std::atomic<int64_t> g_peak_bytes{0};

void note_alloc(void* p) {
    if (p == nullptr) return;
    int64_t now = g_live_bytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                  static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = g_peak_bytes.load();
    while (now > peak && !g_peak_bytes.compare_exchange_weak(peak, now)) {
    }
}

void* counted_alloc(size_t n) {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    note_alloc(p);
    return p;
}

void counted_free(void* p) {
    if (p == nullptr) return;
    g_live_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}

}  // namespace

void* operator new(size_t n) {
    return counted_alloc(n);
}
void* operator new[](size_t n) {
    return counted_alloc(n);
}
void operator delete(void* p) noexcept {
    counted_free(p);
}
void operator delete[](void* p) noexcept {
    counted_free(p);
}
void operator delete(void* p, size_t) noexcept {
    counted_free(p);
}
void operator delete[](void* p, size_t) noexcept {
    counted_free(p);
}

namespace {

using automerge::AutoCommit;
using automerge::ObjId;
using automerge::ObjType;
using Bytes = std::vector<uint8_t>;

struct Workload {
    Bytes saved;
    Bytes changes;
};

Bytes all_change_bytes(AutoCommit& doc) {
    Bytes out;
    for (auto const& c : doc.get_changes({})) out.insert(out.end(), c.raw.begin(), c.raw.end());
    return out;
}

AutoCommit text_edits() {
    AutoCommit doc;
    auto text = *doc.put_object(ObjId::root(), "text", ObjType::Text);
    std::mt19937 rng(1);
    size_t len = 0;
    for (int i = 0; i < 100000; ++i) {
        if (len > 0 && rng() % 5 == 0) {
            (void)doc.splice_text(text, rng() % len, 1, "");
            --len;
        } else {
            char c = static_cast<char>('a' + rng() % 26);
            (void)doc.splice_text(text, rng() % (len + 1), 0, std::string_view(&c, 1));
            ++len;
        }
        if (i % 100 == 99) doc.commit(std::nullopt, i);
    }
    doc.commit(std::nullopt, 100000);
    return doc;
}

AutoCommit map_puts() {
    AutoCommit doc;
    for (int i = 0; i < 20000; ++i) {
        (void)doc.put(ObjId::root(), "key" + std::to_string(i % 5000), int64_t{i});
        if (i % 100 == 99) doc.commit(std::nullopt, i);
    }
    doc.commit(std::nullopt, 20000);
    return doc;
}

AutoCommit chat() {
    AutoCommit doc;
    auto messages = *doc.put_object(ObjId::root(), "messages", ObjType::List);
    for (int i = 0; i < 10000; ++i) {
        auto m = *doc.insert_object(messages, static_cast<size_t>(i), ObjType::Map);
        (void)doc.put(m, "author", "user" + std::to_string(i % 7));
        (void)doc.put(m, "time", automerge::Timestamp{1700000000000 + int64_t{i} * 1000});
        auto body = *doc.put_object(m, "body", ObjType::Text);
        (void)doc.splice_text(body, 0, 0,
                              "message number " + std::to_string(i) + ": see you at the standup");
        doc.commit(std::nullopt, i);
    }
    return doc;
}

std::optional<Bytes> read_file(std::filesystem::path const& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Workload const& workload(std::string const& name) {
    static std::map<std::string, Workload> cache;
    if (auto it = cache.find(name); it != cache.end()) return it->second;
    Workload w;
    char const* dir = std::getenv("AUTOMERGE_BENCH_DATA");
    auto saved = dir ? read_file(std::filesystem::path(dir) / (name + ".am")) : std::nullopt;
    auto changes = dir ? read_file(std::filesystem::path(dir) / (name + ".changes")) : std::nullopt;
    if (saved && changes) {
        w = {std::move(*saved), std::move(*changes)};
    } else {
        AutoCommit doc = name == "text100k" ? text_edits() : name == "map20k" ? map_puts() : chat();
        w = {doc.save(), all_change_bytes(doc)};
    }
    return cache.emplace(name, std::move(w)).first->second;
}

void bm_load(benchmark::State& state, std::string const& name) {
    auto const& w = workload(name);
    for (auto _ : state) {
        auto doc = AutoCommit::load(w.saved);
        if (!doc) state.SkipWithError(doc.error().message.c_str());
        benchmark::DoNotOptimize(doc);
    }
}

void bm_save(benchmark::State& state, std::string const& name) {
    auto doc = AutoCommit::load(workload(name).saved);
    if (!doc) {
        state.SkipWithError(doc.error().message.c_str());
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(doc->save());
}

void bm_apply(benchmark::State& state, std::string const& name) {
    auto const& w = workload(name);
    for (auto _ : state) {
        AutoCommit doc;
        auto applied = doc.load_incremental(w.changes);
        if (!applied) state.SkipWithError(applied.error().message.c_str());
        benchmark::DoNotOptimize(doc);
    }
}

void bm_peak(benchmark::State& state, std::string const& name) {
    auto const& w = workload(name);
    int64_t peak = 0;
    for (auto _ : state) {
        int64_t base = g_live_bytes.load();
        g_peak_bytes.store(base);
        {
            auto doc = AutoCommit::load(w.saved);
            benchmark::DoNotOptimize(doc);
        }
        peak = g_peak_bytes.load() - base;
    }
    state.counters["peak_bytes"] = static_cast<double>(peak);
}

}  // namespace

int main(int argc, char** argv) {
    for (std::string name : {"text100k", "map20k", "chat10k"}) {
        benchmark::RegisterBenchmark(("load/" + name).c_str(), bm_load, name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("save/" + name).c_str(), bm_save, name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("apply/" + name).c_str(), bm_apply, name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("peak/" + name).c_str(), bm_peak, name)->Iterations(1);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
