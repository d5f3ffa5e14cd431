// What keeping a call's media flowing costs between repaints, for the two ways to do it: a
// 20 ms main-loop timer that runs only the call step (what the window host does), or asking
// for an animation frame while in a call, which runs a whole frame at the display rate.
// CPU share = time per run x runs per second (50 for the timer, 60 for frames).
#include <benchmark/benchmark.h>

#include <automerge/automerge.hpp>

#include "app/chat_app.hpp"
#include "media/call_session.hpp"
#include "vemo_ui/shot_frame.hpp"

namespace {

using vemo_ui::launch::shot_frame::ShotFrame;

struct InCall {
    automerge::AutoCommit doc;
    chat::ChatApp app;
    ShotFrame frame = *ShotFrame::create(1280, 800, vemo_ui::ThemeKind::Dark);
    double time = 1000;

    InCall() {
        whole_frame();
        app.join_call("c_standup");
        // A silent microphone keeps the measurement off the sound devices.
        app.perform_semantic_action("chat.call-mute", "activate");
        whole_frame();
    }
    void whole_frame() {
        vemo_ui::FrameContext ctx{&doc, time += 1.0 / 60, 1.0};
        app.sync(ctx);
        (void)frame.layout(app);
        frame.draw(app);
    }
    void call_tick() {
        vemo_ui::FrameContext ctx{&doc, time += 0.02, 1.0};
        app.realtime_tick(ctx);
        doc.commit();
    }
};

void BM_CallTimerTick(benchmark::State& state) {
    InCall call;
    for (auto _ : state) call.call_tick();
}
BENCHMARK(BM_CallTimerTick)->Unit(benchmark::kMicrosecond);

void BM_AnimationFrameInCall(benchmark::State& state) {
    InCall call;
    for (auto _ : state) call.whole_frame();
}
BENCHMARK(BM_AnimationFrameInCall)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
