// Call video as the app runs it, one process per participant, over the app's own media
// transport (QUIC on loopback). Every process steps its call every 20 ms like the app's call
// tick and has a camera: a GStreamer capture pipeline ("fdsrc ! rawvideoparse ! videoconvert !
// videoscale ! appsink", the camera pipeline's tail) fed 640x480 I420 frames at 30 Hz through a
// pipe. Each frame carries, burned into its top-left corner as black and white blocks, the
// monotonic time at which it was written into the pipe. Whoever receives a picture reads the
// blocks back from the converted image the overlay would paint, so latency is measured from
// "frame leaves the camera" to "picture ready to paint", pipeline, encode, transport, decode
// and conversion included, each side waiting for its own tick.
//
//   chat_call_video_bench [participants=2] [seconds=10] [mesh|star]
//
// Two participants: the glass-to-glass latency of one camera. Six: a six-person call on one
// machine; each process's CPU use, how far its tick fell behind and whether the pictures kept
// coming at the camera's rate. "mesh" (the default) is the call as it is, everyone sending to
// everyone; "star" measures one participant, u_0, of such a call: the five others send their
// camera to it and see only its picture, so that a machine with few cores can still give u_0
// the whole load of a six-person call without starving it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../../../platform/vemo_callstream/bench/process_support.hpp"
#include "../tests/call_test_support.hpp"
#include "doc/schema.hpp"
#include "video/video_capture.hpp"

namespace {

using chat::test::Device;
using vemo_callstream::bench::cpu_seconds;
using vemo_callstream::bench::monotonic_ns;
using vemo_callstream::bench::read_all;
using vemo_callstream::bench::write_all;

constexpr int W = 640, H = 480, fps = 30;
constexpr int64_t tick_ns = 20'000'000;  // the app's call tick
constexpr double warm_up_seconds = 2.0;  // connections open, first key frames pass

// The time code: 32 bits of microseconds and 8 check bits, one 32x32 block each, 10 a row.
constexpr int block = 32, per_row = 10, code_bits = 40;

uint32_t check_of(uint32_t micros) {
    return ((micros ^ (micros >> 8) ^ (micros >> 16) ^ (micros >> 24)) & 0xff) ^ 0x5a;
}

void burn_code(std::vector<uint8_t>& i420, uint32_t micros) {
    uint64_t bits = uint64_t(micros) | uint64_t(check_of(micros)) << 32;
    for (int b = 0; b < code_bits; ++b) {
        uint8_t y = (bits >> b) & 1 ? 235 : 16;
        int bx = (b % per_row) * block, by = (b / per_row) * block;
        for (int row = by; row < by + block; ++row)
            std::memset(&i420[size_t(row) * W + bx], y, block);
    }
    // Grey chroma under the code, so the blocks stay pure black and white.
    uint8_t* u = i420.data() + W * H;
    uint8_t* v = u + (W / 2) * (H / 2);
    for (int row = 0; row < (code_bits / per_row) * block / 2; ++row) {
        std::memset(u + row * (W / 2), 128, per_row * block / 2);
        std::memset(v + row * (W / 2), 128, per_row * block / 2);
    }
}

// The time code of a received picture; nothing when a block reads as neither.
std::optional<uint32_t> read_code(vemo_ui::Image const& image) {
    if (image.width != W || image.height != H) return std::nullopt;
    uint64_t bits = 0;
    for (int b = 0; b < code_bits; ++b) {
        int cx = (b % per_row) * block + block / 2, cy = (b / per_row) * block + block / 2;
        int sum = 0;
        for (int dy = -4; dy < 4; ++dy)
            for (int dx = -4; dx < 4; ++dx) {
                uint32_t px;
                std::memcpy(&px, &image.pixels[size_t(cy + dy) * image.stride + (cx + dx) * 4], 4);
                sum += int((px >> 8) & 0xff);
            }
        int mean = sum / 64;
        if (mean > 90 && mean < 170) return std::nullopt;
        if (mean >= 170) bits |= uint64_t(1) << b;
    }
    auto micros = uint32_t(bits);
    if (uint32_t(bits >> 32) != check_of(micros)) return std::nullopt;
    return micros;
}

// A moving, camera-like background: gradients, a sliding bright square, a scrolling band.
void paint_background(std::vector<uint8_t>& i420, int frame) {
    int box = H / 4, bx = (frame * 7) % (W - box), by = H / 3 + int(std::sin(frame * 0.1) * H / 8);
    int band = (frame * 3) % H;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            int l = 40 + (x + y) * 160 / (W + H);
            if (x >= bx && x < bx + box && y >= by && y < by + box) l = 230;
            if (std::abs(y - band) < 12 && (x / 8) % 2 == 0) l = 20;
            i420[size_t(y) * W + x] = uint8_t(l);
        }
    uint8_t* u = i420.data() + W * H;
    uint8_t* v = u + (W / 2) * (H / 2);
    for (int y = 0; y < H / 2; ++y)
        for (int x = 0; x < W / 2; ++x) {
            u[y * (W / 2) + x] = uint8_t(96 + x * 64 / (W / 2));
            v[y * (W / 2) + x] = uint8_t(160 - y * 64 / (H / 2));
        }
}

