// Encode and decode cost per frame for the call's two video sizes, the bytes a second the
// chosen rates produce, and libx264 (ultrafast, zerolatency) through libavcodec encoding the
// same frames for comparison. Per-frame median and p99 are reported as counters.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <time.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <vector>

#include "../tests/test_pattern.hpp"
#include "vemo_callstream/h264_decoder.hpp"
#include "vemo_callstream/h264_encoder.hpp"
#include "vemo_callstream/video_stream.hpp"

using namespace vemo_callstream;
// Per-frame times are this thread's CPU time: the machines we measure on are shared, and
// wall time there mostly measures the neighbours.
struct Clock {
    using duration = std::chrono::nanoseconds;
    static std::chrono::nanoseconds now() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    }
};

namespace {

constexpr int pattern_frames = 60;

// The moving test pattern; with `grain`, plus fresh sensor-like noise (about +-6 levels) in
// every frame, which a real camera always has and which costs an encoder bits and time.
std::vector<std::vector<uint8_t>> const& frames(int width, int height, bool grain = false) {
    static std::vector<std::vector<uint8_t>> cache;
    static int cached_width = 0;
    static bool cached_grain = false;
    if (cached_width != width || cached_grain != grain) {
        cache.clear();
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> noise(-6, 6);
        for (int i = 0; i < pattern_frames; ++i) {
            auto f = testing::moving_pattern(width, height, i);
            if (grain)
                for (size_t p = 0; p < f.size(); p += 4) {
                    int n = noise(rng);
                    for (size_t c = 0; c < 3; ++c)
                        f[p + c] = uint8_t(std::clamp(f[p + c] + n, 0, 255));
                }
            cache.push_back(std::move(f));
        }
        cached_width = width;
        cached_grain = grain;
    }
    return cache;
}

// Records one duration per iteration and publishes the median and the 99th percentile.
struct PerFrame {
    std::vector<double> ms;
    void add(Clock::duration d) {
        ms.push_back(std::chrono::duration<double, std::milli>(d).count());
    }
    void publish(benchmark::State& state) {
        if (ms.empty()) return;
        std::sort(ms.begin(), ms.end());
        state.counters["cpu_median_ms"] = ms[ms.size() / 2];
        state.counters["cpu_p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    }
};

// What the encoded stream looks like after decoding: the mean luma PSNR against the input
// over every unit (unit i encodes input frame i), decoded by our decoder after the timed run.
// Frames the rate control skipped are compared as the picture left on screen.
void publish_quality(benchmark::State& state, std::vector<std::vector<uint8_t>> const& units,
                     std::vector<std::vector<uint8_t>> const& input, int w, int h) {
    decoder::H264Decoder decoder;
    std::optional<Picture> shown;
    double sum = 0;
    size_t compared = 0, skipped = 0, failed = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].empty()) {
            ++skipped;
        } else if (auto picture = decoder.decode(units[i]); picture && *picture) {
            shown = std::move(**picture);
        } else {
            ++failed;
        }
        if (!shown) continue;
        auto reference = rgba_to_i420(input[i % input.size()], w, h);
        sum += testing::luma_psnr(*shown, *reference);
        ++compared;
    }
    state.counters["psnr_db"] = compared ? sum / double(compared) : 0;
    state.counters["skipped_frames"] = double(skipped);
    if (failed) state.counters["undecodable"] = double(failed);
}

encoder::EncoderSettings settings_for(int width, int height) {
    return width >= 1280 ? encoder::EncoderSettings::screen(width, height, 30)
                         : encoder::EncoderSettings::camera(width, height, 30);
}

void BM_OpenH264Encode(benchmark::State& state) {
    int w = int(state.range(0)), h = int(state.range(1));
    auto const& input = frames(w, h, state.range(2) == 1);
    auto encoder = encoder::H264Encoder::create(w, h, 30, settings_for(w, h));
    PerFrame timing;
    size_t bytes = 0, count = 0;
    std::vector<std::vector<uint8_t>> units;
    for (auto _ : state) {
        auto start = Clock::now();
        auto unit = encoder->encode(input[count % input.size()]);
        timing.add(Clock::now() - start);
        bytes += unit->size();
        units.push_back(std::move(*unit));
        ++count;
    }
    timing.publish(state);
    publish_quality(state, units, input, w, h);
    // What the stream costs when every frame of a 30 Hz source is encoded.
    state.counters["bytes_per_s"] = double(bytes) / double(count) * 30;
}

