#include "audio/call_audio.hpp"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "audio/gst_support.hpp"

namespace chat::audio {

namespace {

using gst::bus_reported_error;
using gst::child_of_type;
using gst::ElementRef;
using gst::parse_pipeline;
using gst::set_playing;
using gst::stop;

// The sound server's defaults buffer 200 ms on each side, several times what a conversation
// tolerates; the device elements that autoaudiosrc and autoaudiosink pick get small buffers.
void on_element_added(GstBin*, GstBin*, GstElement* element, gpointer data) {
    GObjectClass* klass = G_OBJECT_GET_CLASS(element);
    if (!g_object_class_find_property(klass, "buffer-time") ||
        !g_object_class_find_property(klass, "latency-time"))
        return;
    auto const* device = static_cast<DeviceBuffer const*>(data);
    g_object_set(element, "buffer-time", device->buffer_us, "latency-time", device->period_us,
                 nullptr);
}

void keep_device_buffers_small(ElementRef const& pipeline, DeviceBuffer const& device) {
    g_signal_connect(pipeline.element, "deep-element-added", G_CALLBACK(on_element_added),
                     const_cast<DeviceBuffer*>(&device));
}

// The newest cue stays referenced here until the next one, so that its tone is heard; the
// stopping thread only ever holds a weak reference.
ElementRef& last_cue() {
    static ElementRef cue;
    return cue;
}

}  // namespace

bool gstreamer_available() {
    return gst::available();
}

// --- Capture ------------------------------------------------------------------------------

struct AudioCapture::Handles {
    ElementRef pipeline;
    ElementRef sink;
    bool failed = false;
};

AudioCapture::AudioCapture(std::unique_ptr<Handles> handles) : m(std::move(handles)) {}

AudioCapture::~AudioCapture() {
    stop(m->pipeline);
}

std::unique_ptr<AudioCapture> AudioCapture::start() {
    auto h = std::make_unique<Handles>();
    h->pipeline = parse_pipeline(capture_launch);
    if (!h->pipeline) return nullptr;
    h->sink = child_of_type(h->pipeline, "sink", gst_app_sink_get_type());
    keep_device_buffers_small(h->pipeline, capture_device);
    if (!h->sink || !set_playing(h->pipeline)) {
        stop(h->pipeline);
        return nullptr;
    }
    return std::unique_ptr<AudioCapture>(new AudioCapture(std::move(h)));
}

std::vector<Packet> AudioCapture::pull_packets() {
    std::vector<Packet> out;
    auto* sink = GST_APP_SINK(m->sink.element);
    while (GstSample* sample = gst_app_sink_try_pull_sample(sink, 0))
        if (auto bytes = gst::take_sample_bytes(sample)) out.push_back(std::move(*bytes));
    return out;
}

bool AudioCapture::failed() {
    m->failed = m->failed || bus_reported_error(m->pipeline);
    return m->failed;
}

// --- Playback -----------------------------------------------------------------------------

struct AudioPlayback::Handles {
    ElementRef pipeline;
    ElementRef src;
    bool failed = false;
};

AudioPlayback::AudioPlayback(std::unique_ptr<Handles> handles) : m(std::move(handles)) {}

AudioPlayback::~AudioPlayback() {
    if (m->src) gst_app_src_end_of_stream(GST_APP_SRC(m->src.element));
    stop(m->pipeline);
}

std::unique_ptr<AudioPlayback> AudioPlayback::start() {
    auto h = std::make_unique<Handles>();
    h->pipeline = parse_pipeline(playback_launch);
    if (!h->pipeline) return nullptr;
    h->src = child_of_type(h->pipeline, "src", gst_app_src_get_type());
    if (!h->src) return nullptr;
    keep_device_buffers_small(h->pipeline, playback_device);
    GstCaps* caps = gst_caps_new_empty();
    gst_caps_append_structure(
        caps, gst_structure_new("audio/x-opus", "rate", G_TYPE_INT, 48000, "channels", G_TYPE_INT,
                                1, "channel-mapping-family", G_TYPE_INT, 0, nullptr));
    auto* src = GST_APP_SRC(h->src.element);
    gst_app_src_set_caps(src, caps);
    gst_caps_unref(caps);
    g_object_set(src, "format", GST_FORMAT_TIME, nullptr);
    if (!set_playing(h->pipeline)) {
        stop(h->pipeline);
        return nullptr;
    }
    return std::unique_ptr<AudioPlayback>(new AudioPlayback(std::move(h)));
}

// How far the playback pipeline's clock has run since it started playing, in milliseconds.
std::optional<std::uint64_t> AudioPlayback::running_ms() const {
    GstClock* clock = gst_element_get_clock(m->pipeline.element);
    if (!clock) return std::nullopt;
    GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    GstClockTime base = gst_element_get_base_time(m->pipeline.element);
    return now > base ? (now - base) / GST_MSECOND : 0;
}

std::optional<std::uint64_t> PlaybackSchedule::place(std::optional<std::uint64_t> now_ms) {
    if (now_ms) {
        if (next_ms > *now_ms + max_lead_ms) return std::nullopt;
        next_ms = std::max(next_ms, *now_ms);
    }
    std::uint64_t at = next_ms;
    next_ms += packet_ms;
    return at;
}

void AudioPlayback::push(std::span<std::uint8_t const> packet) {
    if (packet.empty()) return;
    auto at = m_schedule.place(running_ms());
    if (!at) return;
    GstBuffer* buffer = gst_buffer_new_memdup(packet.data(), packet.size());
    if (!buffer) return;
    GST_BUFFER_PTS(buffer) = *at * GST_MSECOND;
    GST_BUFFER_DURATION(buffer) = packet_ms * GST_MSECOND;
    gst_app_src_push_buffer(GST_APP_SRC(m->src.element), buffer);
}

bool AudioPlayback::failed() {
    m->failed = m->failed || bus_reported_error(m->pipeline);
    return m->failed;
}

// --- Cues ---------------------------------------------------------------------------------

std::string cue_description(Cue cue) {
    char text[sizeof(cue_launch_format) + 16];
    std::snprintf(text, sizeof text, cue_launch_format,
                  cue == Cue::Leave ? leave_cue_hz : join_cue_hz);
    return text;
}

void play_cue(CueSetting& setting, Cue cue) {
    setting.last = cue;
    if (!setting.enabled) return;
    ElementRef pipeline = parse_pipeline(cue_description(cue).c_str());
    if (!pipeline || !set_playing(pipeline)) {
        stop(pipeline);
        return;
    }
    auto* weak = new GWeakRef;
    g_weak_ref_init(weak, pipeline.element);
    std::thread([weak] {
        std::this_thread::sleep_for(std::chrono::milliseconds(cue_stop_ms));
        if (auto* still = static_cast<GstElement*>(g_weak_ref_get(weak))) {
            gst_element_set_state(still, GST_STATE_NULL);
            gst_object_unref(still);
        }
        g_weak_ref_clear(weak);
        delete weak;
    }).detach();
    ElementRef previous = std::exchange(last_cue(), std::move(pipeline));
    stop(previous);
}

}  // namespace chat::audio
