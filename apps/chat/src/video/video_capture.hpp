#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Raw RGBA frames from a camera or a shared screen. Everything here runs on the UI thread and
// never waits: GStreamer's streaming threads capture, the UI thread takes the newest frame.
namespace chat::video {

inline constexpr int camera_width = 640;
inline constexpr int camera_height = 480;
inline constexpr int camera_fps = 30;
inline constexpr int screen_width = 1280;
inline constexpr int screen_height = 960;
inline constexpr int screen_fps = 30;

// The camera pipeline at `width` x `height`.
std::string camera_launch(int width, int height);
// The screen pipeline for PipeWire node `node`; `remote_fd` (when not negative) is the
// connection to the PipeWire remote the desktop handed over with the node, through which a
// portal-mediated session reaches it.
std::string screen_launch(std::uint32_t node, int width, int height, int remote_fd = -1);

// Where frames come from: a pipeline, or anything else that yields RGBA frames of one size.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    // The newest frame captured since the last call, older ones discarded; nothing when no
    // new frame arrived.
    virtual std::optional<std::vector<std::uint8_t>> pull_video_frame() = 0;
    // True once the source died (device gone, stream ended) and must be started again.
    virtual bool failed() = 0;
};

// A running capture pipeline with an application sink named "sink".
class PipelineCapture final : public FrameSource {
  public:
    // Starts the pipeline. With `real_camera`, a camera selection that fell back to the
    // placeholder pattern autovideosrc shows when no camera exists counts as a failure:
    // nobody should be sent test bars in place of their face.
    static std::expected<std::unique_ptr<PipelineCapture>, std::string> start(
        std::string const& launch, bool real_camera = false);
    ~PipelineCapture() override;
    PipelineCapture(PipelineCapture const&) = delete;
    PipelineCapture& operator=(PipelineCapture const&) = delete;

    std::optional<std::vector<std::uint8_t>> pull_video_frame() override;
    bool failed() override;

  private:
    struct Handles;
    explicit PipelineCapture(std::unique_ptr<Handles> handles);
    std::unique_ptr<Handles> m;
};

inline constexpr char no_camera_text[] = "no camera found";

}  // namespace chat::video
