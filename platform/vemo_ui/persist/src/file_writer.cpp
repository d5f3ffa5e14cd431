#include "file_writer.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "vemo_ui/chunk_recovery.hpp"

namespace vemo_ui::persist {

namespace {

// After a failed write the writer waits this long before trying again, unless someone is
// waiting in flush() or the store is closing.
constexpr std::chrono::seconds retry_delay{1};

// Runs on the compaction thread, away from both the UI thread and the file.
std::expected<std::vector<uint8_t>, std::string> compacted_copy(std::span<uint8_t const> file) {
    auto recovery = recover_document(file);
    // Bytes that could not be set aside when the store opened are still in the file; a
    // compacted copy would drop them.
    if (!recovery.unreadable.empty())
        return std::unexpected("it holds " + std::to_string(recovery.unreadable.size()) +
                               " unreadable bytes");
    return recovery.doc.save();
}

}  // namespace

FileWriter::FileWriter(Config config)
    : m_path(std::move(config.path)),
      m_tmp_path(std::move(config.tmp_path)),
      m_fd(std::move(config.fd)),
      m_file_size(config.file_size),
      m_before_rename(std::move(config.before_rename)),
      m_sync_delay(config.sync_delay),
      m_compacted_size(config.compacted_size),
      m_tail_size(config.file_size - std::min(config.file_size, config.compacted_size)) {
    m_thread = std::thread([this] { run(); });
}

FileWriter::~FileWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void FileWriter::append(std::vector<uint8_t> bytes, uint64_t generation) {
    if (bytes.empty()) return;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(Append{std::move(bytes), generation});
        if (!m_oldest_unsynced) m_oldest_unsynced = Clock::now();
    }
    m_wake.notify_all();
}

void FileWriter::compact() {
    m_compacting = true;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(Compact{});
    }
    m_wake.notify_all();
}

void FileWriter::write_beside(std::filesystem::path path, std::vector<uint8_t> bytes,
                              uint64_t generation) {
    {
        std::lock_guard lock(m_mutex);
        m_side_files[std::move(path)] = SideFile{std::move(bytes), generation};
        if (!m_oldest_side_file) m_oldest_side_file = Clock::now();
    }
    m_wake.notify_all();
}

bool FileWriter::side_files_ready() const {
    return std::ranges::any_of(
        m_side_files, [&](auto const& entry) { return entry.second.generation <= m_durable; });
}

void FileWriter::write_side_files(std::unique_lock<std::mutex>& lock) {
    std::vector<std::pair<std::filesystem::path, std::vector<uint8_t>>> ready;
    for (auto it = m_side_files.begin(); it != m_side_files.end();) {
        if (it->second.generation <= m_durable) {
            ready.emplace_back(it->first, std::move(it->second.bytes));
            it = m_side_files.erase(it);
        } else {
            ++it;
        }
    }
    m_oldest_side_file.reset();
    if (!m_side_files.empty()) m_oldest_side_file = Clock::now();
    lock.unlock();
    for (auto const& [path, bytes] : ready) {
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        auto tmp = path;
        tmp += ".tmp";
        // Losing one of these costs a peer a longer sync, never data: log, do not fail saves.
        if (auto written = file_io::replace_file(path, tmp, bytes); !written)
            report("cannot write " + path.string() + ": " + written.error(), Severity::LogOnly);
    }
    lock.lock();
}

file_io::Status FileWriter::flush(uint64_t generation) {
    std::unique_lock lock(m_mutex);
    uint64_t failures_before = m_failures;
    ++m_flush_waiters;
    m_wake.notify_all();
    m_progress.wait(lock, [&] { return m_durable >= generation || m_failures != failures_before; });
    --m_flush_waiters;
    if (m_durable >= generation) return {};
    return std::unexpected(m_error.value_or("the document could not be written"));
}

file_io::Status FileWriter::wait_written(uint64_t generation) {
    std::unique_lock lock(m_mutex);
    uint64_t failures_before = m_failures;
    m_progress.wait(
        lock, [&] { return m_written >= generation || m_error || m_failures != failures_before; });
    if (m_written >= generation) return {};
    return std::unexpected(m_error.value_or("the document could not be written"));
}

bool FileWriter::compaction_due(size_t floor) const {
    return !m_compacting && m_tail_size > std::max<uint64_t>(m_compacted_size, floor);
}

std::optional<std::string> FileWriter::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

