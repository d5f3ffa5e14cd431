#include "video/call_video.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace chat::video {

namespace {

using vemo_callstream::Picture;
namespace vp = vemo_ui::widget::video_player;

// A camera that could not start is tried again after a second. Looking for one that does not
// exist probes every video device (some 20 ms on the UI thread), so that search is repeated
// after 5 s, then ever less often, at most every 40 s.
constexpr double camera_retry_seconds = 1.0;
constexpr double no_camera_retry_seconds = 5.0;
constexpr int no_camera_backoff_limit = 3;
// How often our own stage shows a new frame of what we share.
constexpr auto preview_interval = std::chrono::milliseconds(200);

// RGBA bytes to cairo's native-endian ARGB32, alpha forced opaque (so premultiplied as is).
std::vector<std::uint8_t> rgba_to_opaque_argb32(std::vector<std::uint8_t> const& rgba) {
    std::vector<std::uint8_t> out(rgba.size());
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) {
        std::uint32_t pixel = 0xff000000u | std::uint32_t(rgba[i]) << 16 |
                              std::uint32_t(rgba[i + 1]) << 8 | rgba[i + 2];
        std::memcpy(&out[i], &pixel, 4);
    }
    return out;
}

// The darkest and brightest luma of a picture, from a sample of its pixels.
std::pair<std::uint8_t, std::uint8_t> luma_range(Picture const& picture) {
    std::size_t n = std::size_t(picture.width) * std::size_t(picture.height);
    if (n == 0 || picture.planes.size() < n) return {0, 0};
    std::uint8_t lo = 255, hi = 0;
    for (std::size_t i = 0; i < n; i += 7) {
        lo = std::min(lo, picture.y()[i]);
        hi = std::max(hi, picture.y()[i]);
    }
    return {lo, hi};
}

nlohmann::json describe_feeds(std::map<std::string, SenderFeed> const& feeds) {
    nlohmann::json out = nlohmann::json::object();
    for (auto const& [sender, f] : feeds)
        out[sender] = {{"width", f.width},
                       {"height", f.height},
                       {"pictures", f.pictures},
                       {"rejected", f.rejected},
                       {"skipped", f.skipped},
                       {"luma_min", f.luma_min},
                       {"luma_max", f.luma_max},
                       {"decoding", f.decoder.has_value() || f.receiver.has_value()}};
    return out;
}

}  // namespace

VideoSources VideoSources::system() {
    VideoSources s;
    s.camera = []() -> SourceResult {
        auto started = PipelineCapture::start(camera_launch(camera_width, camera_height),
                                              /*real_camera=*/true);
        if (!started) return std::unexpected(started.error());
        return std::unique_ptr<FrameSource>(std::move(*started));
    };
    s.screen = [](vemo_ui::capture::ScreenCapture const& grant, int width,
                  int height) -> SourceResult {
        auto started = PipelineCapture::start(
            screen_launch(grant.node, width, height, grant.pipewire_remote.get()));
        if (!started) return std::unexpected(started.error());
        return std::unique_ptr<FrameSource>(std::move(*started));
    };
    s.request = [] { return vemo_ui::capture::request_screen_capture({}); };
    return s;
}

CallVideo::CallVideo(VideoSources sources) : m_sources(std::move(sources)) {}

CallVideo::~CallVideo() = default;

// --- Camera -------------------------------------------------------------------------------

