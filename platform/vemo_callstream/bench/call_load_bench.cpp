// The codec load of a six-person call on one machine: six processes, each encoding its own
// 640x480 camera at 30 frames a second and decoding the five others (pre-encoded streams),
// converting every picture for painting. Each process keeps a 30 Hz schedule; it reports its
// CPU use and how far it fell behind (the queue a slow participant would build up).
//   vemo_callstream_call_load [participants] [seconds]
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../tests/test_pattern.hpp"
#include "process_support.hpp"
#include "vemo_callstream/h264_decoder.hpp"
#include "vemo_callstream/h264_encoder.hpp"

using namespace vemo_callstream;
using vemo_callstream::bench::cpu_seconds;
using vemo_callstream::bench::monotonic_ns;

namespace {

constexpr int W = 640, H = 480, fps = 30;
constexpr int64_t period_ns = 1'000'000'000 / fps;

using Stream = std::vector<std::vector<uint8_t>>;

int participant(int index, std::vector<std::vector<uint8_t>> const& frames,
                std::vector<Stream> const& streams, int seconds) {
    auto encoder = encoder::H264Encoder::create(W, H, fps);
    std::vector<decoder::H264Decoder> decoders(streams.size());
    int64_t start = monotonic_ns();
    double cpu_start = cpu_seconds();
    int ticks = seconds * fps;
    int64_t worst_lag = 0;
    int late_ticks = 0;
    for (int tick = 0; tick < ticks; ++tick) {
        int64_t due = start + tick * period_ns;
        int64_t now = monotonic_ns();
        if (now < due) {
            timespec wait{0, long(due - now)};
            nanosleep(&wait, nullptr);
        } else {
            worst_lag = std::max(worst_lag, now - due);
            if (now - due > period_ns) ++late_ticks;
        }
        (void)encoder->encode(frames[size_t(tick) % frames.size()]);
        for (size_t s = 0; s < streams.size(); ++s) {
            auto const& stream = streams[s];
            if (size_t(tick) % stream.size() == 0) decoders[s] = decoder::H264Decoder();
            auto picture = decoders[s].decode(stream[size_t(tick) % stream.size()]);
            if (picture && *picture) (void)i420_to_argb32(**picture);
        }
    }
    double wall = double(monotonic_ns() - start) / 1e9;
    double cpu = cpu_seconds() - cpu_start;
    // CPU per tick does not depend on what else runs on the machine; the lateness does.
    std::printf(
        "participant %d: %.2f ms CPU a frame (%.1f%% of one core at %d fps), "
        "%.1f%% of one core used, %d of %d ticks over a frame late, worst lag %.1f ms\n",
        index, 1000 * cpu / ticks, 100 * cpu / ticks * fps, fps, 100 * cpu / wall, late_ticks,
        ticks, double(worst_lag) / 1e6);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int people = argc > 1 ? std::clamp(std::atoi(argv[1]), 2, 16) : 6;
    int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 2 * fps; ++i) frames.push_back(testing::moving_pattern(W, H, i));
    // What the others send: each a 2 s loop starting at a key frame.
    std::vector<Stream> streams;
    for (int other = 0; other < people - 1; ++other) {
        auto encoder = encoder::H264Encoder::create(W, H, fps);
        Stream stream;
        for (int i = 0; i < 2 * fps; ++i) {
            auto unit = encoder->encode(testing::moving_pattern(W, H, i + other * 7));
            if (unit && !unit->empty()) stream.push_back(std::move(*unit));
        }
        streams.push_back(std::move(stream));
    }
    std::vector<pid_t> children;
    for (int p = 0; p < people; ++p) {
        pid_t child = fork();
        if (child == 0) _exit(participant(p, frames, streams, seconds));
        children.push_back(child);
    }
    for (pid_t child : children) waitpid(child, nullptr, 0);
    return 0;
}
