#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// GStreamer pipelines as the call builds them: parsed from a launch description, driven from
// the UI thread, read without waiting.
namespace chat::gst {

// True once GStreamer initialised; tried once per process.
bool available();

// An owned reference to an element.
struct ElementRef {
    GstElement* element = nullptr;
    ElementRef() = default;
    explicit ElementRef(GstElement* e) : element(e) {}
    ElementRef(ElementRef&& other) noexcept : element(std::exchange(other.element, nullptr)) {}
    ElementRef& operator=(ElementRef&& other) noexcept {
        std::swap(element, other.element);
        return *this;
    }
    ~ElementRef() {
        if (element) gst_object_unref(element);
    }
    explicit operator bool() const { return element != nullptr; }
};

// Parses a launch description that must yield a pipeline; empty on any failure.
ElementRef parse_pipeline(char const* description);
// The pipeline's element `name` when it is of `type`.
ElementRef child_of_type(ElementRef const& pipeline, char const* name, GType type);
bool set_playing(ElementRef const& pipeline);
// Sets the pipeline to NULL, which releases its devices.
void stop(ElementRef& pipeline);
// Empties the pipeline's bus (nobody else reads it, so it would grow) and answers whether an
// error was among the messages.
bool bus_reported_error(ElementRef const& pipeline);
// The bytes of a sample's buffer, which is then released; nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> take_sample_bytes(GstSample* sample);

}  // namespace chat::gst