std::optional<CallVideo::Packet> CallVideo::next_camera_unit(double now) {
    if (m_camera && m_camera->failed()) {
        stop_camera();
        m_camera_status = "the camera stopped";
        m_camera_retry_at = now + camera_retry_seconds;
    }
    if (!m_camera) {
        if (now < m_camera_retry_at || !m_sources.camera) return std::nullopt;
        auto started = m_sources.camera();
        if (!started) {
            m_camera_status = started.error();
            bool missing = started.error() == no_camera_text;
            double wait = camera_retry_seconds;
            if (missing) wait = no_camera_retry_seconds * double(1 << m_camera_misses);
            m_camera_misses = missing ? std::min(m_camera_misses + 1, no_camera_backoff_limit) : 0;
            m_camera_retry_at = now + wait;
            return std::nullopt;
        }
        m_camera = std::move(*started);
        m_camera_status.clear();
        m_camera_misses = 0;
        // Without an encoder the camera stays open but sends nothing until it is restarted.
        auto encoder =
            vemo_callstream::encoder::H264Encoder::create(camera_width, camera_height, camera_fps);
        if (encoder)
            m_encoder.emplace(std::move(*encoder));
        else
            m_camera_status = "the camera encoder failed: " + encoder.error().message;
    }
    if (!m_encoder) return std::nullopt;
    auto frame = m_camera->pull_video_frame();
    if (!frame) return std::nullopt;
    auto unit = m_encoder->encode(*frame);
    if (!unit || unit->empty()) return std::nullopt;
    if (m_self_view.feed_frame(*unit)) ++m_picture_serial;
    ++m_camera_units;
    return std::move(*unit);
}

void CallVideo::refresh_key_frames() {
    if (m_encoder) m_encoder->force_key_frame();
    if (m_screen_sender) m_screen_sender->request_key_frame();
}

void CallVideo::stop_camera() {
    m_camera.reset();
    m_encoder.reset();
    m_self_view.clear();
}

// --- Screen -------------------------------------------------------------------------------

void CallVideo::begin_screen_request() {
    if (m_request || !m_sources.request) return;
    m_request = m_sources.request();
}

std::optional<vemo_ui::capture::ScreenCaptureRequest::Answer> CallVideo::poll_screen_request() {
    if (!m_request) return std::nullopt;
    auto answer = m_request->poll();
    if (answer) m_request.reset();
    return answer;
}

std::expected<void, std::string> CallVideo::start_screen(vemo_ui::capture::ScreenCapture grant,
                                                         int width, int height) {
    stop_screen();
    if (!m_sources.screen) return std::unexpected("screen capture is not available");
    auto started = m_sources.screen(grant, width, height);
    if (!started) return std::unexpected(started.error());
    auto sender = vemo_callstream::session::VideoStreamSender::create(width, height, screen_fps);
    if (!sender) return std::unexpected("the screen encoder failed: " + sender.error().message);
    m_screen = std::move(*started);
    m_screen_sender.emplace(std::move(*sender));
    m_grant.emplace(std::move(grant));
    return {};
}

void CallVideo::stop_screen() {
    m_screen.reset();
    m_screen_sender.reset();
    m_grant.reset();
    m_preview_rgba.clear();
    m_preview.reset();
    m_preview_at.reset();
}

bool CallVideo::screen_failed() {
    return m_screen && m_screen->failed();
}

CallVideo::ScreenResult CallVideo::next_screen_packet(
    vemo_callstream::session::Clock::time_point now) {
    if (!m_screen || !m_screen_sender) return std::optional<Packet>{};
    auto frame = m_screen->pull_video_frame();
    if (!frame) return std::optional<Packet>{};
    auto packet = m_screen_sender->offer_frame(*frame, now);
    if (packet && *packet) ++m_screen_packets;
    if (packet && (!m_preview_at || now - *m_preview_at >= preview_interval)) {
        m_preview_at = now;
        m_preview_rgba = std::move(*frame);
        ++m_picture_serial;
    }
    return packet;
}

vemo_ui::ImageRef CallVideo::screen_preview_image() {
    if (!m_screen_sender) return nullptr;
    int w = m_screen_sender->width(), h = m_screen_sender->height();
    if (m_preview_rgba.size() == std::size_t(w) * h * 4) {
        auto image = std::make_shared<vemo_ui::Image>();
        image->width = w;
        image->height = h;
        image->stride = w * 4;
        image->pixels = rgba_to_opaque_argb32(m_preview_rgba);
        m_preview = std::move(image);
        m_preview_rgba.clear();
    }
    return m_preview;
}

