#include "audio/gst_support.hpp"

namespace chat::gst {

bool available() {
    static bool const ok = gst_init_check(nullptr, nullptr, nullptr);
    return ok;
}

ElementRef parse_pipeline(char const* description) {
    if (!available()) return {};
    GError* error = nullptr;
    GstElement* parsed = gst_parse_launch(description, &error);
    if (error) g_error_free(error);
    if (!parsed) return {};
    gst_object_ref_sink(parsed);
    ElementRef ref(parsed);
    if (!GST_IS_PIPELINE(parsed)) return {};
    return ref;
}

ElementRef child_of_type(ElementRef const& pipeline, char const* name, GType type) {
    GstElement* child = gst_bin_get_by_name(GST_BIN(pipeline.element), name);
    ElementRef ref(child);
    if (!child || !G_TYPE_CHECK_INSTANCE_TYPE(child, type)) return {};
    return ref;
}

bool set_playing(ElementRef const& pipeline) {
    return gst_element_set_state(pipeline.element, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void stop(ElementRef& pipeline) {
    if (pipeline) gst_element_set_state(pipeline.element, GST_STATE_NULL);
}

bool bus_reported_error(ElementRef const& pipeline) {
    GstBus* bus = gst_element_get_bus(pipeline.element);
    if (!bus) return false;
    bool error = false;
    while (GstMessage* message = gst_bus_pop(bus)) {
        error = error || GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return error;
}

std::optional<std::vector<std::uint8_t>> take_sample_bytes(GstSample* sample) {
    std::optional<std::vector<std::uint8_t>> bytes;
    if (GstBuffer* buffer = gst_sample_get_buffer(sample)) {
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            bytes.emplace(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
    }
    gst_sample_unref(sample);
    return bytes;
}

}  // namespace chat::gst