// The camera: a capture pipeline reading raw frames that a thread writes into a pipe at 30 Hz.
class GlassCamera final : public chat::video::FrameSource {
  public:
    static chat::video::SourceResult start() {
        int fds[2];
        if (::pipe(fds) != 0) return std::unexpected("no pipe");
        ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);  // a whole frame fits: writes never stall
        std::string launch = "fdsrc fd=" + std::to_string(fds[0]) +
                             " ! rawvideoparse format=i420 width=640 height=480 framerate=30/1"
                             " ! videoconvert ! videoscale ! "
                             "video/x-raw,format=RGBA,width=640,height=480 ! appsink name=sink "
                             "sync=false max-buffers=2 drop=true";
        auto capture = chat::video::PipelineCapture::start(launch);
        if (!capture) {
            ::close(fds[0]);
            ::close(fds[1]);
            return std::unexpected(capture.error());
        }
        return std::unique_ptr<FrameSource>(new GlassCamera(std::move(*capture), fds[0], fds[1]));
    }
    ~GlassCamera() override {
        m_stop = true;
        m_capture.reset();
        ::close(m_read_fd);  // a feeder stuck in write gets EPIPE
        m_feeder.join();
        ::close(m_write_fd);
    }
    std::optional<std::vector<uint8_t>> pull_video_frame() override {
        return m_capture->pull_video_frame();
    }
    bool failed() override { return m_capture->failed(); }

  private:
    GlassCamera(std::unique_ptr<chat::video::PipelineCapture> capture, int read_fd, int write_fd)
        : m_capture(std::move(capture)), m_read_fd(read_fd), m_write_fd(write_fd) {
        m_feeder = std::thread([this] { feed(); });
    }
    void feed() {
        constexpr int backgrounds = 90;
        std::vector<std::vector<uint8_t>> frames(backgrounds, std::vector<uint8_t>(W * H * 3 / 2));
        for (int i = 0; i < backgrounds; ++i) paint_background(frames[size_t(i)], i);
        int64_t start = monotonic_ns();
        for (int64_t n = 0; !m_stop; ++n) {
            int64_t due = start + n * 1'000'000'000 / fps;
            int64_t now = monotonic_ns();
            if (due > now) {
                timespec wait{0, long(due - now)};
                nanosleep(&wait, nullptr);
            }
            auto& frame = frames[size_t(n % backgrounds)];
            burn_code(frame, uint32_t(monotonic_ns() / 1000));
            size_t done = 0;
            while (done < frame.size()) {
                ssize_t w = ::write(m_write_fd, frame.data() + done, frame.size() - done);
                if (w <= 0) return;
                done += size_t(w);
            }
        }
    }

    std::unique_ptr<chat::video::PipelineCapture> m_capture;
    int m_read_fd, m_write_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_feeder;
};

// --- Talking to the parent ----------------------------------------------------------------

bool write_string(int fd, std::string const& s) {
    auto n = uint32_t(s.size());
    return write_all(fd, &n, 4) && write_all(fd, s.data(), n);
}

