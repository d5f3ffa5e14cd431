// The view model is rebuilt from the whole document on every change, so its cost on a big
// document is the frame budget the chat spends before drawing anything.
#include <benchmark/benchmark.h>

#include "big_workspace.hpp"
#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "model/readers.hpp"
#include "model/view_model.hpp"

namespace {

using chat::doc::AutoCommit;

using bench::channel_id;

constexpr int message_count = 10000;

AutoCommit& big_document() {
    static AutoCommit doc = [] {
        AutoCommit d;
        bench::fill_workspace(d, message_count, false);
        return d;
    }();
    return doc;
}

void BM_RefreshWholeModel(benchmark::State& state) {
    auto& doc = big_document();
    chat::model::Navigation nav;
    nav.local = {"u_me", "Me", "M", 0, chat::Presence::Online};
    nav.workspace_id = "ws_a";
    nav.channel_id = channel_id(3);
    for (auto _ : state) {
        auto vm = chat::model::refresh(doc, nav);
        benchmark::DoNotOptimize(vm);
    }
    state.counters["messages"] = message_count;
}
BENCHMARK(BM_RefreshWholeModel)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_ReadOneChannel(benchmark::State& state) {
    auto& doc = big_document();
    for (auto _ : state) {
        auto messages = chat::model::read_messages(doc, channel_id(3));
        benchmark::DoNotOptimize(messages);
    }
}
BENCHMARK(BM_ReadOneChannel)->Unit(benchmark::kMicrosecond);

void BM_SeedDemo(benchmark::State& state) {
    for (auto _ : state) {
        AutoCommit doc;
        chat::doc::demo_seed(doc);
        benchmark::DoNotOptimize(doc.pending_ops());
    }
}
BENCHMARK(BM_SeedDemo)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
