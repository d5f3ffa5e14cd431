#include <spdlog/spdlog.h>

#include <automerge/automerge.hpp>
#include <xdg_paths/xdg_paths.hpp>

#include "file_io.hpp"
#include "file_writer.hpp"
#include "vemo_ui/chunk_recovery.hpp"
#include "vemo_ui/document_file.hpp"
#include "vemo_ui/persist.hpp"

namespace vemo_ui::persist {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view file_name = "document.automerge";
// After starting a compaction, the next one waits at least this long (it may have failed).
constexpr std::chrono::seconds compaction_spacing{5};

fs::path sibling(fs::path const& path, std::string_view suffix) {
    return path.string() + std::string(suffix);
}

bool valid_app_id(std::string_view id) {
    return !id.empty() && id != "." && id != ".." && id.find('/') == std::string_view::npos &&
           id.find('\0') == std::string_view::npos;
}

// The document as found on disk, ready for its writer.
struct Opened {
    automerge::AutoCommit doc;
    LoadReport report;
    std::optional<std::string> note;
    file_io::Fd fd;
    uint64_t file_size = 0;
    uint64_t compacted_size = 0;
};

// Replaces the file with the saved document (an empty one, or a clean copy of what loaded).
std::expected<Opened, std::string> rewrite(fs::path const& path, Opened opened) {
    auto bytes = opened.doc.save();
    auto fd = file_io::replace_file(path, sibling(path, ".compacting"), bytes);
    if (!fd) return std::unexpected(fd.error());
    opened.fd = std::move(*fd);
    opened.file_size = opened.compacted_size = bytes.size();
    return opened;
}

std::expected<Opened, std::string> start_over_after_unreadable(fs::path const& path, size_t size,
                                                               std::string_view app_id) {
    auto aside = file_io::aside_path(path, "unreadable");
    if (auto moved = file_io::rename_no_replace(path, aside); !moved)
        return std::unexpected(moved.error());
    spdlog::warn("{}: {} could not be read at all; moved it to {} and started a new document",
                 app_id, path.string(), aside.string());
    Opened opened;
    opened.report = {LoadReport::Outcome::Unreadable, aside, size};
    opened.note = "The saved document could not be read. It was moved to " + aside.string() +
                  " and a new one was started.";
    return rewrite(path, std::move(opened));
}

std::expected<Opened, std::string> keep_recovered(fs::path const& path, Recovery recovery,
                                                  std::string_view app_id) {
    Opened opened;
    opened.doc = std::move(recovery.doc);
    auto aside = file_io::aside_path(path, "unreadable");
    auto kept = file_io::write_new_file(aside, recovery.unreadable);
    if (!kept) {
        // Leave the file as it is: the loader skips the bad bytes again next time, and
        // new changes appended after them still load.
        spdlog::error(
            "{}: {} bytes of {} could not be read, nor set aside ({}); leaving them in place",
            app_id, recovery.unreadable.size(), path.string(), kept.error());
        opened.report = {LoadReport::Outcome::Recovered, std::nullopt, recovery.unreadable.size()};
        opened.note =
            "Part of the saved document could not be read and is still in " + path.string() + ".";
        auto fd = file_io::open_append(path);
        if (!fd) return std::unexpected(fd.error());
        auto size = file_io::file_size(fd->get());
        if (!size) return std::unexpected(size.error());
        opened.fd = std::move(*fd);
        opened.file_size = *size;
        opened.compacted_size = recovery.leading_document_size;
        opened.doc.save_incremental();
        return opened;
    }
    spdlog::warn("{}: {} bytes of {} could not be read (a torn or damaged write); kept them in {}",
                 app_id, recovery.unreadable.size(), path.string(), aside.string());
    opened.report = {LoadReport::Outcome::Recovered, aside, recovery.unreadable.size()};
    opened.note =
        "Part of the saved document could not be read. It was kept in " + aside.string() + ".";
    return rewrite(path, std::move(opened));
}

std::expected<Opened, std::string> load_or_create(fs::path const& path, std::string_view app_id) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        if (ec) return std::unexpected("cannot look for " + path.string() + ": " + ec.message());
        return rewrite(path, Opened{});
    }
    auto bytes = file_io::read_file(path);
    if (!bytes) return std::unexpected(bytes.error());
    if (bytes->empty()) return rewrite(path, Opened{});

    auto recovery = recover_document(*bytes);
    if (recovery.loaded_chunks == 0)
        return start_over_after_unreadable(path, bytes->size(), app_id);
    if (!recovery.unreadable.empty()) return keep_recovered(path, std::move(recovery), app_id);

    Opened opened;
    opened.doc = std::move(recovery.doc);
    // Everything loaded is on disk already; only later changes are to be appended.
    opened.doc.save_incremental();
    opened.report.outcome = LoadReport::Outcome::Loaded;
    auto fd = file_io::open_append(path);
    if (!fd) return std::unexpected(fd.error());
    opened.fd = std::move(*fd);
    opened.file_size = bytes->size();
    opened.compacted_size = recovery.leading_document_size;
    return opened;
}

}  // namespace

