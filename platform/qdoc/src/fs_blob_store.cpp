#include <dirent.h>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <unordered_set>

#include "qdoc/blobstore.hpp"
#include "xdg_paths/xdg_paths.hpp"

namespace qdoc::blobstore {

namespace fs = std::filesystem;

namespace {

constexpr char hex_digits[] = "0123456789abcdef";
constexpr std::string_view temp_prefix = ".tmp-";
// A temporary file this old belongs to a writer that died; younger ones may still be open.
constexpr auto stale_temp_age = std::chrono::hours(1);

Error invalid_reference(std::string_view text) {
    // Cut what is echoed back: the text may be anything a peer sent.
    return Error{ErrorCode::InvalidReference,
                 "not a blob reference: " + std::string(text.substr(0, 80))};
}

Error too_large(uint64_t size, uint64_t limit) {
    return Error{ErrorCode::TooLarge, "blob of " + std::to_string(size) +
                                          " bytes exceeds the limit of " + std::to_string(limit) +
                                          " bytes"};
}

Error io_error(std::string_view what, fs::path const& path, int err = errno) {
    return Error{ErrorCode::Io,
                 std::string(what) + " " + path.string() + ": " + std::strerror(err)};
}

std::string to_hex(std::span<uint8_t const> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += hex_digits[b >> 4];
        text += hex_digits[b & 0xF];
    }
    return text;
}

// Owns one file descriptor.
class Fd {
  public:
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release_and_close() {
        int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

  private:
    int m_fd;
};

bool write_all(int fd, std::span<uint8_t const> data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        data = data.subspan(static_cast<size_t>(written));
    }
    return true;
}

void sync_directory(fs::path const& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

std::string random_temp_name() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::string name(temp_prefix);
    uint64_t value = generator();
    for (int i = 0; i < 16; ++i, value >>= 4) name += hex_digits[value & 0xF];
    return name;
}

// The directory exists, is a directory and belongs to us: a root under a shared temporary
// directory could otherwise have been planted by another user.
Result<void> prepare_directory(fs::path const& dir) {
    std::error_code ec;
    bool created = fs::create_directories(dir, ec);
    if (ec)
        return std::unexpected(
            Error{ErrorCode::Io, "cannot create " + dir.string() + ": " + ec.message()});
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0) return std::unexpected(io_error("cannot inspect", dir));
    if (!S_ISDIR(info.st_mode))
        return std::unexpected(Error{ErrorCode::Io, dir.string() + " is not a directory"});
    if (info.st_uid != ::geteuid())
        return std::unexpected(Error{ErrorCode::Io, dir.string() + " belongs to another user"});
    if (created) sync_directory(dir.parent_path());
    return {};
}

bool is_blob_name(std::string_view prefix, std::string_view name) {
    return name.size() == 64 && name.substr(0, 2) == prefix && normalize_reference(name) == name;
}

bool is_fanout_name(std::string_view name) {
    auto hex = [](char ch) { return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'); };
    return name.size() == 2 && hex(name[0]) && hex(name[1]);
}

// Calls visit(path, name, is_blob, stat) for every stored blob and temporary file under root.
template <class Visit>
Result<void> walk_store(fs::path const& root, Visit&& visit) {
    std::error_code ec;
    fs::directory_iterator outer(root, ec);
    if (ec) {
        if (ec == std::errc::no_such_file_or_directory) return {};
        return std::unexpected(
            Error{ErrorCode::Io, "cannot list " + root.string() + ": " + ec.message()});
    }
    for (auto const& fanout : outer) {
        std::string prefix = fanout.path().filename().string();
        if (!is_fanout_name(prefix)) continue;
        fs::directory_iterator inner(fanout.path(), ec);
        if (ec) continue;
        for (auto const& entry : inner) {
            std::string name = entry.path().filename().string();
            bool blob = is_blob_name(prefix, name);
            if (!blob && !name.starts_with(temp_prefix)) continue;
            struct stat info {};
            if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
            visit(entry.path(), name, blob, info);
        }
    }
    return {};
}

std::mutex global_mutex;
std::shared_ptr<BlobStore> global_store;

}  // namespace

