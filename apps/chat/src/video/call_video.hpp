#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/media_frame.hpp"
#include "vemo_callstream/h264_encoder.hpp"
#include "vemo_callstream/video_stream.hpp"
#include "vemo_ui/screen_capture.hpp"
#include "vemo_ui/video_player.hpp"
#include "video/video_capture.hpp"

namespace chat::video {

using SourceResult = std::expected<std::unique_ptr<FrameSource>, std::string>;

// Where the call's pictures come from. The system's are GStreamer pipelines and the desktop's
// screen-cast dialogue; tests hand in their own.
struct VideoSources {
    std::function<SourceResult()> camera;
    std::function<SourceResult(vemo_ui::capture::ScreenCapture const&, int, int)> screen;
    std::function<std::unique_ptr<vemo_ui::capture::ScreenCaptureRequest>()> request;
    static VideoSources system();
};

// The newest picture of one sender's camera or screen, and what is known about it.
struct SenderFeed {
    vemo_ui::widget::video_player::VideoPlayer player;
    std::optional<vemo_callstream::decoder::H264Decoder> decoder;           // camera
    std::optional<vemo_callstream::session::VideoStreamReceiver> receiver;  // screen
    int width = 0;
    int height = 0;
    std::uint64_t pictures = 0;
    std::uint64_t rejected = 0;
    std::uint64_t skipped = 0;  // camera units that came before a key frame to start from
    bool awaiting_key = true;
    std::uint8_t luma_min = 0;
    std::uint8_t luma_max = 0;
};

// Camera and screen of one call: capturing and encoding what we send, decoding what each
// peer sends and keeping the newest picture of everyone. Runs on the UI thread; nothing here
// waits.
class CallVideo {
  public:
    using Packet = std::vector<std::uint8_t>;
    using ScreenResult = std::expected<std::optional<Packet>, vemo_callstream::session::FrameError>;

    // Without sources nothing is captured: a call that only receives.
    explicit CallVideo(VideoSources sources = {});
    ~CallVideo();
    void set_sources(VideoSources sources) {
        reset();
        m_sources = std::move(sources);
    }

    // The camera's next encoded access unit, starting the camera and its encoder when they
    // are not running; nothing when no new frame is there or the camera cannot run.
    std::optional<Packet> next_camera_unit(double now);
    void stop_camera();
    // The next camera unit and screen packet are key frames, for someone who just came into
    // the call.
    void refresh_key_frames();
    bool camera_running() const { return m_camera != nullptr; }
    // Why the camera is not running, empty while it is (or was never tried).
    std::string const& camera_status() const { return m_camera_status; }

    // The screen-capture request in flight.
    void begin_screen_request();
    bool screen_request_pending() const { return m_request != nullptr; }
    // The desktop's answer once it came (the request is then over); nothing while pending.
    std::optional<vemo_ui::capture::ScreenCaptureRequest::Answer> poll_screen_request();
    void drop_screen_request() { m_request.reset(); }
    // Starts capturing the granted screen; the failure text when it cannot.
    std::expected<void, std::string> start_screen(vemo_ui::capture::ScreenCapture grant, int width,
                                                  int height);
    void stop_screen();
    bool screen_running() const { return m_screen != nullptr; }
    // True when the running screen capture died (the desktop ended the cast).
    bool screen_failed();
    // The newest screen frame offered to the stream sender: a packet, nothing, or why the
    // frame cannot be sent.
    ScreenResult next_screen_packet(vemo_callstream::session::Clock::time_point now);
    // What we share, for our own stage: the newest captured screen frame, refreshed a few
    // times a second; null while not sharing.
    vemo_ui::ImageRef screen_preview_image();

    // A received payload of `kind` from `sender`. Bad payloads are counted and dropped.
    void receive(media::MediaKind kind, std::string const& sender,
                 std::span<std::uint8_t const> payload);
    // Senders no longer in the call give up their decoders; their last pictures stay.
    void release_decoders_except(std::vector<std::string> const& present);

    vemo_ui::ImageRef camera_image(std::string const& sender);
    vemo_ui::ImageRef screen_image(std::string const& sender);
    vemo_ui::ImageRef self_view_image() { return m_self_view.image(); }
    // Counts every new picture, ours and the peers', so a window knows when to draw again.
    std::uint64_t picture_serial() const { return m_picture_serial; }
    SenderFeed const* camera_feed(std::string const& sender) const;
    SenderFeed const* screen_feed(std::string const& sender) const;
    bool has_decoder(std::string const& sender) const;

    // Everything dropped: the call ended.
    void reset();
    nlohmann::json describe() const;

  private:
    SenderFeed& feed(std::map<std::string, SenderFeed>& feeds, std::string const& sender);
    void show(SenderFeed& feed, vemo_callstream::Picture picture);

    VideoSources m_sources;
    std::unique_ptr<FrameSource> m_camera;
    std::optional<vemo_callstream::encoder::H264Encoder> m_encoder;
    vemo_ui::widget::video_player::VideoPlayer m_self_view;
    std::string m_camera_status;
    double m_camera_retry_at = 0;
    int m_camera_misses = 0;  // searches in a row that found no camera
    std::uint64_t m_camera_units = 0;

    std::unique_ptr<vemo_ui::capture::ScreenCaptureRequest> m_request;
    std::optional<vemo_ui::capture::ScreenCapture> m_grant;  // keeps the desktop's cast open
    std::unique_ptr<FrameSource> m_screen;
    std::optional<vemo_callstream::session::VideoStreamSender> m_screen_sender;
    std::uint64_t m_screen_packets = 0;
    std::vector<std::uint8_t> m_preview_rgba;  // newer than m_preview, not yet converted
    vemo_ui::ImageRef m_preview;
    std::optional<vemo_callstream::session::Clock::time_point> m_preview_at;

    std::uint64_t m_picture_serial = 0;
    std::map<std::string, SenderFeed> m_cameras;
    std::map<std::string, SenderFeed> m_screens;
};

}  // namespace chat::video