struct DocumentStore::Impl {
    fs::path path;
    std::string app_id;
    StoreOptions options;
    LoadReport report;
    std::optional<std::string> note;
    automerge::AutoCommit doc;
    std::optional<DocumentLock> lock;
    uint64_t committed = 0;
    Clock::time_point next_compaction{};
    // Declared last: its destructor flushes while everything above is still alive.
    std::unique_ptr<FileWriter> writer;
};

DocumentStore::DocumentStore(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

DocumentStore::~DocumentStore() {
    if (!m_impl) return;
    commit_frame();
    m_impl->writer.reset();
}

automerge::AutoCommit& DocumentStore::document() {
    return m_impl->doc;
}
fs::path const& DocumentStore::path() const {
    return m_impl->path;
}
LoadReport const& DocumentStore::load_report() const {
    return m_impl->report;
}

void DocumentStore::commit_frame() {
    // save_incremental commits the open transaction and returns every change not yet
    // handed out, whether committed here or merged from a peer.
    auto bytes = m_impl->doc.save_incremental();
    if (bytes.empty()) return;
    m_impl->writer->append(std::move(bytes), ++m_impl->committed);
}

void DocumentStore::write_beside(fs::path path, std::vector<uint8_t> bytes) {
    commit_frame();
    m_impl->writer->write_beside(std::move(path), std::move(bytes), m_impl->committed);
}

void DocumentStore::tick(Clock::time_point now) {
    auto& impl = *m_impl;
    if (now < impl.next_compaction) return;
    if (!impl.writer->compaction_due(impl.options.compact_floor)) return;
    impl.writer->compact();
    impl.next_compaction = now + compaction_spacing;
}

std::expected<void, std::string> DocumentStore::flush() {
    commit_frame();
    return m_impl->writer->flush(m_impl->committed);
}

std::expected<void, std::string> DocumentStore::wait_written() {
    commit_frame();
    return m_impl->writer->wait_written(m_impl->committed);
}

std::optional<std::string> DocumentStore::status() const {
    std::vector<std::string> parts;
    if (auto error = save_failure()) parts.push_back("Changes are not being saved: " + *error);
    if (auto waiting = waiting_changes_text(waiting_changes()); !waiting.empty())
        parts.push_back(std::move(waiting));
    if (m_impl->note) parts.push_back(*m_impl->note);
    if (parts.empty()) return std::nullopt;
    std::string line = parts.front();
    for (size_t i = 1; i < parts.size(); ++i) line += " · " + parts[i];
    return line;
}

std::optional<std::string> DocumentStore::save_failure() const {
    return m_impl->writer->error();
}

size_t DocumentStore::waiting_changes() const {
    return m_impl->doc.queued_changes();
}

std::string waiting_changes_text(size_t count) {
    if (count == 0) return {};
    if (count == 1)
        return "1 change is waiting for history this device does not have; it will appear when "
               "a peer sends it";
    return std::to_string(count) +
           " changes are waiting for history this device does not have; they will appear "
           "when a peer sends it";
}

uint64_t DocumentStore::committed_generation() const {
    return m_impl->committed;
}
uint64_t DocumentStore::durable_generation() const {
    return m_impl->writer->durable_generation();
}

namespace {

std::unique_ptr<FileWriter> make_writer(DocumentStore::Impl const& impl, Opened& opened) {
    return std::make_unique<FileWriter>(FileWriter::Config{
        .path = impl.path,
        .tmp_path = sibling(impl.path, ".compacting"),
        .fd = std::move(opened.fd),
        .file_size = opened.file_size,
        .compacted_size = opened.compacted_size,
        .sync_delay = impl.options.flush_interval / 2,
        .before_rename = impl.options.before_compaction_rename,
    });
}

}  // namespace

std::expected<fs::path, std::string> DocumentStore::set_aside_and_start_empty(std::string_view tag) {
    auto& impl = *m_impl;
    if (auto flushed = flush(); !flushed) return std::unexpected(flushed.error());
    // The writer owns the file descriptor and may be compacting: stop it before the rename.
    impl.writer.reset();
    auto aside = file_io::aside_path(impl.path, tag);
    auto moved = file_io::rename_no_replace(impl.path, aside);
    std::expected<Opened, std::string> opened = std::unexpected(moved ? std::string() : moved.error());
    if (moved) opened = rewrite(impl.path, Opened{});
    if (!opened) {
        auto error = opened.error();
        // Put the old document back under its writer; nothing was lost.
        if (moved) (void)file_io::rename_no_replace(aside, impl.path);
        auto reopened = load_or_create(impl.path, impl.app_id);
        if (!reopened) return std::unexpected(error + "; reopening failed too: " + reopened.error());
        impl.writer = make_writer(impl, *reopened);
        // A new writer counts its generations from zero; so does the store from here on.
        impl.committed = 0;
        return std::unexpected(error);
    }
    impl.doc = std::move(opened->doc);
    impl.report = opened->report;
    impl.note.reset();
    impl.writer = make_writer(impl, *opened);
    impl.committed = 0;
    return aside;
}

OpenResult open_migrating(std::string_view app_id, StoreOptions const& options,
                          fs::path const& path) {
    std::error_code ec;
    auto absolute = fs::absolute(path, ec);
    if (ec || absolute.filename().empty())
        return std::unexpected("not a file path: " + path.string());
    fs::create_directories(absolute.parent_path(), ec);
    if (ec)
        return std::unexpected("cannot create " + absolute.parent_path().string() + ": " +
                               ec.message());

    auto lock = lock_document(absolute);
    if (!lock) return std::unexpected(lock.error());
    // A compaction that died before its rename leaves only a partial copy; the document
    // itself is intact, so the copy goes.
    auto tmp = sibling(absolute, ".compacting");
    if (fs::remove(tmp, ec))
        spdlog::info("{}: removed an unfinished compaction {}", app_id, tmp.string());

    auto opened = load_or_create(absolute, app_id);
    if (!opened) return std::unexpected(opened.error());

    auto impl = std::make_unique<DocumentStore::Impl>();
    impl->path = absolute;
    impl->app_id = app_id;
    impl->options = options;
    impl->report = opened->report;
    impl->note = opened->note;
    impl->doc = std::move(opened->doc);
    impl->lock = std::move(*lock);
    impl->writer = make_writer(*impl, *opened);
    return std::make_unique<DocumentStore>(std::move(impl));
}

OpenResult open(std::string_view app_id, StoreOptions const& options) {
    if (!valid_app_id(app_id))
        return std::unexpected("not a usable application id: \"" + std::string(app_id) + "\"");
    auto base = options.base_dir ? options.base_dir : xdg_paths::data_dir();
    if (!base)
        return std::unexpected(
            std::string("no data directory (neither XDG_DATA_HOME nor HOME is set)"));
    return open_migrating(app_id, options, *base / app_id / file_name);
}

}  // namespace vemo_ui::persist
