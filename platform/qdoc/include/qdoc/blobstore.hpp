#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Content-addressed storage for attachment and image bytes. A blob is named by its
// reference: the SHA-256 of its bytes as 64 lower-case hexadecimal digits. The same bytes
// always get the same reference, so storing twice stores once.
namespace qdoc::blobstore {

enum class ErrorCode {
    InvalidReference,  // not 64 hexadecimal digits
    NotFound,          // absent, or present but its bytes do not hash to the reference
    TooLarge,          // over the per-blob limit
    StoreFull,         // would exceed the total-bytes or blob-count limit
    Mismatch,          // put_checked: the bytes are not those the reference names
    Io,                // the filesystem refused
};

struct Error {
    ErrorCode code;
    std::string message;

    bool operator==(Error const&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

struct EvictStats {
    size_t removed_blobs = 0;
    uint64_t freed_bytes = 0;
};

// The store interface the application talks to; the filesystem store is one backend.
class BlobStore {
  public:
    virtual ~BlobStore() = default;

    // The bytes stored under the reference (either letter case is accepted).
    virtual Result<std::vector<uint8_t>> get(std::string_view reference) = 0;
    // Stores the bytes and returns their reference.
    virtual Result<std::string> put(std::span<uint8_t const> bytes) = 0;
    // Stores the bytes only when they hash to expected_reference (for bytes received from
    // someone who named them); a mismatch stores nothing.
    virtual Result<std::string> put_checked(std::span<uint8_t const> bytes,
                                            std::string_view expected_reference) = 0;
    // Removes every stored blob whose reference is not in `referenced`.
    virtual Result<EvictStats> evict_unreferenced(std::span<std::string const> referenced) = 0;
    // Whether something is stored under the reference. Cheap enough to ask every frame, so
    // it does not hash; get() is what verifies the bytes.
    virtual bool has(std::string_view reference) = 0;
};

// The lower-case form of a reference, or none when it is not 64 hexadecimal digits.
std::optional<std::string> normalize_reference(std::string_view reference);
// The reference of the bytes (SHA-256, lower-case hex).
std::string reference_of(std::span<uint8_t const> bytes);

inline constexpr uint64_t default_max_blob_bytes = 0x2000000;    // 32 MiB
inline constexpr uint64_t default_max_total_bytes = 0x10000000;  // 256 MiB
inline constexpr size_t default_max_cached_entries = 0x2000;     // 8192
inline constexpr size_t default_max_blobs = 0x4000;              // 16384

// Blobs as files under a root directory: <root>/<first two hex digits>/<reference>.
//
// The four limits, in constructor order:
//   max_blob_bytes      largest single blob put or read (a bigger file is never loaded);
//   max_total_bytes     sum of the sizes of all stored blobs;
//   max_cached_entries  blobs whose bytes the read cache keeps in memory (the cache also
//                       never holds more than max_blob_bytes bytes in total, nor a blob
//                       larger than an eighth of that);
//   max_blobs           number of stored blobs.
// A put that would break a limit fails with TooLarge or StoreFull and stores nothing;
// evict_unreferenced makes room again.
//
// Writes go to a temporary file in the blob's own directory, are synced, renamed into place
// and the directory is synced, so a crash never leaves a partial file under a reference.
// Reads hash the bytes and treat a file that does not match as missing. Several threads
// and several processes may put the same bytes at once.
//
// Usage totals are counted from the directory on first use and kept up to date by this
// object; another process writing to the same root is seen by its next eviction.
class FsBlobStore final : public BlobStore {
  public:
    FsBlobStore(std::filesystem::path root, uint64_t max_blob_bytes, uint64_t max_total_bytes,
                size_t max_cached_entries, size_t max_blobs);

    // <data dir>/qdoc/blobs; without a data directory, a per-user directory under
    // $XDG_RUNTIME_DIR or the system temporary directory.
    static std::filesystem::path default_root();

    Result<std::vector<uint8_t>> get(std::string_view reference) override;
    Result<std::string> put(std::span<uint8_t const> bytes) override;
    Result<std::string> put_checked(std::span<uint8_t const> bytes,
                                    std::string_view expected_reference) override;
    Result<EvictStats> evict_unreferenced(std::span<std::string const> referenced) override;
    bool has(std::string_view reference) override;

    std::filesystem::path const& root() const { return m_root; }
    std::filesystem::path path_for(std::string const& normalized_reference) const;

  private:
    struct Usage {
        uint64_t bytes = 0;
        size_t blobs = 0;
    };
    struct CacheEntry {
        std::shared_ptr<std::vector<uint8_t> const> bytes;
        std::list<std::string>::iterator recency;
    };

    Result<std::string> store_locked(std::span<uint8_t const> bytes, std::string const& reference);
    Result<void> ensure_usage_locked();
    Result<Usage> scan_usage() const;
    std::optional<uint64_t> verified_size(std::string const& reference) const;
    std::shared_ptr<std::vector<uint8_t> const> cache_lookup(std::string const& reference);
    void cache_insert(std::string const& reference,
                      std::shared_ptr<std::vector<uint8_t> const> bytes);
    void cache_erase_locked(std::string const& reference);

    std::filesystem::path m_root;
    uint64_t m_max_blob_bytes;
    uint64_t m_max_total_bytes;
    size_t m_max_cached_entries;
    size_t m_max_blobs;

    std::mutex m_mutex;
    // Guarded by m_mutex.
    std::optional<Usage> m_usage;
    std::unordered_map<std::string, CacheEntry> m_cache;
    std::list<std::string> m_recency;  // most recently used first
    uint64_t m_cached_bytes = 0;
};

// The process-wide store. store() is null until set_store() installs one.
void set_store(std::shared_ptr<BlobStore> store);
std::shared_ptr<BlobStore> store();

}  // namespace qdoc::blobstore