std::optional<std::string> read_string(int fd) {
    uint32_t n = 0;
    if (!read_all(fd, &n, 4) || n > (1u << 20)) return std::nullopt;
    std::string s(n, '\0');
    if (!read_all(fd, s.data(), n)) return std::nullopt;
    return s;
}

struct Report {
    double cpu_percent = 0;
    // The CPU use scaled up to every frame at the camera's rate, for a starved process that
    // handled fewer: CPU time over the share of frames it sent and decoded.
    double full_rate_cpu_percent = 0;
    double worst_lag_ms = 0;
    int late_ticks = 0;  // started more than a tick late
    int ticks = 0;
    double sent_per_s = 0;      // camera frames encoded and sent
    double pictures_per_s = 0;  // per peer, averaged
    uint64_t unreadable = 0;    // pictures whose time code did not read back
    uint32_t samples = 0;       // latencies that follow
};

std::string person(int i) {
    return "u_" + std::to_string(i);
}

// One participant: join, exchange tickets through the parent, then step for `seconds`.
// In a star only u_0 sees everyone; the others see only u_0, so that they send it their
// camera and decode nothing but its picture, and the machine's cores go to the one measured.
int participant(int index, int count, int seconds, bool star, int to_parent, int from_parent) {
    auto knows = [&](int other) { return other != index && (!star || index == 0 || other == 0); };
    ::signal(SIGPIPE, SIG_IGN);
    automerge::AutoCommit doc;
    chat::test::add_voice_channel(doc, "c_v");
    chat::video::VideoSources sources;
    sources.camera = &GlassCamera::start;
    Device me(person(index), chat::test::start_loopback(), std::move(doc), std::move(sources));
    if (!write_string(to_parent, me.call.transport().local_ticket())) return 1;
    for (int i = 0; i < count; ++i) {
        auto ticket = read_string(from_parent);
        if (!ticket) return 1;
        if (!knows(i)) continue;
        chat::doc::join_call(me.doc, "c_v", person(i));
        chat::doc::set_ticket(me.doc, "c_v", person(i), *ticket);
    }
    me.call.join_call(me.env(), "c_v");
    me.call.toggle_mute(me.env());  // no microphone: this measures video

    std::vector<uint64_t> seen(size_t(count), 0);
    std::vector<uint32_t> last_code(size_t(count), 0);
    std::vector<float> latencies;
    Report report;
    uint64_t pictures_at_start = 0, pictures = 0, sent_at_start = 0;
    auto sent = [&] { return me.call.counters(chat::media::MediaKind::Camera).sent; };
    int64_t start = monotonic_ns();
    int64_t measure_from = start + int64_t(warm_up_seconds * 1e9);
    int64_t end = measure_from + int64_t(seconds) * 1'000'000'000;
    double cpu_start = 0;
    bool measuring = false;
    for (int64_t tick = 0;; ++tick) {
        int64_t due = start + tick * tick_ns;
        int64_t now = monotonic_ns();
        if (now >= end) break;
        if (due > now) {
            timespec wait{0, long(due - now)};
            nanosleep(&wait, nullptr);
            now = monotonic_ns();
        }
        if (!measuring && now >= measure_from) {
            measuring = true;
            cpu_start = cpu_seconds();
            pictures_at_start = pictures;
            sent_at_start = sent();
        }
        if (measuring) {
            ++report.ticks;
            report.worst_lag_ms = std::max(report.worst_lag_ms, double(now - due) / 1e6);
            if (now - due > tick_ns) ++report.late_ticks;
        }
        me.call.step(me.env());
        for (int i = 0; i < count; ++i) {
            if (!knows(i)) continue;
            auto const* feed = me.call.video().camera_feed(person(i));
            if (!feed || feed->pictures == seen[size_t(i)]) continue;
            pictures += feed->pictures - seen[size_t(i)];
            seen[size_t(i)] = feed->pictures;
            auto image = me.call.video().camera_image(person(i));
            auto code = image ? read_code(*image) : std::nullopt;
            if (!code) {
                if (measuring) ++report.unreadable;
                continue;
            }
            if (*code == last_code[size_t(i)]) continue;
            last_code[size_t(i)] = *code;
            auto now_micros = uint32_t(monotonic_ns() / 1000);
            if (measuring) latencies.push_back(float(uint32_t(now_micros - *code)) / 1000.0f);
        }
    }
    double wall = double(monotonic_ns() - measure_from) / 1e9;
    report.cpu_percent = (cpu_seconds() - cpu_start) / wall * 100;
    report.sent_per_s = double(sent() - sent_at_start) / wall;
    int peers = star && index != 0 ? 1 : count - 1;
    report.pictures_per_s = double(pictures - pictures_at_start) / wall / peers;
    double handled = report.sent_per_s + report.pictures_per_s * peers;
    if (handled > 0)
        report.full_rate_cpu_percent = report.cpu_percent * fps * (1 + peers) / handled;
    report.samples = uint32_t(latencies.size());
    if (!write_all(to_parent, &report, sizeof report)) return 1;
    if (!write_all(to_parent, latencies.data(), latencies.size() * sizeof(float))) return 1;
    return 0;
}

