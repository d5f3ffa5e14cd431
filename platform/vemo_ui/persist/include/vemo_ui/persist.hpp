#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace automerge {
class AutoCommit;
}

namespace vemo_ui::persist {

// How the document store keeps the file safe.
struct StoreOptions {
    // Committed changes reach the disk (fdatasync) at most this long after their commit.
    std::chrono::milliseconds flush_interval{250};
    // The appended tail is folded into a fresh compacted file once it outgrows both the last
    // compacted document and this size.
    size_t compact_floor = 1 << 20;
    // Overrides the framework's own location (for tests and tools).
    std::optional<std::filesystem::path> base_dir;
    // Fault injection for crash tests: runs on the writer thread once a compacted copy is
    // on disk and synced, just before it replaces the document. Leave empty in production.
    std::function<void()> before_compaction_rename;
};

// What opening found on disk.
struct LoadReport {
    enum class Outcome : uint8_t {
        Created,     // there was no document (or an empty file): a new one was started
        Loaded,      // every byte of the file loaded
        Recovered,   // the readable chunks loaded; the unreadable bytes were set aside
        Unreadable,  // nothing loaded: the whole file was moved aside, a new document started
    };
    Outcome outcome = Outcome::Created;
    // Where the bytes that could not be read went (Recovered, Unreadable).
    std::optional<std::filesystem::path> set_aside;
    size_t set_aside_bytes = 0;
};

// Owns the application's document and its file.
//
// On disk the file is a compacted document chunk followed by the change chunks committed
// since, appended in commit order. A background writer thread owns the file: commit_frame()
// only hands the new change bytes over, and the writer appends them at once and fdatasyncs
// them within half the flush interval, so the UI thread never waits for the disk except
// in flush(). Compaction also runs on the writer: it loads the file into a document of its
// own and saves that, so the UI thread's document is never copied or saved for it.
//
// All members are for the UI thread, which is also the only thread that may touch
// document().
class DocumentStore {
  public:
    struct Impl;
    explicit DocumentStore(std::unique_ptr<Impl> impl);
    DocumentStore(DocumentStore const&) = delete;
    DocumentStore& operator=(DocumentStore const&) = delete;
    // Flushes, then stops the writer.
    ~DocumentStore();

    automerge::AutoCommit& document();
    std::filesystem::path const& path() const;
    LoadReport const& load_report() const;

    // Commits the open transaction and queues every change the document gained since the
    // last call (local commits and changes merged from peers alike) for the disk. Called
    // once per frame after sync and after every dispatched action, so that each user action
    // becomes one change.
    void commit_frame();

    // Commits, then has the writer replace the small file at `path` (a temporary file, synced,
    // renamed into place) once everything committed so far is durable, so that the file never
    // gets ahead of the document after a crash. For state kept beside the document that
    // describes its content, such as what a peer is known to have. Requests for one path are
    // coalesced (only the latest is written, about once per flush interval); closing the
    // store writes what is still pending.
    void write_beside(std::filesystem::path path, std::vector<uint8_t> bytes);

    // Called once per frame: picks up the writer's errors for status() and starts a
    // compaction when the appended tail has outgrown the compacted document.
    void tick(std::chrono::steady_clock::time_point now);

    // Commits and waits until everything committed so far is on disk. For window close and
    // SIGTERM/SIGINT (called from the main loop, not from a signal handler).
    std::expected<void, std::string> flush();

    // Commits and waits until everything committed so far is written to the file (synced
    // within half the flush interval), so that a process killed from now on loses none of
    // it. Fails at once, with the writer's reason, while writing is failing; the changes
    // stay queued and the writer keeps trying.
    std::expected<void, std::string> wait_written();

    // One line for the status bar when the user should know something about the file (that
    // saving is failing, that changes wait for history this device lacks, where unreadable
    // data was put); empty otherwise.
    std::optional<std::string> status() const;

    // Why saving is failing right now; empty once a later write succeeded.
    std::optional<std::string> save_failure() const;

    // Changes in the document whose dependencies it lacks (a chunk missing from the file, or
    // not yet sent by a peer). They are kept and saved, and appear once the history arrives.
    size_t waiting_changes() const;

    // Counters for callers that must know what has reached the disk: every commit_frame()
    // that produced changes advances the committed generation, and the durable generation
    // follows once those bytes are synced.
    uint64_t committed_generation() const;
    uint64_t durable_generation() const;

    // Saves everything, moves the file aside as "<file>.<tag>-<UTC time>" (never replacing
    // anything) and starts a new empty document in its place, for a device that adopts a
    // document shared with it. Returns where the old file went. On failure the old document
    // stays open as it was.
    std::expected<std::filesystem::path, std::string> set_aside_and_start_empty(std::string_view tag);

  private:
    std::unique_ptr<Impl> m_impl;
};

// The status text for `count` changes waiting for missing history; empty for none.
std::string waiting_changes_text(size_t count);

using OpenResult = std::expected<std::unique_ptr<DocumentStore>, std::string>;

// `app_id`: the application's id (reverse-DNS, e.g. "org.example.App"); it names the
// application's folder under the user's data directory and tags log lines.
// `options`: durability and location settings; the application passes on unchanged what
// the framework handed it.
//
// Opens $XDG_DATA_HOME/<app_id>/document.automerge (options.base_dir replaces the data
// directory), creating the directory and an empty document when none exists. Fails when
// there is no data directory, the id cannot name a folder, or another process has the
// document open.
OpenResult open(std::string_view app_id, StoreOptions const& options);

// Opens the document stored at `path`, creating the directory and an empty document there
// when absent, so that a file written by earlier versions stays where it is and is kept.
// `app_id` and `options` as for open(); options.base_dir is not used.
OpenResult open_migrating(std::string_view app_id, StoreOptions const& options,
                          std::filesystem::path const& path);

}  // namespace vemo_ui::persist
