// One whole frame of the window (sync without a document change, layout, draw) is what the
// user feels as smoothness; it must stay far inside a 60 Hz frame also on a huge channel.
#include <benchmark/benchmark.h>

#include <automerge/automerge.hpp>

#include "app/chat_app.hpp"
#include "doc/schema.hpp"
#include "doc/seeds.hpp"
#include "vemo_ui/access_refresh.hpp"
#include "vemo_ui/shot_frame.hpp"

namespace {

using vemo_ui::launch::shot_frame::ShotFrame;

struct Setup {
    automerge::AutoCommit doc;
    chat::ChatApp app;
    ShotFrame frame = *ShotFrame::create(1280, 800, vemo_ui::ThemeKind::Dark);
    double time = 1000;

    void frame_once() {
        vemo_ui::FrameContext ctx{&doc, time += 1.0 / 60, 1.0};
        app.sync(ctx);
        (void)frame.layout(app);
        frame.draw(app);
    }
};

void BM_FrameDemo(benchmark::State& state) {
    Setup s;
    s.frame_once();
    for (auto _ : state) s.frame_once();
}
BENCHMARK(BM_FrameDemo)->Unit(benchmark::kMillisecond);

// Built once: the benchmark runner calls the function several times while it sizes the run.
Setup& big_channel() {
    static Setup* s = [] {
        auto* setup = new Setup;
        setup->frame_once();
        for (int i = 0; i < 10000; ++i) {
            chat::Message m;
            m.id = "m_bench" + std::to_string(i);
            m.author = i % 3 ? "u_elin" : "u_ravi";
            m.ts = chat::doc::demo_first_ts + i * 40;
            m.text = "Bench message " + std::to_string(i) +
                     " with a little text so rows wrap now and then.";
            chat::doc::insert_message(setup->doc, "c_random", m);
        }
        setup->app.activate({chat::HitKind::Channel, "c_random"});
        setup->frame_once();
        return setup;
    }();
    return *s;
}

void BM_FrameTenThousandMessages(benchmark::State& state) {
    auto& s = big_channel();
    for (auto _ : state) s.frame_once();
}
BENCHMARK(BM_FrameTenThousandMessages)->Unit(benchmark::kMillisecond);

// The accessibility tree the window offers after a draw. Before, every frame built it and
// compared it with the last one; now a frame that changed nothing it is made of (a waiting
// tooltip, a new call picture) keeps it. Argument 1 is the 10,000-message channel, whose rows
// are the list built before as long as none of them changed.
Setup& setup_for(benchmark::State const& state) {
    if (state.range(0)) return big_channel();
    static Setup* demo = [] {
        auto* setup = new Setup;
        setup->frame_once();
        return setup;
    }();
    return *demo;
}

void BM_FrameTreeEveryFrame(benchmark::State& state) {
    auto& s = setup_for(state);
    vemo_ui::a11y::AccessRefresh refresh;
    for (auto _ : state) {
        s.frame_once();
        benchmark::DoNotOptimize(refresh.offer(s.app.accessibility()));
    }
}
BENCHMARK(BM_FrameTreeEveryFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_FrameTreeWhenChanged(benchmark::State& state) {
    auto& s = setup_for(state);
    vemo_ui::a11y::AccessRefresh refresh;
    vemo_ui::a11y::AccessRefresh::Frame frame;
    frame.document_changes = s.doc.num_changes();
    frame.size = {1280, 800};
    for (auto _ : state) {
        s.frame_once();
        frame.controls_moving = s.app.animation_moves_controls();
        if (refresh.needs_rebuild(frame))
            benchmark::DoNotOptimize(refresh.offer(s.app.accessibility()));
    }
}
BENCHMARK(BM_FrameTreeWhenChanged)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A click or a screen reader moving between two rows of the 10,000-message channel: the rows'
// labels are kept, but the list of rows is a new one (one row's focus changed).
void BM_FrameTreeAfterRowFocus(benchmark::State& state) {
    auto& s = big_channel();
    auto const& drawn = s.app.visible_rows();
    std::string const rows[2] = {"message:" + drawn[drawn.size() - 1].message,
                                 "message:" + drawn[drawn.size() - 2].message};
    vemo_ui::a11y::AccessRefresh refresh;
    size_t turn = 0;
    for (auto _ : state) {
        s.app.perform_semantic_action(rows[++turn % 2], "focus");
        s.frame_once();
        benchmark::DoNotOptimize(refresh.offer(s.app.accessibility()));
    }
}
BENCHMARK(BM_FrameTreeAfterRowFocus)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
