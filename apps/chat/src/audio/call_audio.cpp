#include "audio/call_audio.hpp"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
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

// The first element of the pipeline made by `factory` (the launch description names none).
ElementRef element_from_factory(ElementRef const& pipeline, char const* factory) {
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(pipeline.element));
    GValue item = G_VALUE_INIT;
    ElementRef found;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* made_by = gst_element_get_factory(element);
        if (made_by && g_strcmp0(GST_OBJECT_NAME(made_by), factory) == 0)
            found = ElementRef(GST_ELEMENT(gst_object_ref(element)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

// Short frames and the low-delay mode; an encoder without these settings keeps its defaults.
void tune_encoder_for_delay(ElementRef const& pipeline) {
    ElementRef encoder = element_from_factory(pipeline, "opusenc");
    if (!encoder) return;
    GObjectClass* klass = G_OBJECT_GET_CLASS(encoder.element);
    if (g_object_class_find_property(klass, "frame-size"))
        gst_util_set_object_arg(G_OBJECT(encoder.element), "frame-size",
                                std::to_string(encoder_frame_ms).c_str());
    if (g_object_class_find_property(klass, "audio-type"))
        gst_util_set_object_arg(G_OBJECT(encoder.element), "audio-type", encoder_audio_type);
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
    std::function<void()> on_packet;
};

namespace {

GstFlowReturn announce_packet(GstAppSink*, gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return GST_FLOW_OK;
}

}  // namespace

AudioCapture::AudioCapture(std::unique_ptr<Handles> handles) : m(std::move(handles)) {}

AudioCapture::~AudioCapture() {
    stop(m->pipeline);
}

std::unique_ptr<AudioCapture> AudioCapture::start(std::function<void()> on_packet) {
    auto h = std::make_unique<Handles>();
    h->pipeline = parse_pipeline(capture_launch);
    if (!h->pipeline) return nullptr;
    h->sink = child_of_type(h->pipeline, "sink", gst_app_sink_get_type());
    keep_device_buffers_small(h->pipeline, capture_device);
    tune_encoder_for_delay(h->pipeline);
    // The sample stays queued for pull_packets; the callback only says it is there. Stopping
    // the pipeline ends the streaming thread before the handles go.
    if (h->sink && on_packet) {
        h->on_packet = std::move(on_packet);
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = announce_packet;
        gst_app_sink_set_callbacks(GST_APP_SINK(h->sink.element), &callbacks, &h->on_packet,
                                   nullptr);
    }
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

// How far the playback pipeline's clock has run since it started playing, in microseconds.
std::optional<std::uint64_t> AudioPlayback::running_us() const {
    GstClock* clock = gst_element_get_clock(m->pipeline.element);
    if (!clock) return std::nullopt;
    GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    GstClockTime base = gst_element_get_base_time(m->pipeline.element);
    return now > base ? (now - base) / GST_USECOND : 0;
}

std::optional<std::uint64_t> opus_packet_duration_us(std::span<std::uint8_t const> packet) {
    if (packet.empty()) return std::nullopt;
    unsigned config = packet[0] >> 3;
    static constexpr std::uint64_t speech_us[] = {10'000, 20'000, 40'000, 60'000};
    std::uint64_t frame_us;
    if (config < 12)  // speech
        frame_us = speech_us[config & 3];
    else if (config < 16)  // hybrid: 10 or 20 ms
        frame_us = (config & 1) ? 20'000 : 10'000;
    else  // music: 2.5, 5, 10 or 20 ms
        frame_us = std::uint64_t{2'500} << (config & 3);
    std::uint64_t frames;
    switch (packet[0] & 3) {
        case 0:
            frames = 1;
            break;
        case 1:
        case 2:
            frames = 2;
            break;
        default:
            if (packet.size() < 2) return std::nullopt;
            frames = packet[1] & 0x3f;
            break;
    }
    std::uint64_t total = frames * frame_us;
    // A packet holds at least one frame and at most 120 ms of sound.
    if (frames == 0 || total > 120'000) return std::nullopt;
    return total;
}

std::optional<std::uint64_t> PlaybackSchedule::place(std::optional<std::uint64_t> now_us,
                                                     std::uint64_t duration_us) {
    if (!now_us) {
        std::uint64_t at = next_us;
        next_us += duration_us;
        return at;
    }
    if (next_us > *now_us + max_lead_us || std::exchange(shed_next, false)) return std::nullopt;
    next_us = std::max(next_us, *now_us);
    std::uint64_t lead = next_us - *now_us;
    least_lead_us = std::min(least_lead_us.value_or(lead), lead);
    std::uint64_t at = next_us;
    next_us += duration_us;
    reviewed_us += duration_us;
    if (reviewed_us >= review_us) {
        shed_next = *least_lead_us >= spare_lead_us + duration_us;
        reviewed_us = 0;
        least_lead_us.reset();
    }
    return at;
}

void AudioPlayback::push(std::span<std::uint8_t const> packet) {
    if (packet.empty()) return;
    // A packet whose length cannot be read is still pushed (the decoder conceals it), as the
    // 20 ms every peer sent before frames got shorter.
    std::uint64_t duration_us = opus_packet_duration_us(packet).value_or(packet_ms * 1000);
    auto at = m_schedule.place(running_us(), duration_us);
    if (!at) return;
    GstBuffer* buffer = gst_buffer_new_memdup(packet.data(), packet.size());
    if (!buffer) return;
    GST_BUFFER_PTS(buffer) = *at * GST_USECOND;
    GST_BUFFER_DURATION(buffer) = duration_us * GST_USECOND;
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
