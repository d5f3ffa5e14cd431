// Mouth-to-ear latency of call audio on loopback, with real sound. Run it through
// apps/chat/tests/call_audio_test.sh, which starts a private sound server whose microphone is
// the monitor of the null sink "vmic"; this program plays a short tone burst into "vmic" every
// 1.5 s (longer than any latency seen, so a burst is never matched with the one before) and
// records both the microphone and the loudspeaker monitor in one pipeline, so that both
// recordings share one clock. The latency of a burst is the time
// between its onset in the two recordings: capture, Opus, QUIC, the receive step and the
// playback pipeline included.
//
// Usage: call_latency_bench [SECONDS] [--ticks]. With "--ticks" media moves only on the 20 ms
// timer ticks, as it did before the media wakeups, to compare.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "../tests/call_test_support.hpp"
#include "media/main_loop_wakeup.hpp"

namespace {

using namespace std::chrono_literals;
using chat::test::Device;

constexpr int rate = 16000;
constexpr int window = 16;  // 1 ms of samples
constexpr double threshold = 0.05;

struct Track {
    GstElement* sink = nullptr;
    std::vector<float> samples;
    // Where each buffer starts in `samples`, and its time: a source that lost or repeated
    // samples shifts every later sample index, but not the buffers' own times.
    std::vector<std::pair<size_t, GstClockTime>> starts;
    void pull() {
        while (GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 0)) {
            GstBuffer* b = gst_sample_get_buffer(s);
            GstMapInfo map;
            if (b && GST_BUFFER_PTS_IS_VALID(b) && gst_buffer_map(b, &map, GST_MAP_READ)) {
                starts.emplace_back(samples.size(), GST_BUFFER_PTS(b));
                auto const* f = reinterpret_cast<float const*>(map.data);
                samples.insert(samples.end(), f, f + map.size / sizeof(float));
                gst_buffer_unmap(b, &map);
            }
            gst_sample_unref(s);
        }
    }
    void clear() {
        samples.clear();
        starts.clear();
    }
    // The time of a sample, in milliseconds.
    double time_of(size_t index) const {
        auto after = std::upper_bound(starts.begin(), starts.end(), index,
                                      [](size_t i, auto const& start) { return i < start.first; });
        auto const& [first, pts] = *std::prev(after);
        return double(pts) / 1e6 + double(index - first) * 1000.0 / rate;
    }
    // Onsets in milliseconds of pipeline time: loud windows after at least 100 ms of quiet.
    std::vector<double> onsets() const {
        std::vector<double> out;
        int quiet = 1000;
        for (size_t i = 0; i + window <= samples.size(); i += window) {
            float peak = 0;
            for (int k = 0; k < window; ++k) peak = std::max(peak, std::abs(samples[i + k]));
            if (peak > threshold) {
                if (quiet >= 100) out.push_back(time_of(i));
                quiet = 0;
            } else {
                ++quiet;
            }
        }
        return out;
    }
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (std::system("pactl info >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "no sound server to measure with\n");
        return 1;
    }
    gst_init(nullptr, nullptr);
    GstElement* bursts = gst_parse_launch(
        "audiotestsrc is-live=true wave=ticks tick-interval=1500000000 freq=1000 volume=0.8 ! "
        "audioconvert ! pulsesink device=vmic buffer-time=20000 latency-time=5000",
        nullptr);
    // Neither source may drive the clock: a second pulsesrc slaved to the first one's clock
    // ("skew") stamps its buffers about 730 ms off, which once read as 820 ms of call latency.
    // On the system clock, each buffer is stamped when it was read, minus the source's latency.
    GstElement* recorder = gst_parse_launch(
        "pulsesrc device=vmic.monitor provide-clock=false slave-method=re-timestamp ! "
        "audioconvert ! audioresample ! audio/x-raw,format=F32LE,rate=16000,channels=1 ! "
        "appsink name=mouth sync=false "
        "pulsesrc device=vsink.monitor provide-clock=false slave-method=re-timestamp ! "
        "audioconvert ! audioresample ! audio/x-raw,format=F32LE,rate=16000,channels=1 ! "
        "appsink name=ear sync=false",
        nullptr);
    Track mouth{gst_bin_get_by_name(GST_BIN(recorder), "mouth"), {}, {}};
    Track ear{gst_bin_get_by_name(GST_BIN(recorder), "ear"), {}, {}};

    automerge::AutoCommit base;
    chat::test::add_voice_channel(base, "c_v");
    Device talker("u_talker", chat::test::start_loopback(), base.fork());
    Device listener("u_listener", chat::test::start_loopback(), base.fork());
    listener.call.join_call(listener.env(), "c_v");
    listener.call.toggle_mute(listener.env());
    chat::test::sync_documents(talker.doc, listener.doc);
    talker.call.join_call(talker.env(), "c_v");
    chat::test::sync_documents(talker.doc, listener.doc);

    // As in the app, each device's media step also runs as soon as sound is there (unless
    // "--ticks" asks for the timer ticks alone, to compare).
    bool ticks_only = argc > 2 && std::string(argv[2]) == "--ticks";
    std::optional<chat::media::MainLoopWakeup> talker_wakeup, listener_wakeup;
    if (!ticks_only) {
        talker_wakeup.emplace([&] { talker.call.media_step(talker.env()); });
        listener_wakeup.emplace([&] { listener.call.media_step(listener.env()); });
        talker.call.set_media_waker(talker_wakeup->waker());
        listener.call.set_media_waker(listener_wakeup->waker());
    }

    // Wakes the main loop when a tick is due (steady_clock and GLib's monotonic clock are
    // both CLOCK_MONOTONIC here).
    static GSourceFuncs alarm_funcs = {nullptr,
                                       nullptr,
                                       [](GSource* source, GSourceFunc, gpointer) {
                                           g_source_set_ready_time(source, -1);
                                           return gboolean(G_SOURCE_CONTINUE);
                                       },
                                       nullptr,
                                       nullptr,
                                       nullptr};
    GSource* alarm = g_source_new(&alarm_funcs, sizeof(GSource));
    g_source_attach(alarm, nullptr);

    gst_element_set_state(recorder, GST_STATE_PLAYING);
    gst_element_set_state(bursts, GST_STATE_PLAYING);
    auto run = [&](std::chrono::seconds length) {
        auto end = std::chrono::steady_clock::now() + length;
        // Two processes tick on timers of their own, out of phase by anything up to a tick;
        // the listener runs half a tick after the talker, the average case. (Stepping it right
        // after the talker would always miss the frame just sent and wait a whole tick.)
        auto tick = std::chrono::steady_clock::now();
        auto listener_tick = tick + 10ms;
        while (tick < end) {
            auto next = std::min(tick, listener_tick);
            // The main loop runs the wakeups in between, as the app's does, until the alarm
            // source says the next tick is due.
            if (ticks_only) {
                std::this_thread::sleep_until(next);
            } else {
                auto due =
                    std::chrono::duration_cast<std::chrono::microseconds>(next.time_since_epoch());
                g_source_set_ready_time(alarm, due.count() + 1);  // never before `next`
                while (std::chrono::steady_clock::now() < next)
                    g_main_context_iteration(nullptr, TRUE);
            }
            if (next == tick) {
                talker.call.step(talker.env());
                tick += 20ms;
            } else {
                listener.call.step(listener.env());
                mouth.pull();
                ear.pull();
                listener_tick += 20ms;
            }
        }
    };
    run(2s);  // connections and pipelines settle
    mouth.clear(), ear.clear();
    double cpu0 = cpu_seconds();
    auto wall0 = std::chrono::steady_clock::now();
    run(std::chrono::seconds(seconds));
    double cpu = cpu_seconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

    std::vector<double> latencies;
    auto in = mouth.onsets();
    for (double heard : ear.onsets()) {
        auto said = std::upper_bound(in.begin(), in.end(), heard);
        if (said == in.begin()) continue;
        double latency = heard - *std::prev(said);
        if (latency > 0 && latency < 1450) latencies.push_back(latency);
    }
    std::printf("bursts said %zu, heard %zu, matched %zu\n", in.size(), ear.onsets().size(),
                latencies.size());
    if (!latencies.empty())
        std::printf("mouth-to-ear latency: p50 %.1f ms, p99 %.1f ms\n", percentile(latencies, 0.5),
                    percentile(latencies, 0.99));
    std::printf(
        "CPU of the process (both participants, recorder, burst source): %.1f %% of one "
        "core\n",
        100 * cpu / wall);
    g_source_destroy(alarm);
    g_source_unref(alarm);
    gst_element_set_state(bursts, GST_STATE_NULL);
    gst_element_set_state(recorder, GST_STATE_NULL);
    return latencies.empty() ? 1 : 0;
}