std::optional<std::string> normalize_reference(std::string_view reference) {
    if (reference.size() != 64) return std::nullopt;
    std::string normalized(reference);
    for (char& ch : normalized) {
        if (ch >= 'A' && ch <= 'F') ch = static_cast<char>(ch - 'A' + 'a');
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return std::nullopt;
    }
    return normalized;
}

std::string reference_of(std::span<uint8_t const> bytes) {
    sha256_ctx context;
    sha256_init(&context);
    // nettle takes size_t lengths, but feed it in slices to keep each call modest.
    constexpr size_t slice = size_t(1) << 24;
    for (size_t at = 0; at < bytes.size(); at += slice)
        sha256_update(&context, std::min(slice, bytes.size() - at), bytes.data() + at);
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    return to_hex(digest);
}

FsBlobStore::FsBlobStore(fs::path root, uint64_t max_blob_bytes, uint64_t max_total_bytes,
                         size_t max_cached_entries, size_t max_blobs)
    : m_root(std::move(root)),
      m_max_blob_bytes(max_blob_bytes),
      m_max_total_bytes(max_total_bytes),
      m_max_cached_entries(max_cached_entries),
      m_max_blobs(max_blobs) {}

fs::path FsBlobStore::default_root() {
    if (auto data = xdg_paths::data_dir()) return *data / "qdoc" / "blobs";
    std::string per_user = "qdoc-blobs-" + std::to_string(::geteuid());
    char const* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return fs::path(runtime) / per_user;
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    return (ec ? fs::path("/tmp") : temp) / per_user;
}

fs::path FsBlobStore::path_for(std::string const& normalized_reference) const {
    return m_root / normalized_reference.substr(0, 2) / normalized_reference;
}

Result<std::vector<uint8_t>> FsBlobStore::get(std::string_view reference) {
    auto normalized = normalize_reference(reference);
    if (!normalized) return std::unexpected(invalid_reference(reference));
    fs::path path = path_for(*normalized);
    auto missing = [&](std::string why) {
        return std::unexpected(Error{ErrorCode::NotFound, "blob " + *normalized + " " + why});
    };

    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        if (errno == ENOENT || errno == ENOTDIR) return missing("is not stored");
        return std::unexpected(io_error("cannot open", path));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return missing("is not a regular file");
    if (static_cast<uint64_t>(info.st_size) > m_max_blob_bytes)
        return std::unexpected(too_large(static_cast<uint64_t>(info.st_size), m_max_blob_bytes));
    if (auto cached = cache_lookup(*normalized); cached && cached->size() == uint64_t(info.st_size))
        return *cached;

    // Read at most one byte past the recorded size so a file growing underneath is noticed.
    std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size) + 1);
    size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t got = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(io_error("cannot read", path));
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    bytes.resize(filled);
    if (reference_of(bytes) != *normalized)
        return missing("failed verification (its bytes do not match)");
    // Big blobs are not cached: they are read once (an import's check, a file being opened),
    // and a cached copy would double what their reader holds in memory.
    if (bytes.size() <= m_max_blob_bytes / 8) {
        auto shared = std::make_shared<std::vector<uint8_t> const>(bytes);
        std::lock_guard lock(m_mutex);
        cache_insert(*normalized, std::move(shared));
    }
    return bytes;
}

Result<std::string> FsBlobStore::put(std::span<uint8_t const> bytes) {
    if (bytes.size() > m_max_blob_bytes)
        return std::unexpected(too_large(bytes.size(), m_max_blob_bytes));
    std::string reference = reference_of(bytes);
    std::lock_guard lock(m_mutex);
    return store_locked(bytes, reference);
}

