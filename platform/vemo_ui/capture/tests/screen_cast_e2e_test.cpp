// The whole screen path below the application: a PipeWire video node stands in for a
// monitor, the portal stand-in grants it with a connection to the PipeWire remote, the
// capture pipeline reads it through that connection, and the stream sender and receiver
// carry the frames to 1280x960 pictures. Runs under dbus-run-session and with_pipewire.sh.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>

#include "portal_stand_in.hpp"
#include "vemo_callstream/video_stream.hpp"
#include "vemo_ui/screen_capture.hpp"

using namespace vemo_ui::capture;
using vemo_ui::capture::testing::PortalStandIn;
using vemo_ui::capture::testing::spin_until;

namespace {

constexpr char const* node_name = "vemo-test-screen";

// The id of the PipeWire node called `name`, read from pw-dump.
std::optional<uint32_t> find_node(std::string const& name) {
    gchar* out = nullptr;
    gint status = 0;
    char const* argv[] = {"pw-dump", nullptr};
    if (!g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                      nullptr, &out, nullptr, &status, nullptr))
        return std::nullopt;
    auto objects = nlohmann::json::parse(out ? out : "", nullptr, false);
    g_free(out);
    if (!objects.is_array()) return std::nullopt;
    for (auto const& o : objects) {
        auto props = o.value("/info/props"_json_pointer, nlohmann::json::object());
        if (props.value("node.name", "") == name && o.contains("id"))
            return o["id"].get<uint32_t>();
    }
    return std::nullopt;
}

struct Pipeline {
    GstElement* element = nullptr;
    explicit Pipeline(std::string const& launch) {
        GError* error = nullptr;
        element = gst_parse_launch(launch.c_str(), &error);
        if (error) {
            ADD_FAILURE() << launch << ": " << error->message;
            g_error_free(error);
        }
        if (element) gst_element_set_state(element, GST_STATE_PLAYING);
    }
    ~Pipeline() {
        if (!element) return;
        gst_element_set_state(element, GST_STATE_NULL);
        gst_object_unref(element);
    }
};

TEST(ScreenCastEndToEnd, APortalGrantedNodeBecomesStreamedPictures) {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS") || !std::getenv("XDG_RUNTIME_DIR"))
        GTEST_SKIP() << "run under dbus-run-session and with_pipewire.sh";
    gst_init(nullptr, nullptr);
    if (!gst_element_factory_find("pipewiresrc")) GTEST_SKIP() << "no GStreamer PipeWire plugin";

    // A moving picture offered as a video source node, the way a compositor offers a monitor.
    Pipeline screen(std::string("videotestsrc is-live=true pattern=ball ! "
                                "video/x-raw,format=BGRx,width=640,height=480,framerate=30/1 ! "
                                "pipewiresink mode=provide "
                                "stream-properties=\"props,media.class=Video/Source,node.name=") +
                    node_name + "\"");
    ASSERT_NE(screen.element, nullptr);
    std::optional<uint32_t> node;
    ASSERT_TRUE(spin_until([&] { return (node = find_node(node_name)).has_value(); }))
        << "the test node never appeared";

    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(bus, nullptr);
    {
        PortalStandIn portal(bus);
        ASSERT_TRUE(portal.start("grant", *node));
        auto request = request_screen_capture({});
        std::optional<ScreenCaptureRequest::Answer> answer;
        ASSERT_TRUE(spin_until([&] { return (answer = request->poll()).has_value(); }));
        ASSERT_TRUE(answer->has_value()) << answer->error();
        ScreenCapture& capture = **answer;
        EXPECT_EQ(capture.node, *node);
        ASSERT_TRUE(capture.pipewire_remote);

        // The capture pipeline of a call, reaching the node through the granted remote.
        Pipeline pipeline("pipewiresrc fd=" + std::to_string(capture.pipewire_remote.get()) +
                          " path=" + std::to_string(capture.node) +
                          " ! videoconvert ! videoscale ! "
                          "video/x-raw,format=RGBA,width=1280,height=960 ! "
                          "appsink name=sink sync=false max-buffers=2 drop=true");
        ASSERT_NE(pipeline.element, nullptr);
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline.element), "sink");
        ASSERT_NE(sink, nullptr);

        auto sender = vemo_callstream::session::VideoStreamSender::create(1280, 960, 30);
        ASSERT_TRUE(sender.has_value());
        vemo_callstream::session::VideoStreamReceiver receiver;
        int frames = 0;
        std::vector<vemo_callstream::Picture> pictures;
        ASSERT_TRUE(spin_until([&] {
            GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_MSECOND);
            if (!sample) return false;
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            GstMapInfo map;
            if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                ++frames;
                auto packet = sender->offer_frame({map.data, map.size},
                                                  vemo_callstream::session::Clock::now());
                EXPECT_TRUE(packet.has_value()) << packet.error().display_text();
                if (packet && *packet)
                    for (auto& p : receiver.push(**packet)) pictures.push_back(std::move(p));
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
            return pictures.size() >= 3;
        })) << frames
            << " frames captured, " << pictures.size() << " pictures";
        gst_object_unref(sink);

        auto const& last = pictures.back();
        EXPECT_EQ(last.width, 1280);
        EXPECT_EQ(last.height, 960);
        // The bouncing ball is there: a bright spot on the dark field.
        auto [lo, hi] = std::minmax_element(last.y(), last.y() + size_t(1280) * 960);
        EXPECT_LT(*lo, 40);
        EXPECT_GT(*hi, 200);
    }
    g_object_unref(bus);
}

}  // namespace