double percentile(std::vector<float> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 2;
    int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    bool star = argc > 3 && std::string(argv[3]) == "star";
    if (count < 2 || count > 16 || seconds < 1) {
        std::fprintf(stderr, "usage: %s [participants 2..16] [seconds] [mesh|star]\n", argv[0]);
        return 2;
    }
    // Other work on the machine takes the CPU this measures; say how much there was.
    double load[1] = {0};
    getloadavg(load, 1);
    struct Child {
        pid_t pid;
        int to_child, from_child;
    };
    std::vector<Child> children;
    for (int i = 0; i < count; ++i) {
        int down[2], up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0) return 1;
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(down[1]);
            ::close(up[0]);
            for (auto const& c : children) {
                ::close(c.to_child);
                ::close(c.from_child);
            }
            std::fflush(stdout);
            std::_Exit(participant(i, count, seconds, star, up[1], down[0]));
        }
        ::close(down[0]);
        ::close(up[1]);
        children.push_back({pid, down[1], up[0]});
    }
    std::vector<std::string> tickets;
    for (auto const& c : children) {
        auto t = read_string(c.from_child);
        if (!t) {
            std::fprintf(stderr, "a participant did not start\n");
            return 1;
        }
        tickets.push_back(*t);
    }
    for (auto const& c : children)
        for (auto const& t : tickets) write_string(c.to_child, t);

    std::vector<float> all;
    std::printf(
        "%s, %d participants, %d s measured after %.0f s of warm-up, camera 640x480 at %d "
        "fps, call tick %lld ms\n",
        star ? "star around u_0" : "mesh", count, seconds, warm_up_seconds, fps,
        static_cast<long long>(tick_ns / 1'000'000));
    std::printf("load average before: %.1f on %u cores\n", load[0],
                std::thread::hardware_concurrency());
    std::printf("%-6s %8s %9s %10s %10s %7s %11s %10s %8s %8s\n", "who", "cpu%", "cpu%@30",
                "late_ticks", "worst_lag", "sent/s", "pictures/s", "unreadable", "p50_ms",
                "p99_ms");
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        Report r;
        std::vector<float> lat;
        if (read_all(children[size_t(i)].from_child, &r, sizeof r)) {
            lat.resize(r.samples);
            read_all(children[size_t(i)].from_child, lat.data(), lat.size() * sizeof(float));
            std::printf("%-6s %8.1f %9.1f %6d/%-4d %8.1fms %7.1f %11.1f %10llu %8.1f %8.1f\n",
                        person(i).c_str(), r.cpu_percent, r.full_rate_cpu_percent, r.late_ticks,
                        r.ticks, r.worst_lag_ms, r.sent_per_s, r.pictures_per_s,
                        static_cast<unsigned long long>(r.unreadable), percentile(lat, 0.5),
                        percentile(lat, 0.99));
            all.insert(all.end(), lat.begin(), lat.end());
        } else {
            std::printf("%-6s failed\n", person(i).c_str());
            ++failures;
        }
    }
    for (auto const& c : children) {
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
    }
    std::printf("camera latency over all pictures: p50 %.1f ms, p99 %.1f ms (%zu pictures)\n",
                percentile(all, 0.5), percentile(all, 0.99), all.size());
    return failures == 0 ? 0 : 1;
}
