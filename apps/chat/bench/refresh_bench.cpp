// The view model's refresh on a big document: a full rebuild (start, switch of document)
// and the incremental refresh after one change, which is the frame budget the chat spends
// before drawing anything when a message is typed or arrives.
#include <benchmark/benchmark.h>

#include "actions/apply.hpp"
#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "model/live_view.hpp"
#include "model/readers.hpp"
#include "model/view_model.hpp"

namespace {

using chat::doc::AutoCommit;

constexpr int channel_count = 20;
constexpr int message_count = 10000;
constexpr char const* people[] = {"u_me", "u_elin", "u_ravi", "u_tove", "u_jonah", "u_nadia"};
constexpr char const* emoji[] = {"👍", "🔥", "🎉", "👀"};

std::string channel_id(int c) {
    return "c_bench_" + std::to_string(c);
}

chat::Message bench_message(int i, std::string const& root) {
    chat::Message m;
    m.id = "m_" + std::to_string(i);
    m.author = people[i % 6];
    m.ts = 1782464400 + i * 13;
    m.text = "Message number " + std::to_string(i) + " about the call overlay grid and its motion.";
    if (i % 5 == 4 && !root.empty()) m.parent = root;
    if (i % 3 == 0)
        m.reactions = {{emoji[i % 4], {people[(i + 1) % 6], people[(i + 2) % 6]}},
                       {emoji[(i + 1) % 4], {people[(i + 3) % 6]}}};
    if (i % 7 == 0) m.mentions = {{people[(i + 4) % 6], 0, 5, false}};
    return m;
}

// 20 text channels in two workspaces; every 5th message a thread reply, every 3rd with
// reactions from two or three people, every 7th mentioning someone. Each channel is written
// by its own peer and merged, as it would arrive from a team: inserting checks the id against
// the whole document, so one writer would make the set-up quadratic in the message count.
AutoCommit& big_document() {
    static AutoCommit doc = [] {
        AutoCommit d;
        for (int p = 0; p < 6; ++p)
            chat::doc::write_person(d, people[p], people[p], "P", p, "online");
        chat::doc::write_workspace(d, "ws_a", "A", "A", 0, 0);
        chat::doc::write_workspace(d, "ws_b", "B", "B", 1, 1);
        auto messages = *chat::doc::ensure_map(d, chat::doc::ObjId::root(), "messages");
        for (int c = 0; c < channel_count; ++c) {
            chat::doc::write_channel(d, channel_id(c), c < 10 ? "ws_a" : "ws_b", "cat", "ch", "",
                                     chat::ChannelKind::Text, c);
            (void)chat::doc::ensure_list(d, messages, channel_id(c));
        }
        chat::doc::write_channel(d, "c_voice", "ws_a", "cat", "v", "", chat::ChannelKind::Voice,
                                 99);
        chat::doc::join_call(d, "c_voice", "u_ravi");
        d.commit();
        std::vector<AutoCommit> peers;
        for (int c = 0; c < channel_count; ++c) peers.push_back(d.fork());
        for (int c = 0; c < channel_count; ++c) {
            auto& peer = peers[size_t(c)];
            std::string root;
            for (int i = c; i < message_count; i += channel_count) {
                auto m = bench_message(i, root);
                chat::doc::insert_message(peer, channel_id(c), m);
                if (!m.parent) root = m.id;
            }
            peer.commit();
            (void)d.merge(peer);
        }
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

void BM_RefreshWholeModel(benchmark::State& state) {
    auto& doc = big_document();
    auto nav = bench_nav();
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
