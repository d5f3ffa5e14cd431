#include "vemo_ui/search/catalog_indexer.hpp"

#include <algorithm>
#include <utility>

namespace vemo_ui::search::provider {

namespace {

// Entries per transaction: small enough that a query waits a few milliseconds at most.
constexpr size_t batch_size = 256;

}  // namespace

CatalogIndexer::CatalogIndexer(Opener open)
    : m_thread([this, open = std::move(open)] { run(open); }) {}

CatalogIndexer::~CatalogIndexer() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

std::shared_ptr<SearchCatalog> CatalogIndexer::catalog() const {
    std::lock_guard lock(m_mutex);
    return m_catalog;
}

void CatalogIndexer::submit(std::vector<SearchEntry> entries, std::vector<std::string> removals) {
    if (entries.empty() && removals.empty()) return;
    push(Job{std::move(entries), std::move(removals), false, nullptr});
}

void CatalogIndexer::submit_all(std::vector<SearchEntry> entries) {
    push(Job{std::move(entries), {}, true, nullptr});
}

void CatalogIndexer::submit_all(EntryMaker make) {
    push(Job{{}, {}, true, std::move(make)});
}

void CatalogIndexer::push(Job job) {
    {
        std::lock_guard lock(m_mutex);
        // A complete set makes everything queued before it moot.
        if (job.complete) m_jobs.clear();
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

bool CatalogIndexer::busy() const {
    std::lock_guard lock(m_mutex);
    return m_working || !m_jobs.empty();
}

void CatalogIndexer::wait_idle() const {
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [&] { return m_stop || (!m_working && m_jobs.empty()); });
}

std::optional<std::string> CatalogIndexer::last_error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

void CatalogIndexer::run(Opener open) {
    auto catalog = open();
    std::unique_lock lock(m_mutex);
    m_catalog = catalog;
    for (;;) {
        m_working = false;
        m_idle.notify_all();
        m_wake.wait(lock, [&] { return m_stop || !m_jobs.empty(); });
        if (m_stop) break;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_working = true;
        lock.unlock();
        if (catalog) apply(*catalog, job);
        lock.lock();
    }
    m_idle.notify_all();
}

void CatalogIndexer::apply(SearchCatalog& catalog, Job& job) {
    if (job.make) job.entries = std::exchange(job.make, nullptr)();
    // Stored oldest first, so the index's own order follows time and a search that ranks
    // only the newest matches of a common word finds the right ones.
    if (job.complete)
        std::ranges::stable_sort(job.entries, {}, [](SearchEntry const& e) { return e.timestamp; });
    auto fail = [&](std::string error) {
        std::lock_guard lock(m_mutex);
        m_error = std::move(error);
    };
    for (size_t i = 0; i < job.entries.size(); i += batch_size) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stop) return;
        }
        size_t n = std::min(batch_size, job.entries.size() - i);
        if (auto stored = catalog.insert_all(std::span(job.entries).subspan(i, n)); !stored)
            fail(stored.error());
    }
    for (auto const& address : job.removals)
        if (auto removed = catalog.remove_postings(address); !removed) fail(removed.error());
    if (job.complete) {
        std::vector<std::string> keep;
        keep.reserve(job.entries.size());
        for (auto const& e : job.entries) keep.push_back(e.action_address);
        std::ranges::sort(keep);
        if (auto pruned = catalog.retain_only(keep); !pruned) fail(pruned.error());
    }
}

}  // namespace vemo_ui::search::provider
