#include "file_io.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vemo_ui::persist::file_io {

namespace {

std::string describe(std::string_view what, std::filesystem::path const& path, int err) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(err);
}

std::unexpected<std::string> errno_failure(std::string_view what,
                                           std::filesystem::path const& path) {
    return std::unexpected(describe(what, path, errno));
}

Status write_all(int fd, std::span<uint8_t const> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(std::string("write: ") + std::strerror(errno));
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return {};
}

std::string utc_stamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &tm);
    return buffer;
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

Fd::~Fd() {
    if (m_fd >= 0) ::close(m_fd);
}

std::expected<std::vector<uint8_t>, std::string> read_file(std::filesystem::path const& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno_failure("cannot open", path);
    std::vector<uint8_t> out;
    uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno_failure("cannot read", path);
        if (n == 0) return out;
        out.insert(out.end(), buffer, buffer + n);
    }
}

Status append_all(int fd, std::span<uint8_t const> bytes, uint64_t size_before) {
    auto written = write_all(fd, bytes);
    if (!written) {
        // Best effort: a partial chunk would only be set aside on the next load.
        if (::ftruncate(fd, static_cast<off_t>(size_before)) != 0) {
        }
        return written;
    }
    return {};
}

Status sync_data(int fd) {
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return std::unexpected(std::string("fdatasync: ") + std::strerror(errno));
    }
    return {};
}

Status sync_dir(std::filesystem::path const& dir) {
    Fd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return errno_failure("cannot open directory", dir);
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        return errno_failure("cannot sync directory", dir);
    return {};
}

std::expected<Fd, std::string> open_append(std::filesystem::path const& path) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd) return errno_failure("cannot open", path);
    return fd;
}

std::expected<uint64_t, std::string> file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::unexpected(std::string("fstat: ") + std::strerror(errno));
    return static_cast<uint64_t>(st.st_size);
}

std::expected<Fd, std::string> replace_file(std::filesystem::path const& path,
                                            std::filesystem::path const& tmp,
                                            std::span<uint8_t const> bytes,
                                            std::function<void()> const& before_rename) {
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return errno_failure("cannot create", tmp);
    auto fail = [&](std::string message) {
        ::unlink(tmp.c_str());
        return std::unexpected(std::move(message));
    };
    if (auto w = write_all(fd.get(), bytes); !w) return fail(w.error() + " (" + tmp.string() + ")");
    if (::fsync(fd.get()) != 0) return fail(describe("cannot sync", tmp, errno));
    if (before_rename) before_rename();
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return fail(describe("cannot rename over", path, errno));
    if (auto s = sync_dir(path.parent_path()); !s) return std::unexpected(s.error());
    return fd;
}

Status write_new_file(std::filesystem::path const& path, std::span<uint8_t const> bytes) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return errno_failure("cannot create", path);
    auto w = write_all(fd.get(), bytes);
    if (w && ::fsync(fd.get()) != 0) w = errno_failure("cannot sync", path);
    if (!w) {
        ::unlink(path.c_str());
        return w;
    }
    return sync_dir(path.parent_path());
}

Status rename_no_replace(std::filesystem::path const& from, std::filesystem::path const& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return errno_failure("cannot move aside", from);
        // File systems without RENAME_NOREPLACE: a hard link refuses to replace as well.
        if (::link(from.c_str(), to.c_str()) != 0) return errno_failure("cannot move aside", from);
        if (::unlink(from.c_str()) != 0) return errno_failure("cannot remove", from);
    }
    return sync_dir(to.parent_path());
}

std::filesystem::path aside_path(std::filesystem::path const& path, std::string_view tag) {
    std::string base = path.string() + "." + std::string(tag) + "-" + utc_stamp();
    std::filesystem::path candidate = base;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(candidate, ec) && n < 10000; ++n)
        candidate = base + "-" + std::to_string(n);
    return candidate;
}

std::expected<Fd, std::string> lock_file(std::filesystem::path const& path) {
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return errno_failure("cannot open", path);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return std::unexpected(std::string(lock_held_prefix) + path.string());
        return errno_failure("cannot lock", path);
    }
    return fd;
}

}  // namespace vemo_ui::persist::file_io
