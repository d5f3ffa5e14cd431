#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Call audio: mono Opus at 48 kHz through GStreamer. Everything here is called on the UI
// thread and never waits; GStreamer's streaming threads do the real-time work.
namespace chat::audio {

inline constexpr char capture_launch[] =
    "autoaudiosrc ! audioconvert ! audioresample ! audio/x-raw,rate=48000,channels=1 ! opusenc "
    "! appsink name=sink sync=false max-buffers=8 drop=true";
inline constexpr char playback_launch[] =
    "appsrc name=src is-live=true format=time ! opusdec ! audioconvert ! audioresample ! "
    "autoaudiosink";
inline constexpr char cue_launch_format[] =
    "audiotestsrc num-buffers=8 freq=%u volume=0.3 ! audioconvert ! autoaudiosink";
inline constexpr unsigned join_cue_hz = 523;
inline constexpr unsigned leave_cue_hz = 784;
inline constexpr unsigned cue_stop_ms = 260;
// The encoder's default frame duration; sender timestamps keep counting in it.
inline constexpr std::uint64_t packet_ms = 20;
// What the microphone's encoder is set to after the pipeline is parsed: 10 ms frames and the
// low-delay mode (2.5 ms of look-ahead instead of 6.5 ms) take about 14 ms off every call's
// delay. Receivers read each packet's own duration, so peers with 20 ms frames still play.
inline constexpr int encoder_frame_ms = 10;
inline constexpr char encoder_audio_type[] = "restricted-lowdelay";
// What the sound devices buffer, in microseconds. The period is what a capture hands on at a
// time and what playback tops up at a time, so it adds to the delay directly; the loudspeaker's
// whole buffer does too. The microphone's buffer only absorbs a stalled reader.
struct DeviceBuffer {
    std::int64_t buffer_us;
    std::int64_t period_us;
};
inline constexpr DeviceBuffer capture_device{40'000, 5'000};
inline constexpr DeviceBuffer playback_device{20'000, 5'000};

// True once GStreamer initialised; tried once per process.
bool gstreamer_available();

using Packet = std::vector<std::uint8_t>;

// How much sound an Opus packet holds, in microseconds, read from its table-of-contents byte
// (and the frame count byte of a code 3 packet); nothing when the packet is malformed.
std::optional<std::uint64_t> opus_packet_duration_us(std::span<std::uint8_t const> packet);

// The microphone: a running capture pipeline whose encoded packets are pulled without waiting.
class AudioCapture {
  public:
    // `on_packet` is called on GStreamer's streaming thread each time a packet is ready to be
    // pulled; it must not wait.
    static std::unique_ptr<AudioCapture> start(std::function<void()> on_packet = {});
    ~AudioCapture();
    AudioCapture(AudioCapture const&) = delete;
    AudioCapture& operator=(AudioCapture const&) = delete;

    // Every packet captured since the last call, oldest first.
    std::vector<Packet> pull_packets();
    // True once the pipeline reported an error (no audio server, device gone): the capture
    // is dead and must be started again.
    bool failed();

  private:
    struct Handles;
    explicit AudioCapture(std::unique_ptr<Handles> handles);
    std::unique_ptr<Handles> m;
};

// Where received packets go on the playback timeline. Each packet follows the one before
// (20 ms or whatever the packet holds), but never starts at a time already past: after a pause
// (the talker muted, we were deafened, the network stalled) the sink would drop everything from
// then on. Nor may the timeline run far ahead of the clock: a burst of packets (the queue of a
// connection that just came up, a stalled UI frame) would otherwise become a delay that stays
// for the rest of the call, so a packet that would start more than `max_lead_us` ahead is
// dropped and the timeline catches up.
//
// The lead a packet is placed with is delay the listener hears. A late packet pushes the whole
// timeline later, and nothing else brings it back, so one hiccup would otherwise set the delay
// for the rest of the call. Every `review_us` of sound the smallest lead seen is reviewed: when
// even that one left more than a packet (plus `spare_lead_us` for jitter), the next packet is
// dropped, which takes a packet's length off the lead at the cost of one short gap.
// All times are in microseconds.
struct PlaybackSchedule {
    static constexpr std::uint64_t max_lead_us = 2 * packet_ms * 1000;
    static constexpr std::uint64_t review_us = 500'000;
    static constexpr std::uint64_t spare_lead_us = 2'000;
    std::uint64_t next_us = 0;
    std::uint64_t reviewed_us = 0;
    std::optional<std::uint64_t> least_lead_us;
    bool shed_next = false;
    // The presentation time of the next packet, `duration_us` long, given the pipeline's
    // running time (none while it has no clock yet), or none when it is to be dropped.
    std::optional<std::uint64_t> place(std::optional<std::uint64_t> now_us,
                                       std::uint64_t duration_us = packet_ms * 1000);
};

// The loudspeaker: one pipeline every received packet is pushed into, in arrival order.
class AudioPlayback {
  public:
    static std::unique_ptr<AudioPlayback> start();
    ~AudioPlayback();
    AudioPlayback(AudioPlayback const&) = delete;
    AudioPlayback& operator=(AudioPlayback const&) = delete;

    // Empty packets are ignored; every other one is placed by the schedule above.
    void push(std::span<std::uint8_t const> packet);
    std::uint64_t next_presentation_ms() const { return m_schedule.next_us / 1000; }
    bool failed();

  private:
    std::optional<std::uint64_t> running_us() const;
    struct Handles;
    explicit AudioPlayback(std::unique_ptr<Handles> handles);
    std::unique_ptr<Handles> m;
    PlaybackSchedule m_schedule;
};

enum class Cue : std::uint8_t { Join = 0, Leave = 1, None = 2 };

struct CueSetting {
    bool enabled = false;
    Cue last = Cue::None;
};

// The launch description of a cue tone.
std::string cue_description(Cue cue);
// Records the cue and, when cues are enabled, plays it; the tone is stopped after 260 ms by
// a detached thread that holds only a weak reference to the pipeline.
void play_cue(CueSetting& setting, Cue cue);

// A pipeline that failed to start is not tried again for a second, so that a missing audio
// server does not cost a pipeline build every frame.
class RetryGate {
  public:
    static constexpr double interval_seconds = 1.0;
    bool ready(double now) const { return !m_failed_at || now - *m_failed_at >= interval_seconds; }
    void failed(double now) { m_failed_at = now; }
    void succeeded() { m_failed_at.reset(); }

  private:
    std::optional<double> m_failed_at;
};

}  // namespace chat::audio