Result<std::string> FsBlobStore::put_checked(std::span<uint8_t const> bytes,
                                             std::string_view expected_reference) {
    auto expected = normalize_reference(expected_reference);
    if (!expected) return std::unexpected(invalid_reference(expected_reference));
    if (bytes.size() > m_max_blob_bytes)
        return std::unexpected(too_large(bytes.size(), m_max_blob_bytes));
    std::string reference = reference_of(bytes);
    if (reference != *expected)
        return std::unexpected(
            Error{ErrorCode::Mismatch, "bytes hash to " + reference + ", not " + *expected});
    std::lock_guard lock(m_mutex);
    return store_locked(bytes, reference);
}

Result<std::string> FsBlobStore::store_locked(std::span<uint8_t const> bytes,
                                              std::string const& reference) {
    if (auto usage = ensure_usage_locked(); !usage) return std::unexpected(usage.error());
    fs::path path = path_for(reference);

    // A file already there is reused when it verifies and replaced when it does not, so
    // putting the right bytes again repairs a damaged blob.
    struct stat existing {};
    bool present = ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    if (present && verified_size(reference) == bytes.size()) return reference;
    uint64_t replaced_bytes = present ? static_cast<uint64_t>(existing.st_size) : 0;

    Usage& usage = *m_usage;
    if (!present && usage.blobs + 1 > m_max_blobs)
        return std::unexpected(
            Error{ErrorCode::StoreFull,
                  "blob store holds its limit of " + std::to_string(m_max_blobs) + " blobs"});
    uint64_t after = usage.bytes - std::min(usage.bytes, replaced_bytes) + bytes.size();
    if (after > m_max_total_bytes)
        return std::unexpected(Error{ErrorCode::StoreFull,
                                     "blob store is full: " + std::to_string(usage.bytes) + " of " +
                                         std::to_string(m_max_total_bytes) + " bytes used, " +
                                         std::to_string(bytes.size()) + " more requested"});

    if (auto root = prepare_directory(m_root); !root) return std::unexpected(root.error());
    fs::path dir = path.parent_path();
    if (auto fanout = prepare_directory(dir); !fanout) return std::unexpected(fanout.error());

    fs::path temp = dir / random_temp_name();
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) return std::unexpected(io_error("cannot create", temp));
    auto fail = [&](std::string_view what, fs::path const& where) {
        int err = errno;
        ::unlink(temp.c_str());
        return std::unexpected(io_error(what, where, err));
    };
    if (!write_all(fd.get(), bytes)) return fail("cannot write", temp);
    if (::fsync(fd.get()) != 0) return fail("cannot sync", temp);
    if (fd.release_and_close() != 0) return fail("cannot close", temp);
    // Another writer may have renamed identical bytes into place meanwhile; replacing them
    // with the same bytes is harmless and rename keeps the name pointing at a whole file.
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot rename onto", path);
    sync_directory(dir);

    usage.bytes = after;
    if (!present) ++usage.blobs;
    cache_erase_locked(reference);
    return reference;
}

Result<EvictStats> FsBlobStore::evict_unreferenced(std::span<std::string const> referenced) {
    std::unordered_set<std::string> keep;
    for (auto const& reference : referenced)
        if (auto normalized = normalize_reference(reference)) keep.insert(std::move(*normalized));

    std::lock_guard lock(m_mutex);
    EvictStats stats;
    Usage remaining;
    auto now = fs::file_time_type::clock::now();
    std::vector<fs::path> touched_dirs;
    auto walked = walk_store(m_root, [&](fs::path const& path, std::string const& name, bool blob,
                                         struct stat const& info) {
        uint64_t size = static_cast<uint64_t>(info.st_size);
        if (!blob) {
            std::error_code ec;
            auto written = fs::last_write_time(path, ec);
            if (!ec && now - written > stale_temp_age) ::unlink(path.c_str());
            return;
        }
        if (keep.contains(name)) {
            remaining.bytes += size;
            ++remaining.blobs;
            return;
        }
        if (::unlink(path.c_str()) != 0) {
            remaining.bytes += size;
            ++remaining.blobs;
            return;
        }
        cache_erase_locked(name);
        ++stats.removed_blobs;
        stats.freed_bytes += size;
        touched_dirs.push_back(path.parent_path());
    });
    if (!walked) return std::unexpected(walked.error());
    for (auto const& dir : touched_dirs) sync_directory(dir);
    m_usage = remaining;
    return stats;
}