// --- Receiving ----------------------------------------------------------------------------

void CallVideo::show(SenderFeed& feed, Picture picture) {
    feed.width = picture.width;
    feed.height = picture.height;
    std::tie(feed.luma_min, feed.luma_max) = luma_range(picture);
    ++feed.pictures;
    ++m_picture_serial;
    feed.player.show_picture(std::move(picture));
}

SenderFeed& CallVideo::feed(std::map<std::string, SenderFeed>& feeds, std::string const& sender) {
    return feeds.try_emplace(sender).first->second;
}

void CallVideo::receive(media::MediaKind kind, std::string const& sender,
                        std::span<std::uint8_t const> payload) {
    if (kind == media::MediaKind::Camera) {
        auto& f = feed(m_cameras, sender);
        if (!f.decoder) {
            f.decoder.emplace();
            f.awaiting_key = true;
        }
        // Units that depend on pictures we never had are not decoding errors: wait for the
        // sender's next key frame instead.
        if (f.awaiting_key && !vemo_callstream::decoder::contains_idr(payload)) {
            ++f.skipped;
            return;
        }
        auto decoded = f.decoder->decode(payload);
        if (!decoded) {
            ++f.rejected;
            f.awaiting_key = true;
        } else if (*decoded) {
            f.awaiting_key = false;
            show(f, std::move(**decoded));
        }
    } else if (kind == media::MediaKind::ScreenShare) {
        auto& f = feed(m_screens, sender);
        if (!f.receiver) f.receiver.emplace();
        auto before = f.receiver->stats().rejected;
        auto pictures = f.receiver->push(payload);
        f.rejected += f.receiver->stats().rejected - before;
        // Only the newest is ever shown; the rest are dropped unconverted.
        if (!pictures.empty()) show(f, std::move(pictures.back()));
    }
}

void CallVideo::release_decoders_except(std::vector<std::string> const& present) {
    auto gone = [&](std::string const& sender) {
        return std::ranges::find(present, sender) == present.end();
    };
    for (auto& [sender, f] : m_cameras)
        if (gone(sender)) f.decoder.reset();
    for (auto& [sender, f] : m_screens)
        if (gone(sender)) f.receiver.reset();
}

vemo_ui::ImageRef CallVideo::camera_image(std::string const& sender) {
    auto it = m_cameras.find(sender);
    return it == m_cameras.end() ? nullptr : it->second.player.image();
}

vemo_ui::ImageRef CallVideo::screen_image(std::string const& sender) {
    auto it = m_screens.find(sender);
    return it == m_screens.end() ? nullptr : it->second.player.image();
}

SenderFeed const* CallVideo::camera_feed(std::string const& sender) const {
    auto it = m_cameras.find(sender);
    return it == m_cameras.end() ? nullptr : &it->second;
}

SenderFeed const* CallVideo::screen_feed(std::string const& sender) const {
    auto it = m_screens.find(sender);
    return it == m_screens.end() ? nullptr : &it->second;
}

bool CallVideo::has_decoder(std::string const& sender) const {
    auto const* c = camera_feed(sender);
    auto const* s = screen_feed(sender);
    return (c && c->decoder) || (s && s->receiver);
}

void CallVideo::reset() {
    stop_camera();
    stop_screen();
    m_request.reset();
    m_cameras.clear();
    m_screens.clear();
    m_camera_status.clear();
    m_camera_retry_at = 0;
    m_camera_misses = 0;
}

nlohmann::json CallVideo::describe() const {
    return {{"camera_running", camera_running()},
            {"camera_status", m_camera_status},
            {"camera_units", m_camera_units},
            {"self_view", m_self_view.has_video()},
            {"screen_running", screen_running()},
            {"screen_packets", m_screen_packets},
            {"screen_request_pending", screen_request_pending()},
            {"cameras", describe_feeds(m_cameras)},
            {"screens", describe_feeds(m_screens)}};
}

}  // namespace chat::video