void FileWriter::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_compacted) {
            auto compacted = std::move(*m_compacted);
            m_compacted.reset();
            lock.unlock();
            m_compactor.join();
            finish_compaction(std::move(compacted));
            lock.lock();
            m_progress.notify_all();
            continue;
        }
        auto now = Clock::now();
        bool urgent = m_stopping || m_flush_waiters > 0;
        if (!m_queue.empty() && (urgent || now >= m_retry_at)) {
            auto requests = std::move(m_queue);
            m_queue.clear();
            lock.unlock();
            auto left = write_requests(std::move(requests));
            lock.lock();
            if (!left.empty()) {
                m_retry_at = Clock::now() + retry_delay;
                if (m_stopping) {
                    spdlog::error("document store: giving up on {} unwritten change batches for {}",
                                  left.size(), m_path.string());
                    left.clear();
                }
                m_queue.insert(m_queue.begin(), std::make_move_iterator(left.begin()),
                               std::make_move_iterator(left.end()));
            }
            m_progress.notify_all();
            continue;
        }
        bool unsynced = m_written > m_durable;
        if (unsynced && (urgent || now >= m_oldest_unsynced.value_or(now) + m_sync_delay)) {
            if (m_queue.empty()) m_oldest_unsynced.reset();
            uint64_t target = m_written;
            lock.unlock();
            auto synced = file_io::sync_data(m_fd.get());
            report(synced ? std::nullopt : std::optional(synced.error()));
            lock.lock();
            if (synced) {
                m_durable = std::max(m_durable.load(), target);
            } else {
                if (!m_oldest_unsynced) m_oldest_unsynced = Clock::now();
                if (m_stopping) break;
            }
            m_progress.notify_all();
            continue;
        }
        bool side_due = side_files_ready() &&
                        (urgent || now >= m_oldest_side_file.value_or(now) + m_sync_delay);
        if (side_due) {
            write_side_files(lock);
            continue;
        }
        if (m_stopping && m_queue.empty() && !m_compactor.joinable()) {
            if (!m_side_files.empty())
                spdlog::warn(
                    "document store: {} files beside {} not written, as the document "
                    "could not be synced",
                    m_side_files.size(), m_path.string());
            break;
        }

        std::optional<Clock::time_point> until;
        if (unsynced) until = m_oldest_unsynced.value_or(now) + m_sync_delay;
        if (side_files_ready()) {
            auto due = m_oldest_side_file.value_or(now) + m_sync_delay;
            until = until ? std::min(*until, due) : due;
        }
        if (!m_queue.empty()) until = until ? std::min(*until, m_retry_at) : m_retry_at;
        if (until)
            m_wake.wait_until(lock, *until);
        else
            m_wake.wait(lock);
    }
}

std::deque<FileWriter::Request> FileWriter::write_requests(std::deque<Request> requests) {
    while (!requests.empty()) {
        if (std::holds_alternative<Compact>(requests.front())) {
            start_compaction();
            requests.pop_front();
            continue;
        }
        // One write for a run of appends: they are contiguous in the file anyway.
        std::vector<uint8_t> bytes;
        uint64_t generation = 0;
        size_t count = 0;
        for (; count < requests.size(); ++count) {
            auto* append = std::get_if<Append>(&requests[count]);
            if (!append) break;
            bytes.insert(bytes.end(), append->bytes.begin(), append->bytes.end());
            generation = append->generation;
        }
        auto written = file_io::append_all(m_fd.get(), bytes, m_file_size);
        report(written ? std::nullopt
                       : std::optional("cannot save changes to " + m_path.string() + ": " +
                                       written.error()));
        if (!written) return requests;
        m_file_size += bytes.size();
        m_tail_size += bytes.size();
        if (m_compactor.joinable())
            m_appended_since_snapshot.insert(m_appended_since_snapshot.end(), bytes.begin(),
                                             bytes.end());
        m_written = std::max(m_written.load(), generation);
        requests.erase(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(count));
    }
    return {};
}

void FileWriter::start_compaction() {
    if (m_compactor.joinable()) return;
    auto bytes = file_io::read_file(m_path);
    if (!bytes) {
        report("cannot compact " + m_path.string() + ": " + bytes.error(), Severity::LogOnly);
        m_compacting = false;
        return;
    }
    m_appended_since_snapshot.clear();
    m_compactor = std::thread([this, bytes = std::move(*bytes)] {
        auto result = compacted_copy(bytes);
        std::lock_guard lock(m_mutex);
        m_compacted = std::move(result);
        m_wake.notify_all();
    });
}

void FileWriter::finish_compaction(std::expected<std::vector<uint8_t>, std::string> compacted) {
    std::vector<uint8_t> appended = std::move(m_appended_since_snapshot);
    m_appended_since_snapshot = {};
    std::expected<file_io::Fd, std::string> fd =
        std::unexpected(compacted ? std::string() : compacted.error());
    size_t compacted_size = compacted ? compacted->size() : 0;
    if (compacted) {
        compacted->insert(compacted->end(), appended.begin(), appended.end());
        fd = file_io::replace_file(m_path, m_tmp_path, *compacted, m_before_rename);
    }
    if (fd) {
        m_fd = std::move(*fd);
        m_file_size = compacted->size();
        m_compacted_size = compacted_size;
        m_tail_size = appended.size();
        // Everything written so far is in the new, synced file.
        std::lock_guard lock(m_mutex);
        m_durable = std::max(m_durable.load(), m_written.load());
    }
    // The appends kept going to the old file, so a failed compaction loses nothing: it is
    // logged, and neither fails a flush nor claims in the status that saving stopped.
    if (!fd) report("cannot compact " + m_path.string() + ": " + fd.error(), Severity::LogOnly);
    m_compacting = false;
}

void FileWriter::report(std::optional<std::string> failure, Severity severity) {
    if (failure && severity == Severity::LogOnly) {
        spdlog::warn("document store: {}", *failure);
        return;
    }
    std::lock_guard lock(m_mutex);
    if (!failure) {
        m_error.reset();
        return;
    }
    spdlog::error("document store: {}", *failure);
    m_error = std::move(failure);
    ++m_failures;
}

}  // namespace vemo_ui::persist
