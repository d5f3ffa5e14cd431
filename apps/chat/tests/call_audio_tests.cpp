// Real sound through a private sound server (see call_audio_test.sh): this test plays a 440 Hz
// tone into what the microphone hears and records the monitor of the default loudspeaker. Two
// devices in one call over loopback QUIC; what the listener plays must carry the talker's tone, and
// muting or deafening must silence it.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <span>
#include <string>

#include "call_test_support.hpp"

namespace chat::test {
namespace {

using namespace std::chrono_literals;

constexpr int rate = 16000;
constexpr double tone_hz = 440;
// The microphone hears the tone at amplitude 0.5: the loudspeaker must carry it through 300 ms
// at least at half that. The join cue plays at 0.3 and must reach a third of it through 100 ms.
// Searching many windows lifts what a wrong pitch reads (a 480 Hz measurement of the 440 Hz
// call reads up to 0.05), so the levels stay well above that.
constexpr double tone_level = 0.25;
constexpr std::size_t tone_window = rate * 3 / 10;
constexpr double cue_level = 0.1;
constexpr std::size_t cue_window = rate / 10;

// Amplitude (full scale 1.0) of the component at `hz`, by the Goertzel recurrence.
double amplitude_at(std::span<float const> samples, double hz) {
    if (samples.empty()) return 0;
    double coeff = 2 * std::cos(2 * std::numbers::pi * hz / rate);
    double s1 = 0, s2 = 0;
    for (float x : samples) {
        double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / double(samples.size());
}

// The amplitude at `hz` of every 100 ms of `samples`, for failure messages.
std::string levels_at(std::span<float const> samples, double hz) {
    std::string out;
    for (std::size_t at = 0; at + rate / 10 <= samples.size(); at += rate / 10) {
        char level[16];
        std::snprintf(level, sizeof level, " %.2f",
                      amplitude_at(samples.subspan(at, rate / 10), hz));
        out += level;
    }
    return out;
}

// What the loudspeaker carried of a sound: the strongest amplitude at its frequency over any
// `window` samples (searched in 10 ms steps), and every 100 ms of the recording.
struct Heard {
    double steady = 0;
    std::vector<float> samples;
    std::size_t next_window = 0;  // where the search resumes once more is recorded

    void add(std::vector<float> const& more, double hz, std::size_t window) {
        samples.insert(samples.end(), more.begin(), more.end());
        std::span<float const> all(samples);
        for (; next_window + window <= all.size(); next_window += rate / 100)
            steady = std::max(steady, amplitude_at(all.subspan(next_window, window), hz));
    }
};

// Records the null sink's monitor: everything any playback pipeline of this process played.
// The microphone's tone plays into "vmic" for as long as the recorder lives.
class Recorder {
  public:
    Recorder() {
        if (!audio::gstreamer_available()) return;
        GError* error = nullptr;
        m_pipeline = gst_parse_launch(
            "pulsesrc device=vsink.monitor ! audioconvert ! audioresample ! "
            "audio/x-raw,format=F32LE,rate=16000,channels=1 ! appsink name=rec sync=false "
            "audiotestsrc is-live=true freq=440 volume=0.5 ! audioconvert ! pulsesink device=vmic",
            &error);
        if (error) g_error_free(error);
        if (!m_pipeline) return;
        m_sink = gst_bin_get_by_name(GST_BIN(m_pipeline), "rec");
        gst_element_set_state(m_pipeline, GST_STATE_PLAYING);
    }
    ~Recorder() {
        if (m_sink) gst_object_unref(m_sink);
        if (m_pipeline) {
            gst_element_set_state(m_pipeline, GST_STATE_NULL);
            gst_object_unref(m_pipeline);
        }
    }
    bool ok() const { return m_sink != nullptr; }
    // Everything recorded since the last call.
    std::vector<float> take() {
        std::vector<float> out;
        while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(m_sink), 0)) {
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            GstMapInfo map;
            if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                auto const* f = reinterpret_cast<float const*>(map.data);
                out.insert(out.end(), f, f + map.size / sizeof(float));
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
        }
        return out;
    }

  private:
    GstElement* m_pipeline = nullptr;
    GstElement* m_sink = nullptr;
};

struct AudioCall : ::testing::Test {
    AudioCall() {
        EXPECT_TRUE(audio::gstreamer_available());
        automerge::AutoCommit base;
        add_voice_channel(base, "c_v");
        talker = std::make_unique<Device>("u_talker", start_loopback(), base.fork());
        listener = std::make_unique<Device>("u_listener", start_loopback(), base.fork());
    }

    // One call step of both devices, as the main loop timer runs them every 20 ms; answers what
    // the loudspeaker played meanwhile.
    std::vector<float> step_once() {
        talker->call.step(talker->env());
        listener->call.step(listener->env());
        std::this_thread::sleep_for(20ms);
        return recorder.take();
    }

