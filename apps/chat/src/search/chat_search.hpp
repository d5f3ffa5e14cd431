#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/live_view.hpp"
#include "model/view_model.hpp"
#include "vemo_ui/search/catalog_indexer.hpp"
#include "vemo_ui/search/provider.hpp"

namespace chat::search {

namespace sp = vemo_ui::search::provider;

// The chat's search provider "Chat": a catalog of the entries of search_entries.hpp, kept
// current as the view model changes. Each update hands the catalog only what changed since
// the one before (one edited message is one entry), and the catalog writes on a thread of
// its own.
class ChatSearchProvider final : public sp::SearchProvider {
  public:
    // `index_file`: where the index is kept between runs; none keeps it in memory.
    explicit ChatSearchProvider(std::optional<std::filesystem::path> index_file);
    ~ChatSearchProvider() override;

    std::string name() const override { return "Chat"; }
    sp::SearchPage query_page(sp::SearchQuery const& query,
                              std::optional<sp::SearchCursor> const& cursor,
                              sp::PageLimits limits) const override;
    std::optional<sp::CatalogStats> stats() const override;
    bool cursor_is_current(sp::SearchCursor const& cursor) const override;
    bool indexing() const override;
    uint64_t generation() const override;

    // Brings the catalog up to `view`. The first call hands over a snapshot of the view, from
    // which the indexer's thread makes every entry (the stored index keeps those it already
    // holds untouched); later calls hand over only the differences.
    void update(model::ViewModel const& view);
    // The same after a refresh that reported `change`: only the channels it names are
    // compared, so one new message costs its channel's fingerprints, not the whole view's.
    void update(model::ViewModel const& view, model::ViewChange const& change);
    // How many entries and removals the last update handed over.
    struct Handed {
        size_t entries = 0;
        size_t removals = 0;
    };
    Handed last_update() const { return m_last; }
    // Until the catalog holds everything handed over (tests, automation, benchmarks).
    void wait_idle() const { m_indexer.wait_idle(); }
    std::optional<std::string> last_error() const { return m_indexer.last_error(); }

  private:
    struct Seen {
        std::string id;
        uint64_t digest = 0;
    };
    struct Snapshot;
    void first_build(model::ViewModel const& view);
    void take_fingerprints();
    void update_small(model::ViewModel const& view, class EntryContext const& ctx,
                      std::vector<sp::SearchEntry>& changed, std::vector<std::string>& gone);
    void update_messages(model::ViewModel const& view, EntryContext const& ctx, bool everything,
                         std::vector<sp::SearchEntry>& changed, std::vector<std::string>& gone);
    std::optional<std::vector<Seen>> update_channel(
        EntryContext const& ctx, std::string const& channel_id, std::span<Message const> messages,
        bool everything, std::vector<sp::SearchEntry>& changed, std::vector<std::string>& gone);

    sp::CatalogIndexer m_indexer;
    bool m_built = false;
    uint64_t m_people_digest = 0;
    std::unordered_map<std::string, uint64_t> m_small;              // address -> digest
    std::unordered_map<std::string, std::vector<Seen>> m_messages;  // channel -> its messages
    // The first build's fingerprints of messages, while they are being taken.
    std::future<std::unordered_map<std::string, std::vector<Seen>>> m_fingerprints;
    Handed m_last;
};

// Where the index of the chat document at `document` is kept: a file in the user's cache
// directory named after the document. None without a cache directory.
std::optional<std::filesystem::path> index_file_for(std::filesystem::path const& document);

}  // namespace chat::search
