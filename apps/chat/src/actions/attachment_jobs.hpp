#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "actions/attachment_import.hpp"
#include "actions/chat_action.hpp"

namespace chat {

namespace attach_status {
inline constexpr std::string_view loading = "Loading attachments…";
inline constexpr std::string_view preparing = "Preparing attachment…";
inline constexpr std::string_view shared = "Attachment shared";
inline constexpr std::string_view failed = "Attachment import failed: ";
inline constexpr std::string_view cancelled_permission =
    "Attachment import cancelled: permission changed";
inline constexpr std::string_view picker_cancelled = "Attachment picker cancelled";
inline constexpr std::string_view picker_failed = "Attachment picker failed: ";
inline constexpr std::string_view picker_empty = "No attachments in ";
inline constexpr std::string_view picker_exhausted =
    "Attachment picker unavailable: request counter exhausted";
inline constexpr std::string_view import_exhausted =
    "Attachment import unavailable: request counter exhausted";
}  // namespace attach_status

// One value computed on a worker thread and picked up by polling, never by waiting for it.
template <class T>
class BackgroundTask {
  public:
    BackgroundTask() = default;
    BackgroundTask(BackgroundTask const&) = delete;
    BackgroundTask& operator=(BackgroundTask const&) = delete;
    ~BackgroundTask() {
        if (m_thread.joinable()) m_thread.join();
    }

    template <class Work>
    void start(Work work) {
        if (m_thread.joinable()) m_thread.join();
        m_slot = std::make_shared<Slot>();
        m_thread = std::thread([slot = m_slot, work = std::move(work)]() mutable {
            auto value = work();
            std::lock_guard lock(slot->mutex);
            slot->value = std::move(value);
        });
    }
    bool running() const { return m_slot != nullptr; }
    // The value once the worker has delivered it; the task is then idle again.
    std::optional<T> poll() {
        if (!m_slot) return std::nullopt;
        std::optional<T> value;
        {
            std::lock_guard lock(m_slot->mutex);
            if (!m_slot->value) return std::nullopt;
            value = std::move(m_slot->value);
        }
        // The worker has stored its value and is only returning.
        m_thread.join();
        m_slot.reset();
        return value;
    }

  private:
    struct Slot {
        std::mutex mutex;
        std::optional<T> value;
    };
    std::shared_ptr<Slot> m_slot;
    std::thread m_thread;
};

struct ImportRequest {
    std::string channel;
    std::string user;
    uint64_t number = 0;
    std::optional<std::string> parent;  // the thread the file was attached in
};

// The picker listing and the file import the window runs in the background: at most one of
// each at a time, each request numbered. Used from the UI thread only.
class AttachmentJobs {
  public:
    using StoreSource = std::function<std::shared_ptr<qdoc::blobstore::BlobStore>()>;

    // The counters give the number of requests already made of each kind.
    explicit AttachmentJobs(StoreSource store = qdoc::blobstore::store, uint64_t listings_made = 0,
                            uint64_t imports_made = 0);

    struct PickerStart {
        bool started = false;
        std::string status;
    };
    PickerStart open_picker(std::filesystem::path dir);
    bool listing() const { return m_listing.running(); }

    struct ListingDone {
        std::vector<PickerEntry> entries;
        std::string status;  // empty when there are entries to show
    };
    std::optional<ListingDone> poll_listing();

    enum class ImportStart { Accepted, Busy, Exhausted };
    ImportStart start_import(std::string channel, std::string user, std::filesystem::path path,
                             std::optional<std::string> parent = std::nullopt);
    // Makes the file on the worker first (a pasted picture is encoded and written there), then
    // imports it like a picked one. `make` gives the file's path or why it could not be made.
    using FileMaker = std::function<std::expected<std::filesystem::path, std::string>()>;
    static FileMaker existing_file(std::filesystem::path path);
    ImportStart start_import(std::string channel, std::string user, FileMaker make,
                             std::optional<std::string> parent = std::nullopt);
    std::optional<ImportRequest> const& pending_import() const { return m_pending; }

    struct ImportDone {
        ImportRequest request;
        std::expected<ImportedFile, std::string> outcome;
    };
    std::optional<ImportDone> poll_import();

    bool busy() const { return m_listing.running() || m_import.running(); }

  private:
    struct Listed {
        uint64_t number = 0;
        std::filesystem::path dir;
        std::expected<std::vector<PickerEntry>, std::string> entries;
    };
    struct Imported {
        uint64_t number = 0;
        std::expected<ImportedFile, std::string> outcome;
    };

    StoreSource m_store;
    uint64_t m_listings_made;
    uint64_t m_imports_made;
    std::optional<ImportRequest> m_pending;
    BackgroundTask<Listed> m_listing;
    BackgroundTask<Imported> m_import;
};

// What the window does with a finished import: the message to send, if any, and the status
// line to show.
struct ImportConclusion {
    std::optional<action::SendMessage> message;
    std::string status;
};
ImportConclusion conclude_import(AttachmentJobs::ImportDone const& done, bool still_permitted,
                                 std::string message_id, int64_t ts);

}  // namespace chat
