#pragma once

#include <csignal>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// The automation mode's plumbing: answers on a standard output that carries nothing else,
// command lines from standard input, and termination signals turned into an orderly end.
namespace vemo_ui::automation {

// Takes over standard output for answers: the original descriptor is kept for them, and
// descriptor 1 then points at standard error, so whatever else writes to standard output
// (log lines, libraries) ends up there instead of between two answers.
class AnswerChannel {
  public:
    static std::expected<AnswerChannel, std::string> take_stdout();
    AnswerChannel(AnswerChannel&& other) noexcept;
    AnswerChannel& operator=(AnswerChannel&&) = delete;
    ~AnswerChannel();

    // Writes one line; false once the reader has gone away or the write failed.
    bool send(std::string_view line);

  private:
    explicit AnswerChannel(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

// Turns SIGTERM, SIGINT and SIGHUP into a readable descriptor for as long as it lives, and
// ignores SIGPIPE so a closed reader is an error on write rather than the end of the process.
class SignalWatch {
  public:
    SignalWatch();
    ~SignalWatch();
    SignalWatch(SignalWatch const&) = delete;
    SignalWatch& operator=(SignalWatch const&) = delete;

    int fd() const { return m_read_fd; }
    // The first signal received, once one was.
    std::optional<int> received() const;

  private:
    int m_read_fd = -1;
    struct sigaction m_old[4] = {};
};

// Lines from a descriptor, each waited for together with a signal descriptor. A line longer
// than `max_line` is skipped up to its end and reported as such.
class LineReader {
  public:
    struct Line {
        std::string text;
    };
    struct TooLong {};
    struct Signalled {};
    struct End {};
    // Nothing arrived within the time the caller was willing to wait.
    struct Idle {};
    using Event = std::variant<Line, TooLong, Signalled, End, Idle>;

    LineReader(int fd, size_t max_line) : m_fd(fd), m_max_line(max_line) {}
    // A pending signal comes first, before lines already read. A negative wait waits for as
    // long as it takes.
    Event next(SignalWatch const& signals, int wait_ms = -1);

  private:
    std::optional<Event> take_buffered();
    void append(std::string_view chunk);

    int m_fd;
    size_t m_max_line;
    std::string m_buffer;
    bool m_skipping = false;
    bool m_eof = false;
};

}  // namespace vemo_ui::automation
