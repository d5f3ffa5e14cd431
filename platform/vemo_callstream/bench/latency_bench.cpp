// Camera latency between two processes on loopback: a live 640x480 test source is pulled
// from an appsink the way a call pulls its camera, encoded, sent over TCP on 127.0.0.1 with
// the pull time, decoded in the other process and converted to the painter's pixel layout.
// Prints p50 and p99 of pull-to-picture time and each side's CPU use.
//   vemo_callstream_latency [seconds]
#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "process_support.hpp"
#include "vemo_callstream/h264_decoder.hpp"
#include "vemo_callstream/h264_encoder.hpp"

using namespace vemo_callstream;
using vemo_callstream::bench::cpu_seconds;
using vemo_callstream::bench::monotonic_ns;
using vemo_callstream::bench::read_all;
using vemo_callstream::bench::write_all;

namespace {

// The sending process: capture, encode, send (pull time, length, access unit).
int run_sender(uint16_t port, int seconds) {
    gst_init(nullptr, nullptr);
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        "videotestsrc is-live=true pattern=ball ! video/x-raw,framerate=30/1 ! videoconvert ! "
        "videoscale ! video/x-raw,format=RGBA,width=640,height=480 ! "
        "appsink name=sink sync=false max-buffers=2 drop=true",
        &error);
    if (!pipeline) {
        std::fprintf(stderr, "capture: %s\n", error->message);
        return 1;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 1;

    auto encoder = encoder::H264Encoder::create(640, 480, 30);
    double cpu_start = cpu_seconds();
    int64_t end = monotonic_ns() + int64_t(seconds) * 1'000'000'000;
    while (monotonic_ns() < end) {
        // Like a frame cycle: a zero-timeout pull, then the next turn a few ms later.
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 0);
        if (!sample) {
            usleep(2000);
            continue;
        }
        int64_t pulled = monotonic_ns();
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            auto unit = encoder->encode({map.data, map.size});
            gst_buffer_unmap(buffer, &map);
            if (unit && !unit->empty()) {
                uint32_t length = uint32_t(unit->size());
                if (!write_all(fd, &pulled, sizeof pulled) ||
                    !write_all(fd, &length, sizeof length) ||
                    !write_all(fd, unit->data(), unit->size()))
                    break;
            }
        }
        gst_sample_unref(sample);
    }
    std::printf("sender CPU: %.1f%% of one core\n",
                100 * (cpu_seconds() - cpu_start) / double(seconds));
    std::fflush(stdout);  // the process ends with _exit
    close(fd);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 1;
    uint16_t port = ntohs(addr.sin_port);
    pid_t child = fork();
    if (child == 0) {
        close(listener);
        _exit(run_sender(port, seconds));
    }
    int fd = accept(listener, nullptr, nullptr);
    close(listener);

    decoder::H264Decoder decoder;
    std::vector<double> latency_ms;
    std::vector<uint8_t> unit;
    double cpu_start = cpu_seconds();
    int64_t started = monotonic_ns();
    for (;;) {
        int64_t pulled;
        uint32_t length;
        if (!read_all(fd, &pulled, sizeof pulled) || !read_all(fd, &length, sizeof length)) break;
        unit.resize(length);
        if (!read_all(fd, unit.data(), length)) break;
        auto picture = decoder.decode(unit);
        if (picture && *picture) {
            auto pixels = i420_to_argb32(**picture);  // what the overlay paints
            latency_ms.push_back(double(monotonic_ns() - pulled) / 1e6);
        }
    }
    double wall = double(monotonic_ns() - started) / 1e9;
    waitpid(child, nullptr, 0);
    if (latency_ms.empty()) {
        std::fprintf(stderr, "no pictures arrived\n");
        return 1;
    }
    std::sort(latency_ms.begin(), latency_ms.end());
    std::printf("receiver CPU: %.1f%% of one core\n", 100 * (cpu_seconds() - cpu_start) / wall);
    std::printf("pictures: %zu in %.1f s\n", latency_ms.size(), wall);
    std::printf("pull to picture: p50 %.2f ms, p99 %.2f ms\n", latency_ms[latency_ms.size() / 2],
                latency_ms[std::min(latency_ms.size() - 1, latency_ms.size() * 99 / 100)]);
    return 0;
}
