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
// What the sound devices buffer, in microseconds.
inline constexpr std::int64_t device_buffer_us = 60'000;
inline constexpr std::int64_t device_period_us = 10'000;

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

// The loudspeaker: one pipeline every received packet is pushed into, in arrival order.
class AudioPlayback {
  public:
    static std::unique_ptr<AudioPlayback> start();
    ~AudioPlayback();
    AudioPlayback(AudioPlayback const&) = delete;
    AudioPlayback& operator=(AudioPlayback const&) = delete;

    // Empty packets are ignored; every other one is presented 20 ms after the one before, or
    // now when that time has already passed.
    void push(std::span<std::uint8_t const> packet);
    std::uint64_t next_presentation_ms() const { return m_next_ms; }
    bool failed();

  private:
    std::optional<std::uint64_t> running_ms() const;
    struct Handles;
    explicit AudioPlayback(std::unique_ptr<Handles> handles);
    std::unique_ptr<Handles> m;
    std::uint64_t m_next_ms = 0;
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
