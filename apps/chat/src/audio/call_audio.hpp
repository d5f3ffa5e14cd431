#pragma once

#include <cstdint>
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
inline constexpr std::uint64_t packet_ms = 20;
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

// The microphone: a running capture pipeline whose encoded packets are pulled without waiting.
class AudioCapture {
  public:
    static std::unique_ptr<AudioCapture> start();
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

// Where received packets go on the playback timeline. Packets follow each other 20 ms apart,
// but never start at a time already past: after a pause (the talker muted, we were deafened,
// the network stalled) the sink would drop everything from then on. Nor may the timeline run
// far ahead of the clock: a burst of packets (the queue of a connection that just came up, a
// stalled UI frame) would otherwise become a delay that stays for the rest of the call, so a
// packet that would start more than `max_lead_ms` ahead is dropped and the timeline catches up.
struct PlaybackSchedule {
    static constexpr std::uint64_t max_lead_ms = 2 * packet_ms;
    std::uint64_t next_ms = 0;
    // The presentation time of the next packet given the pipeline's running time (none while
    // it has no clock yet), or none when the packet is to be dropped.
    std::optional<std::uint64_t> place(std::optional<std::uint64_t> now_ms);
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
    std::uint64_t next_presentation_ms() const { return m_schedule.next_ms; }
    bool failed();

  private:
    std::optional<std::uint64_t> running_ms() const;
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
