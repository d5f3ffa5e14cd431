#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace vemo_ui::capture {

// What the desktop may offer the user in its screen-cast dialogue.
struct ScreenCaptureOptions {
    bool monitors = true;     // whole monitors
    bool windows = true;      // single application windows
    bool show_cursor = true;  // the pointer drawn into the stream
    // The GtkWindow* the dialogue belongs to, or null for none.
    void* parent_window = nullptr;
};

// An owned file descriptor, closed when dropped.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();
    int get() const { return m_fd; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    int m_fd = -1;
};

// A granted screen cast: the PipeWire node that carries it and, when the desktop hands one
// over, a connection to the PipeWire remote through which that node is reachable (sandboxed
// and portal-mediated sessions see the node only there; pass it to pipewiresrc as `fd=`).
// The cast lasts as long as this object: dropping it closes the desktop's session.
struct ScreenCapture {
    uint32_t node = 0;
    int width = 0;  // the stream's size as the desktop reported it, 0 when unknown
    int height = 0;
    UniqueFd pipewire_remote;
    std::shared_ptr<void> session;  // keeps the desktop's session open
};

constexpr char const* closed_without_answer = "the screen-capture request closed without an answer";

// A request in flight. The desktop's dialogue runs on the GLib main context that was the
// thread's default when the request was made (the UI thread's); poll never waits.
class ScreenCaptureRequest {
  public:
    using Answer = std::expected<ScreenCapture, std::string>;
    virtual ~ScreenCaptureRequest() = default;
    // Nothing while the desktop has not answered; then the answer, exactly once. A request
    // dropped while pending is withdrawn.
    virtual std::optional<Answer> poll() = 0;
};

// Asks the desktop (xdg-desktop-portal's ScreenCast) for a screen to capture. Failures,
// including a desktop without a session bus or portal, arrive through poll as text.
std::unique_ptr<ScreenCaptureRequest> request_screen_capture(ScreenCaptureOptions const& options);

}  // namespace vemo_ui::capture
