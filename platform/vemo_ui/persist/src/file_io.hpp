#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

// Thin POSIX file helpers with errors as text; the store needs fdatasync, O_APPEND, flock
// and directory syncs, which std::filesystem does not offer.
namespace vemo_ui::persist::file_io {

using Status = std::expected<void, std::string>;

// An owned file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    ~Fd();

    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    int m_fd = -1;
};

std::expected<std::vector<uint8_t>, std::string> read_file(std::filesystem::path const& path);

// Writes all of `bytes`; on failure the file is cut back to `size_before` so no partial
// chunk stays behind.
Status append_all(int fd, std::span<uint8_t const> bytes, uint64_t size_before);

Status sync_data(int fd);
Status sync_dir(std::filesystem::path const& dir);

// Opens `path` for appending; the file must exist.
std::expected<Fd, std::string> open_append(std::filesystem::path const& path);
std::expected<uint64_t, std::string> file_size(int fd);

// Writes `bytes` to `tmp` (replacing a leftover), syncs it, runs `before_rename`, renames it
// over `path` and syncs the directory. Returns the descriptor of the new file, open for
// appending. On failure `path` is untouched and `tmp` removed.
std::expected<Fd, std::string> replace_file(std::filesystem::path const& path,
                                            std::filesystem::path const& tmp,
                                            std::span<uint8_t const> bytes,
                                            std::function<void()> const& before_rename = {});

// Creates `path` (which must not exist) with `bytes`, synced along with its directory.
Status write_new_file(std::filesystem::path const& path, std::span<uint8_t const> bytes);

// Moves `from` to `to` without replacing anything at `to`, and syncs the directory.
Status rename_no_replace(std::filesystem::path const& from, std::filesystem::path const& to);

// "<path>.<tag>-<UTC time>", with "-2", "-3", ... added when that name is taken.
std::filesystem::path aside_path(std::filesystem::path const& path, std::string_view tag);

// Takes an exclusive lock on `path` (created if needed) for as long as the Fd lives. When
// another process holds it, the error starts with lock_held_prefix.
inline constexpr std::string_view lock_held_prefix = "another process holds ";
std::expected<Fd, std::string> lock_file(std::filesystem::path const& path);

}  // namespace vemo_ui::persist::file_io
