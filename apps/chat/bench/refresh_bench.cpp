// The view model's refresh on a big document: a full rebuild (start, switch of document)
// and the incremental refresh after one change, which is the frame budget the chat spends
// before drawing anything when a message is typed or arrives.
#include <benchmark/benchmark.h>

#include "actions/apply.hpp"
#include "big_workspace.hpp"
#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "model/live_view.hpp"
#include "model/readers.hpp"
#include "model/view_model.hpp"

namespace {

using chat::doc::AutoCommit;

using bench::channel_id;
using bench::people;

constexpr int message_count = 10000;

AutoCommit& big_document() {
    static AutoCommit doc = [] {
        AutoCommit d;
        bench::fill_workspace(d, message_count, false);
        return d;
    }();
    return doc;
}

chat::model::Navigation bench_nav() {
    chat::model::Navigation nav;
    nav.local = {"u_me", "Me", "M", 0, chat::Presence::Online};
    nav.workspace_id = "ws_a";
    nav.channel_id = channel_id(3);
    return nav;
}

// As when the window switches documents: the view replaces a model as long as the new one,
// and freeing that is part of the time.
void BM_RefreshWholeModel(benchmark::State& state) {
    auto& doc = big_document();
    auto nav = bench_nav();
    chat::model::LiveView live;
    for (auto _ : state) {
        live.reset();
        auto const& vm = live.refresh(doc, nav);
        benchmark::DoNotOptimize(vm);
    }
    state.counters["messages"] = message_count;
}
// A long history is read on two threads: the time is wall time and the CPU time counts both.
BENCHMARK(BM_RefreshWholeModel)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The same on a document just loaded, as at start: nothing the engine caches (texts) is
// built yet.
void BM_RefreshWholeModelCold(benchmark::State& state) {
    auto bytes = big_document().save();
    auto nav = bench_nav();
    for (auto _ : state) {
        state.PauseTiming();
        auto doc = AutoCommit::load(bytes);
        state.ResumeTiming();
        auto vm = chat::model::refresh(*doc, nav);
        benchmark::DoNotOptimize(vm);
        state.PauseTiming();
        vm = {};
        doc = AutoCommit{};
        state.ResumeTiming();
    }
    state.counters["messages"] = message_count;
}
BENCHMARK(BM_RefreshWholeModelCold)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(5);

// One change per iteration, written outside the timing, then the incremental refresh.
template <class Write>
void run_incremental(benchmark::State& state, Write write) {
    AutoCommit doc = big_document().fork();
    auto nav = bench_nav();
    chat::model::LiveView live;
    live.refresh(doc, nav);
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        write(doc, n++);
        state.ResumeTiming();
        auto const& vm = live.refresh(doc, nav);
        benchmark::DoNotOptimize(vm);
    }
    state.counters["messages"] = double(live.view().all_messages.size());
}

void BM_RefreshNewMessage(benchmark::State& state) {
    run_incremental(state, [](AutoCommit& doc, int n) {
        chat::apply_action(doc, chat::action::SendMessage{channel_id(3),
                                                          "m_new_" + std::to_string(n),
                                                          "u_me",
                                                          1782600000 + n,
                                                          "a new one",
                                                          {},
                                                          {},
                                                          {},
                                                          {}});
    });
}
BENCHMARK(BM_RefreshNewMessage)->Unit(benchmark::kMicrosecond)->Iterations(300);

void BM_RefreshReaction(benchmark::State& state) {
    run_incremental(state, [](AutoCommit& doc, int n) {
        chat::apply_action(
            doc, chat::action::AddReaction{channel_id(3), "m_" + std::to_string(3 + 20 * (n % 400)),
                                           "🚀", people[n % 6]});
    });
}
BENCHMARK(BM_RefreshReaction)->Unit(benchmark::kMicrosecond)->Iterations(300);

void BM_RefreshEdit(benchmark::State& state) {
    run_incremental(state, [](AutoCommit& doc, int n) {
        chat::apply_action(
            doc, chat::action::EditMessage{channel_id(5), "m_" + std::to_string(5 + 20 * (n % 400)),
                                           "edited " + std::to_string(n), 1782700000 + n});
    });
}
BENCHMARK(BM_RefreshEdit)->Unit(benchmark::kMicrosecond)->Iterations(300);

// A peer's new message in the open channel, arriving by merge.
void BM_RefreshMergedPeerChange(benchmark::State& state) {
    AutoCommit peer = big_document().fork();
    run_incremental(state, [&](AutoCommit& doc, int n) {
        chat::apply_action(peer, chat::action::SendMessage{channel_id(3),
                                                           "m_peer_" + std::to_string(n),
                                                           "u_ravi",
                                                           1782600000 + n,
                                                           "from a peer",
                                                           {},
                                                           {},
                                                           {},
                                                           {}});
        peer.commit();
        (void)doc.merge(peer);
    });
}
BENCHMARK(BM_RefreshMergedPeerChange)->Unit(benchmark::kMicrosecond)->Iterations(300);

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
