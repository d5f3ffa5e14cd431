#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vemo_ui/search/provider.hpp"

namespace vemo_ui::search::provider {

// Writes into a catalog on a thread of its own, so that opening (and checking) the index
// file and storing many entries never hold up the UI thread. Work is applied in the order it
// was handed over, in small transactions, so queries in between wait at most for one batch.
class CatalogIndexer {
  public:
    using Opener = std::function<std::shared_ptr<SearchCatalog>()>;

    // `open` runs first on the worker; it must answer a catalog (an in-memory one when the
    // file cannot be used).
    explicit CatalogIndexer(Opener open);
    // Stops after the batch being written; what is left undone is caught up on the next run,
    // when the whole set is handed over again.
    ~CatalogIndexer();
    CatalogIndexer(CatalogIndexer const&) = delete;
    CatalogIndexer& operator=(CatalogIndexer const&) = delete;

    // The catalog once it is open; null before.
    std::shared_ptr<SearchCatalog> catalog() const;

    // Entries to store (replacing what their addresses held) and addresses to forget.
    void submit(std::vector<SearchEntry> entries, std::vector<std::string> removals);
    // The catalog's whole content: these entries are stored and every other one forgotten.
    void submit_all(std::vector<SearchEntry> entries);
    // The same with the entries made on the worker: `make` runs there, so it must own what
    // it reads (a snapshot), never point into state the caller goes on changing.
    using EntryMaker = std::function<std::vector<SearchEntry>()>;
    void submit_all(EntryMaker make);

    // True while handed-over work is not yet in the catalog.
    bool busy() const;
    void wait_idle() const;
    // The last failure the catalog reported, if any.
    std::optional<std::string> last_error() const;

  private:
    struct Job {
        std::vector<SearchEntry> entries;
        std::vector<std::string> removals;
        bool complete = false;  // forget everything not in `entries`
        EntryMaker make;        // makes `entries` on the worker
    };
    void run(Opener open);
    void apply(SearchCatalog& catalog, Job& job);
    void push(Job job);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
    mutable std::condition_variable m_idle;
    std::deque<Job> m_jobs;
    bool m_working = true;  // until the catalog is open
    bool m_stop = false;
    std::shared_ptr<SearchCatalog> m_catalog;
    std::optional<std::string> m_error;
    std::thread m_thread;
};

}  // namespace vemo_ui::search::provider