void BM_OpenH264Decode(benchmark::State& state) {
    int w = int(state.range(0)), h = int(state.range(1));
    auto encoder = encoder::H264Encoder::create(w, h, 30, settings_for(w, h));
    std::vector<std::vector<uint8_t>> units;
    for (auto const& f : frames(w, h)) {
        auto unit = encoder->encode(f);
        if (!unit->empty()) units.push_back(std::move(*unit));
    }
    PerFrame timing;
    decoder::H264Decoder decoder;
    size_t i = 0;
    for (auto _ : state) {
        // Restart at the key frame each lap so every unit has its references.
        if (i % units.size() == 0) decoder = decoder::H264Decoder();
        auto start = Clock::now();
        auto picture = decoder.decode(units[i % units.size()]);
        timing.add(Clock::now() - start);
        benchmark::DoNotOptimize(picture);
        ++i;
    }
    timing.publish(state);
}

// The screen sender fed at 30 Hz: a moving picture, or a still one (state.range(2) == 1).
void BM_ScreenSenderBytes(benchmark::State& state) {
    int w = int(state.range(0)), h = int(state.range(1));
    bool still = state.range(2) == 1;
    auto const& input = frames(w, h);
    session::SenderOptions options;
    options.width = w;
    options.height = h;
    auto sender = session::VideoStreamSender::create(options);
    auto period = std::chrono::nanoseconds(std::chrono::seconds(1)) / 30;
    session::Clock::time_point now{};
    size_t bytes = 0, offered = 0, packets = 0;
    for (auto _ : state) {
        auto const& f = still ? input[0] : input[offered % input.size()];
        auto packet = sender->offer_frame(f, now);
        if (packet && *packet) {
            bytes += (*packet)->size();
            ++packets;
        }
        now += period;
        ++offered;
    }
    double seconds = double(offered) / 30;
    state.counters["bytes_per_s"] = double(bytes) / seconds;
    state.counters["packets_per_s"] = double(packets) / seconds;
}

void BM_X264Encode(benchmark::State& state) {
    int w = int(state.range(0)), h = int(state.range(1));
    auto const& input = frames(w, h, state.range(2) == 1);
    av_log_set_level(AV_LOG_ERROR);
    AVCodec const* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        state.SkipWithError("libavcodec has no libx264");
        return;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->time_base = {1, 30};
    ctx->framerate = {30, 1};
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->max_b_frames = 0;
    ctx->gop_size = 60;
    ctx->bit_rate = settings_for(w, h).bitrate_bps;
    ctx->thread_count = 1;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        state.SkipWithError("cannot open libx264");
        return;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = w;
    frame->height = h;
    av_frame_get_buffer(frame, 0);
    AVPacket* packet = av_packet_alloc();
    PerFrame timing;
    size_t bytes = 0;
    int64_t pts = 0;
    std::vector<std::vector<uint8_t>> units;
    for (auto _ : state) {
        auto start = Clock::now();
        // The same RGBA-to-I420 step as the OpenH264 path, so both sides pay for it.
        auto picture = rgba_to_i420(input[pts % input.size()], w, h);
        av_frame_make_writable(frame);
        for (int plane = 0; plane < 3; ++plane) {
            uint8_t const* src = plane == 0   ? picture->y()
                                 : plane == 1 ? picture->u()
                                              : picture->v();
            int pw = plane == 0 ? w : picture->chroma_width();
            int ph = plane == 0 ? h : picture->chroma_height();
            for (int row = 0; row < ph; ++row)
                std::copy_n(src + size_t(row) * pw, pw,
                            frame->data[plane] + size_t(row) * frame->linesize[plane]);
        }
        frame->pts = pts++;
        avcodec_send_frame(ctx, frame);
        std::vector<uint8_t> unit;
        while (avcodec_receive_packet(ctx, packet) == 0) {
            bytes += size_t(packet->size);
            unit.insert(unit.end(), packet->data, packet->data + packet->size);
            av_packet_unref(packet);
        }
        timing.add(Clock::now() - start);
        units.push_back(std::move(unit));
    }
    timing.publish(state);
    publish_quality(state, units, input, w, h);
    state.counters["bytes_per_s"] = double(bytes) / double(std::max<int64_t>(pts, 1)) * 30;
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
}

}  // namespace

// The third argument: 1 adds camera grain to the pattern.
BENCHMARK(BM_OpenH264Encode)
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({1280, 960, 0})
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_X264Encode)
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({1280, 960, 0})
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenH264Decode)
    ->Args({640, 480})
    ->Args({1280, 960})
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScreenSenderBytes)
    ->Args({1280, 960, 0})
    ->Args({1280, 960, 1})
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);
