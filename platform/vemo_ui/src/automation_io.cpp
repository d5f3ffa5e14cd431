#include "automation_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vemo_ui::automation {

namespace {

constexpr int watched_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE};

std::atomic<int> g_signal_write_fd{-1};
std::atomic<int> g_first_signal{0};

extern "C" void on_signal(int signo) {
    int saved = errno;
    int expected = 0;
    g_first_signal.compare_exchange_strong(expected, signo);
    unsigned char byte = static_cast<unsigned char>(signo);
    int fd = g_signal_write_fd.load();
    if (fd >= 0) (void)!::write(fd, &byte, 1);
    errno = saved;
}

}  // namespace

std::expected<AnswerChannel, std::string> AnswerChannel::take_stdout() {
    int kept = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (kept < 0)
        return std::unexpected(std::string("cannot keep standard output: ") + std::strerror(errno));
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        ::close(kept);
        return std::unexpected(std::string("cannot point standard output at standard error: ") +
                               std::strerror(errno));
    }
    return AnswerChannel(kept);
}

AnswerChannel::AnswerChannel(AnswerChannel&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)) {}

AnswerChannel::~AnswerChannel() {
    if (m_fd < 0) return;
    ::dup2(m_fd, STDOUT_FILENO);
    ::close(m_fd);
}

bool AnswerChannel::send(std::string_view line) {
    std::string out(line);
    out += '\n';
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::write(m_fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

SignalWatch::SignalWatch() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_read_fd = fds[0];
        g_signal_write_fd = fds[1];
    }
    g_first_signal = 0;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(watched_signals); ++i) {
        struct sigaction const* chosen = &action;
        struct sigaction ignore {};
        if (watched_signals[i] == SIGPIPE) {
            ignore.sa_handler = SIG_IGN;
            chosen = &ignore;
        }
        ::sigaction(watched_signals[i], chosen, &m_old[i]);
    }
}

SignalWatch::~SignalWatch() {
    for (size_t i = 0; i < std::size(watched_signals); ++i)
        ::sigaction(watched_signals[i], &m_old[i], nullptr);
    int write_fd = g_signal_write_fd.exchange(-1);
    if (write_fd >= 0) ::close(write_fd);
    if (m_read_fd >= 0) ::close(m_read_fd);
}

std::optional<int> SignalWatch::received() const {
    int signo = g_first_signal.load();
    return signo ? std::optional(signo) : std::nullopt;
}

std::optional<LineReader::Event> LineReader::take_buffered() {
    size_t end = m_buffer.find('\n');
    if (end == std::string::npos) {
        if (m_buffer.size() <= m_max_line) return std::nullopt;
        m_buffer.clear();
        m_skipping = true;
        return TooLong{};
    }
    std::string text = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 1);
    if (text.size() > m_max_line) return TooLong{};
    return Line{std::move(text)};
}

void LineReader::append(std::string_view chunk) {
    if (m_skipping) {
        size_t end = chunk.find('\n');
        if (end == std::string_view::npos) return;
        chunk.remove_prefix(end + 1);
        m_skipping = false;
    }
    m_buffer.append(chunk);
}

LineReader::Event LineReader::next(SignalWatch const& signals, int wait_ms) {
    for (;;) {
        if (signals.received()) return Signalled{};
        if (auto event = take_buffered()) return *event;
        if (m_eof) {
            if (m_buffer.empty() || m_skipping) return End{};
            return Line{std::exchange(m_buffer, {})};
        }
        pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {m_fd, POLLIN, 0}};
        int ready = ::poll(fds, 2, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            m_eof = true;
            continue;
        }
        if (ready == 0) return Idle{};
        if (fds[0].revents & POLLIN) return Signalled{};
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
        char chunk[65536];
        ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            m_eof = true;
            continue;
        }
        append(std::string_view(chunk, size_t(n)));
    }
}

}  // namespace vemo_ui::automation