    // Runs the call steps for `duration` and answers what the loudspeaker played in the second
    // half (after the pipelines settle).
    std::vector<float> run_for(std::chrono::milliseconds duration) {
        (void)recorder.take();
        auto end = std::chrono::steady_clock::now() + duration;
        auto half = std::chrono::steady_clock::now() + duration / 2;
        std::vector<float> kept;
        while (std::chrono::steady_clock::now() < end) {
            auto got = step_once();
            if (std::chrono::steady_clock::now() >= half)
                kept.insert(kept.end(), got.begin(), got.end());
        }
        return kept;
    }

    // Runs the call steps until the loudspeaker carries `hz` above `level` through a steady
    // `window`, for at least `least` and at most `most` steps. The pipelines start late and
    // drop packets while their buffers settle, the longer the busier the machine, so the
    // strongest steady stretch is measured rather than a fixed slice of time; a sound that
    // never comes, or comes at another pitch, still leaves every window below `level`.
    Heard listen_for(double hz, double level, std::size_t window, int least, int most) {
        Heard heard;
        for (int n = 0; n < most && (n < least || heard.steady <= level); ++n)
            heard.add(step_once(), hz, window);
        return heard;
    }

    // Opening a microphone takes a while on a busy machine: runs until new packets arrive.
    void wait_for_packets() {
        auto const& mic = listener->call.counters(media::MediaKind::Microphone);
        auto seen = mic.received;
        for (int i = 0; i < 500 && mic.received < seen + 10; ++i) run_for(20ms);
    }

    void toggle(Device& d, void (call::CallSession::*press)(call::CallEnv const&)) {
        (d.call.*press)(d.env());
        sync_documents(talker->doc, listener->doc);
    }

    Recorder recorder;
    std::unique_ptr<Device> talker, listener;
};

TEST_F(AudioCall, TheToneArrivesAndMutingOrDeafeningSilencesIt) {
    ASSERT_TRUE(recorder.ok());
    ASSERT_TRUE(eventually([&] { return !recorder.take().empty(); }));
    talker->call.set_cues_enabled(true);
    listener->call.join_call(listener->env(), "c_v");
    listener->call.toggle_mute(listener->env());  // only the talker's microphone is heard
    sync_documents(talker->doc, listener->doc);
    (void)recorder.take();
    talker->call.join_call(talker->env(), "c_v");
    sync_documents(talker->doc, listener->doc);
    auto cue = listen_for(audio::join_cue_hz, cue_level, cue_window, 20, 150);
    EXPECT_GT(cue.steady, cue_level) << levels_at(cue.samples, audio::join_cue_hz);
    EXPECT_EQ(talker->call.cues().last, audio::Cue::Join);

    wait_for_packets();
    auto talking = listen_for(tone_hz, tone_level, tone_window, 75, 500);
    EXPECT_GT(talking.steady, tone_level) << levels_at(talking.samples, tone_hz);
    EXPECT_TRUE(talker->call.capturing());
    EXPECT_TRUE(listener->call.playing());
    EXPECT_GT(listener->call.counters(media::MediaKind::Microphone).received, 50u);

    toggle(*talker, &call::CallSession::toggle_mute);
    auto muted = run_for(1500ms);
    EXPECT_LT(amplitude_at(muted, tone_hz), 0.01);
    EXPECT_FALSE(talker->call.capturing());

    toggle(*talker, &call::CallSession::toggle_mute);
    toggle(*listener, &call::CallSession::toggle_deafen);
    auto deafened = run_for(1500ms);
    EXPECT_LT(amplitude_at(deafened, tone_hz), 0.01);
    EXPECT_TRUE(listener->call.playing());  // kept, just not fed

    // Undeafening plays the tone again in the same pipeline, after the pause.
    toggle(*listener, &call::CallSession::toggle_deafen);
    wait_for_packets();
    auto again = listen_for(tone_hz, tone_level, tone_window, 75, 500);
    EXPECT_GT(again.steady, tone_level) << levels_at(again.samples, tone_hz);
}

// The microphone says when a packet is ready, and its packets hold 10 ms each.
TEST(AudioCapture, AnnouncesShortPackets) {
    Recorder tone;  // something for the microphone to hear
    std::atomic<int> announced = 0;
    auto capture = audio::AudioCapture::start([&] { ++announced; });
    ASSERT_TRUE(capture);
    std::vector<audio::Packet> packets;
    ASSERT_TRUE(eventually([&] {
        for (auto& p : capture->pull_packets()) packets.push_back(std::move(p));
        return packets.size() >= 20;
    }));
    EXPECT_GE(announced, int(packets.size()));
    for (auto const& p : packets)
        EXPECT_EQ(audio::opus_packet_duration_us(p), audio::encoder_frame_ms * 1000u);
}

}  // namespace
}  // namespace chat::test
