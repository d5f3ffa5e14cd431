#include "actions/attachment_jobs.hpp"

#include <limits>

#include "actions/apply.hpp"

namespace chat {

namespace {

constexpr uint64_t counter_max = std::numeric_limits<uint64_t>::max();

std::string text(std::string_view a, std::string_view b = {}) {
    std::string out(a);
    out += b;
    return out;
}

}  // namespace

AttachmentJobs::AttachmentJobs(StoreSource store, uint64_t listings_made, uint64_t imports_made)
    : m_store(std::move(store)), m_listings_made(listings_made), m_imports_made(imports_made) {}

AttachmentJobs::PickerStart AttachmentJobs::open_picker(std::filesystem::path dir) {
    if (m_listing.running()) return {false, text(attach_status::loading)};
    if (m_listings_made == counter_max) return {false, text(attach_status::picker_exhausted)};
    uint64_t number = ++m_listings_made;
    m_listing.start([number, dir = std::move(dir)] {
        return Listed{number, dir, list_attachments(dir)};
    });
    return {true, text(attach_status::loading)};
}

std::optional<AttachmentJobs::ListingDone> AttachmentJobs::poll_listing() {
    auto listed = m_listing.poll();
    if (!listed) return std::nullopt;
    // Only one listing runs at a time, so the result is always the latest request's.
    if (!listed->entries)
        return ListingDone{{}, text(attach_status::picker_failed, listed->entries.error())};
    if (listed->entries->empty())
        return ListingDone{{}, text(attach_status::picker_empty, listed->dir.string())};
    return ListingDone{std::move(*listed->entries), {}};
}

AttachmentJobs::ImportStart AttachmentJobs::start_import(std::string channel, std::string user,
                                                         std::filesystem::path path,
                                                         std::optional<std::string> parent) {
    return start_import(std::move(channel), std::move(user), existing_file(std::move(path)),
                        std::move(parent));
}

AttachmentJobs::FileMaker AttachmentJobs::existing_file(std::filesystem::path path) {
    return [path = std::move(path)]() -> std::expected<std::filesystem::path, std::string> {
        return path;
    };
}

AttachmentJobs::ImportStart AttachmentJobs::start_import(std::string channel, std::string user,
                                                         FileMaker make,
                                                         std::optional<std::string> parent) {
    if (m_pending || m_import.running()) return ImportStart::Busy;
    if (m_imports_made == counter_max) return ImportStart::Exhausted;
    uint64_t number = ++m_imports_made;
    m_pending = ImportRequest{std::move(channel), std::move(user), number, std::move(parent)};
    m_import.start([number, make = std::move(make), store = m_store()] {
        auto path = make();
        if (!path) return Imported{number, std::unexpected(std::move(path.error()))};
        return Imported{number, import_attachment_file(*path, store.get())};
    });
    return ImportStart::Accepted;
}

std::optional<AttachmentJobs::ImportDone> AttachmentJobs::poll_import() {
    auto imported = m_import.poll();
    if (!imported) return std::nullopt;
    auto request = std::exchange(m_pending, std::nullopt);
    // A result for another request than the pending one has nobody waiting for it.
    if (!request || request->number != imported->number) return std::nullopt;
    return ImportDone{std::move(*request), std::move(imported->outcome)};
}

ImportConclusion conclude_import(AttachmentJobs::ImportDone const& done, bool still_permitted,
                                 std::string message_id, int64_t ts) {
    if (!done.outcome) return {std::nullopt, text(attach_status::failed, done.outcome.error())};
    if (!still_permitted) return {std::nullopt, text(attach_status::cancelled_permission)};
    Attachment attachment = attachment_for(*done.outcome);
    // The document would drop it without a word; say so instead of claiming it was shared.
    if (!is_valid_attachment(attachment))
        return {std::nullopt, text(attach_status::failed, "file name or size cannot be shared")};
    action::SendMessage message{.channel = done.request.channel,
                                .id = std::move(message_id),
                                .author = done.request.user,
                                .ts = ts,
                                .text = {},
                                .parent = done.request.parent,
                                .attachment = std::move(attachment),
                                .mentions = {},
                                .reference = std::nullopt};
    return {std::move(message), text(attach_status::shared)};
}

}  // namespace chat
