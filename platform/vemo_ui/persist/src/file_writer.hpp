#pragma once

#include <atomic>
#include <automerge/automerge.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

#include "file_io.hpp"

namespace vemo_ui::persist {

// The thread that owns the document file. Appends are written as soon as they arrive (so a
// killed process loses nothing the kernel has seen) and synced in batches. A compaction
// reads the file, and a helper thread loads it into a document of its own and saves that;
// appends and syncs go on meanwhile, and the bytes appended since the read follow the new
// document chunk in the file that replaces the old one. The UI thread's document is never
// copied or saved for it, so a large document compacts without stalling a frame or
// delaying durability.
class FileWriter {
  public:
    using Clock = std::chrono::steady_clock;

    struct Config {
        std::filesystem::path path;
        std::filesystem::path tmp_path;
        file_io::Fd fd;  // open for appending
        uint64_t file_size = 0;
        uint64_t compacted_size = 0;
        std::chrono::milliseconds sync_delay{125};
        std::function<void()> before_rename;
    };

    explicit FileWriter(Config config);
    // Writes and syncs what is queued (one attempt), then stops.
    ~FileWriter();
    FileWriter(FileWriter const&) = delete;
    FileWriter& operator=(FileWriter const&) = delete;

    void append(std::vector<uint8_t> bytes, uint64_t generation);
    void compact();
    // Replaces the small file at `path` with `bytes` once `generation` is durable, so that it
    // never describes document content a crash could still take back. Requests for one path
    // are coalesced: only the latest is written, at most once per sync delay.
    void write_beside(std::filesystem::path path, std::vector<uint8_t> bytes, uint64_t generation);
    // Waits until `generation` is durable or an attempt to get it there failed.
    file_io::Status flush(uint64_t generation);
    // Waits until `generation` is written to the file (not yet synced), so that a killed
    // process no longer loses it. Fails at once while writing is failing.
    file_io::Status wait_written(uint64_t generation);

    uint64_t durable_generation() const { return m_durable.load(); }
    bool compaction_due(size_t floor) const;
    // The latest failure that no later success has cleared.
    std::optional<std::string> error() const;

  private:
    struct Append {
        std::vector<uint8_t> bytes;
        uint64_t generation;
    };
    struct Compact {};
    using Request = std::variant<Append, Compact>;

    void run();
    // Handles requests in order; returns the ones left after a failed write.
    std::deque<Request> write_requests(std::deque<Request> requests);
    void write_appends(std::deque<Request>& requests);
    // Reads the file and lets the compaction thread turn it into one document chunk; appends
    // go on meanwhile, and are copied after that chunk when it replaces the file.
    void start_compaction();
    void finish_compaction(std::expected<std::vector<uint8_t>, std::string> compacted);
    void sync();
    // Writes the side files whose document content is durable; the lock is held on entry and
    // on return, and released while writing.
    void write_side_files(std::unique_lock<std::mutex>& lock);
    bool side_files_ready() const;
    enum class Severity : uint8_t {
        SavingFails,  // shown in the status, fails waiting flushes
        LogOnly,      // nothing the user wrote is at risk
    };
    // Records the outcome of a write: a failure, or a success that clears the last failure.
    void report(std::optional<std::string> failure, Severity severity = Severity::SavingFails);

    // Touched only by the writer thread.
    std::filesystem::path m_path;
    std::filesystem::path m_tmp_path;
    file_io::Fd m_fd;
    uint64_t m_file_size;
    std::function<void()> m_before_rename;
    std::chrono::milliseconds m_sync_delay;
    std::thread m_compactor;
    std::vector<uint8_t> m_appended_since_snapshot;

    std::atomic<uint64_t> m_written{0};
    std::atomic<uint64_t> m_durable{0};
    std::atomic<uint64_t> m_compacted_size;
    std::atomic<uint64_t> m_tail_size;
    std::atomic<bool> m_compacting{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_progress;
    std::deque<Request> m_queue;
    struct SideFile {
        std::vector<uint8_t> bytes;
        uint64_t generation;
    };
    std::map<std::filesystem::path, SideFile> m_side_files;
    std::optional<Clock::time_point> m_oldest_side_file;
    std::optional<Clock::time_point> m_oldest_unsynced;
    std::optional<std::expected<std::vector<uint8_t>, std::string>> m_compacted;
    std::optional<std::string> m_error;
    uint64_t m_failures = 0;
    Clock::time_point m_retry_at{};
    int m_flush_waiters = 0;
    bool m_stopping = false;

    std::thread m_thread;
};

}  // namespace vemo_ui::persist