bool FsBlobStore::has(std::string_view reference) {
    auto normalized = normalize_reference(reference);
    if (!normalized) return false;
    struct stat info {};
    fs::path path = path_for(*normalized);
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           static_cast<uint64_t>(info.st_size) <= m_max_blob_bytes;
}

Result<void> FsBlobStore::ensure_usage_locked() {
    if (m_usage) return {};
    auto scanned = scan_usage();
    if (!scanned) return std::unexpected(scanned.error());
    m_usage = *scanned;
    return {};
}

Result<FsBlobStore::Usage> FsBlobStore::scan_usage() const {
    Usage usage;
    auto walked = walk_store(
        m_root, [&](fs::path const&, std::string const&, bool blob, struct stat const& info) {
            if (!blob) return;
            usage.bytes += static_cast<uint64_t>(info.st_size);
            ++usage.blobs;
        });
    if (!walked) return std::unexpected(walked.error());
    return usage;
}

std::optional<uint64_t> FsBlobStore::verified_size(std::string const& reference) const {
    fs::path path = path_for(reference);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (static_cast<uint64_t>(info.st_size) > m_max_blob_bytes) return std::nullopt;
    // Hash in pieces: verifying needs no copy of the whole blob in memory.
    sha256_ctx context;
    sha256_init(&context);
    std::vector<uint8_t> buffer(1 << 16);
    uint64_t total = 0;
    while (true) {
        ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        total += static_cast<uint64_t>(got);
        if (total > m_max_blob_bytes) return std::nullopt;
        sha256_update(&context, static_cast<size_t>(got), buffer.data());
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    if (to_hex(digest) != reference) return std::nullopt;
    return total;
}

std::shared_ptr<std::vector<uint8_t> const> FsBlobStore::cache_lookup(
    std::string const& reference) {
    std::lock_guard lock(m_mutex);
    auto found = m_cache.find(reference);
    if (found == m_cache.end()) return nullptr;
    m_recency.splice(m_recency.begin(), m_recency, found->second.recency);
    return found->second.bytes;
}

void FsBlobStore::cache_insert(std::string const& reference,
                               std::shared_ptr<std::vector<uint8_t> const> bytes) {
    if (m_max_cached_entries == 0 || bytes->size() > m_max_blob_bytes) return;
    cache_erase_locked(reference);
    while (!m_recency.empty() && (m_cache.size() >= m_max_cached_entries ||
                                  m_cached_bytes + bytes->size() > m_max_blob_bytes))
        cache_erase_locked(m_recency.back());
    m_recency.push_front(reference);
    m_cached_bytes += bytes->size();
    m_cache.emplace(reference, CacheEntry{std::move(bytes), m_recency.begin()});
}

void FsBlobStore::cache_erase_locked(std::string const& reference) {
    auto found = m_cache.find(reference);
    if (found == m_cache.end()) return;
    m_cached_bytes -= found->second.bytes->size();
    m_recency.erase(found->second.recency);
    m_cache.erase(found);
}

void set_store(std::shared_ptr<BlobStore> store) {
    std::lock_guard lock(global_mutex);
    global_store = std::move(store);
}

std::shared_ptr<BlobStore> store() {
    std::lock_guard lock(global_mutex);
    return global_store;
}

}  // namespace qdoc::blobstore
