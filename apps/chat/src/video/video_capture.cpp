#include "video/video_capture.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <utility>

#include "audio/gst_support.hpp"

namespace chat::video {

namespace {

// The element autovideosrc puts in when it found no camera.
constexpr char placeholder_source[] = "fake-auto-video-src";

constexpr char rgba_tail[] =
    " ! videoconvert ! videoscale ! video/x-raw,format=RGBA,width={w},height={h} ! appsink "
    "name=sink sync=false max-buffers=2 drop=true";

std::string with_size(std::string head, int width, int height) {
    std::string tail = rgba_tail;
    tail.replace(tail.find("{w}"), 3, std::to_string(width));
    tail.replace(tail.find("{h}"), 3, std::to_string(height));
    return head + tail;
}

}  // namespace

std::string camera_launch(int width, int height) {
    return with_size("autovideosrc", width, height);
}

std::string screen_launch(std::uint32_t node, int width, int height, int remote_fd) {
    std::string head = "pipewiresrc";
    if (remote_fd >= 0) head += " fd=" + std::to_string(remote_fd);
    head += " path=" + std::to_string(node);
    return with_size(std::move(head), width, height);
}

struct PipelineCapture::Handles {
    gst::ElementRef pipeline;
    gst::ElementRef sink;
    bool failed = false;
};

PipelineCapture::PipelineCapture(std::unique_ptr<Handles> handles) : m(std::move(handles)) {}

PipelineCapture::~PipelineCapture() {
    gst::stop(m->pipeline);
}

std::expected<std::unique_ptr<PipelineCapture>, std::string> PipelineCapture::start(
    std::string const& launch, bool real_camera) {
    if (!gst::available()) return std::unexpected("GStreamer is not available");
    auto h = std::make_unique<Handles>();
    h->pipeline = gst::parse_pipeline(launch.c_str());
    if (!h->pipeline) return std::unexpected("the capture pipeline could not be built");
    h->sink = gst::child_of_type(h->pipeline, "sink", gst_app_sink_get_type());
    if (!h->sink) return std::unexpected("the capture pipeline has no application sink");
    bool playing = gst::set_playing(h->pipeline);
    // autovideosrc picks its source on the way to READY, so the choice is known here.
    if (real_camera) {
        gst::ElementRef placeholder(
            gst_bin_get_by_name(GST_BIN(h->pipeline.element), placeholder_source));
        if (placeholder) {
            gst::stop(h->pipeline);
            return std::unexpected(no_camera_text);
        }
    }
    if (!playing || gst::bus_reported_error(h->pipeline)) {
        gst::stop(h->pipeline);
        return std::unexpected("the capture pipeline failed to start");
    }
    return std::unique_ptr<PipelineCapture>(new PipelineCapture(std::move(h)));
}

std::optional<std::vector<std::uint8_t>> PipelineCapture::pull_video_frame() {
    auto* sink = GST_APP_SINK(m->sink.element);
    GstSample* newest = nullptr;
    while (GstSample* sample = gst_app_sink_try_pull_sample(sink, 0)) {
        if (newest) gst_sample_unref(newest);
        newest = sample;
    }
    if (!newest) return std::nullopt;
    return gst::take_sample_bytes(newest);
}

bool PipelineCapture::failed() {
    m->failed = m->failed || gst::bus_reported_error(m->pipeline) ||
                gst_app_sink_is_eos(GST_APP_SINK(m->sink.element));
    return m->failed;
}

}  // namespace chat::video
