#include "vemo_ui/image_store.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "qdoc/blobstore.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/image_decode.hpp"

namespace vemo_ui {

namespace {

using Clock = std::chrono::steady_clock;

// A blob that is not here yet may still arrive from another participant, so its failure is
// remembered only this long; undecodable bytes fail for good.
constexpr auto missing_retry = std::chrono::seconds(3);

struct Builtin {
    std::string prefix;
    int width = 0;
    int height = 0;
    ImageStore::BuiltinPainter painter;
};

struct Entry {
    ImageStore::Lookup value = ImageStore::Pending{};
    std::optional<Clock::time_point> retry_after;
    uint64_t bytes = 0;
    std::list<std::string>::iterator recency;
};

struct Job {
    std::string key;
    std::string blob;
};

struct Outcome {
    std::string key;
    ImageStore::Lookup value;
    bool retryable = false;
};

Outcome decode_job(Job const& job) {
    auto store = qdoc::blobstore::store();
    if (!store) return {job.key, ImageStore::Failed{"no blob store"}, true};
    auto bytes = store->get(job.blob);
    if (!bytes) {
        bool missing = bytes.error().code == qdoc::blobstore::ErrorCode::NotFound ||
                       bytes.error().code == qdoc::blobstore::ErrorCode::Io;
        return {job.key, ImageStore::Failed{bytes.error().message}, missing};
    }
    auto image = decode_image(*bytes);
    if (!image) return {job.key, ImageStore::Failed{image.error()}, false};
    return {job.key, std::make_shared<Image const>(std::move(*image)), false};
}

class ThreadedImageStore final : public ImageStore {
  public:
    ThreadedImageStore(size_t max_entries, uint64_t max_bytes)
        : m_max_entries(std::max<size_t>(1, max_entries)), m_max_bytes(max_bytes) {
        m_worker = std::thread([this] { work(); });
    }

    ~ThreadedImageStore() override {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            m_jobs.clear();
        }
        m_wake.notify_all();
        m_worker.join();
    }

    Lookup get(std::string_view reference) override {
        collect();
        std::string key(reference);
        if (auto it = m_entries.find(key); it != m_entries.end()) {
            Entry& e = it->second;
            bool expired = e.retry_after && Clock::now() >= *e.retry_after;
            if (!expired) {
                m_recency.splice(m_recency.begin(), m_recency, e.recency);
                return e.value;
            }
            forget(it);
        }
        return start(key);
    }

    bool is_idle() const override {
        std::lock_guard lock(m_mutex);
        return m_jobs.empty() && !m_busy;
    }

    void block_until_idle() override {
        {
            std::unique_lock lock(m_mutex);
            m_idle.wait(lock, [&] { return m_jobs.empty() && !m_busy; });
        }
        collect();
    }

    void register_builtin(std::string prefix, int width, int height,
                          BuiltinPainter painter) override {
        m_builtins.push_back({std::move(prefix), width, height, std::move(painter)});
    }

    size_t cached_entries() const override { return m_entries.size(); }

  private:
    Lookup start(std::string const& key) {
        std::string_view ref = key;
        for (Builtin const& b : m_builtins)
            if (ref.starts_with(b.prefix)) return remember(key, draw_builtin(b, ref), false);
        if (!ref.starts_with(blob_scheme))
            return remember(key, Failed{"unknown image scheme"}, false);
        auto blob =
            qdoc::blobstore::normalize_reference(ref.substr(std::string_view(blob_scheme).size()));
        if (!blob) return remember(key, Failed{"malformed blob reference"}, false);
        remember(key, Pending{}, false);
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back({key, *blob});
        }
        m_wake.notify_one();
        return Pending{};
    }

    static Lookup draw_builtin(Builtin const& b, std::string_view ref) {
        if (b.width <= 0 || b.height <= 0 || b.width > max_image_side || b.height > max_image_side)
            return Failed{"bad built-in picture size"};
        ImageCanvas canvas(b.width, b.height);
        if (!b.painter || !b.painter(ref.substr(b.prefix.size()), canvas))
            return Failed{"no such built-in picture"};
        return std::make_shared<Image const>(canvas.snapshot());
    }

    Lookup remember(std::string const& key, Lookup value, bool retryable) {
        auto it = m_entries.find(key);
        if (it == m_entries.end()) {
            m_recency.push_front(key);
            it = m_entries.emplace(key, Entry{}).first;
            it->second.recency = m_recency.begin();
        }
        Entry& e = it->second;
        m_bytes -= e.bytes;
        e.value = value;
        e.bytes = 0;
        if (auto const* image = std::get_if<ImageRef>(&value); image && *image)
            e.bytes = uint64_t((*image)->pixels.size());
        m_bytes += e.bytes;
        e.retry_after = retryable ? std::optional(Clock::now() + missing_retry) : std::nullopt;
        evict(key);
        return value;
    }

    void forget(std::unordered_map<std::string, Entry>::iterator it) {
        m_bytes -= it->second.bytes;
        m_recency.erase(it->second.recency);
        m_entries.erase(it);
    }

    // Least recently used first; pending entries stay, their results are on the way.
    void evict(std::string const& keep) {
        auto it = m_recency.end();
        while ((m_entries.size() > m_max_entries || m_bytes > m_max_bytes) &&
               it != m_recency.begin()) {
            --it;
            auto entry = m_entries.find(*it);
            if (*it == keep || std::holds_alternative<Pending>(entry->second.value)) continue;
            auto next = it;
            ++next;
            forget(entry);
            it = next;
        }
    }

    void collect() {
        std::vector<Outcome> done;
        {
            std::lock_guard lock(m_mutex);
            done.swap(m_done);
        }
        for (Outcome& o : done)
            if (m_entries.contains(o.key)) remember(o.key, std::move(o.value), o.retryable);
    }

    void work() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) return;
            Job job = std::move(m_jobs.front());
            m_jobs.pop_front();
            m_busy = true;
            lock.unlock();
            Outcome outcome = decode_job(job);
            lock.lock();
            m_done.push_back(std::move(outcome));
            m_busy = false;
            if (m_jobs.empty()) m_idle.notify_all();
        }
    }

    size_t m_max_entries;
    uint64_t m_max_bytes;
    uint64_t m_bytes = 0;
    std::unordered_map<std::string, Entry> m_entries;
    std::list<std::string> m_recency;  // most recent first
    std::vector<Builtin> m_builtins;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_jobs;       // guarded by m_mutex
    std::vector<Outcome> m_done;  // guarded by m_mutex
    bool m_busy = false;          // guarded by m_mutex
    bool m_stopping = false;      // guarded by m_mutex
    std::thread m_worker;
};

}  // namespace

std::unique_ptr<ImageStore> ImageStore::create(size_t max_entries, uint64_t max_bytes) {
    return std::make_unique<ThreadedImageStore>(max_entries, max_bytes);
}

}  // namespace vemo_ui
