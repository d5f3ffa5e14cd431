#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "qdoc/blobstore.hpp"

namespace {

namespace fs = std::filesystem;
using namespace qdoc::blobstore;

std::vector<uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245 + 12345;
        bytes[i] = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

std::string upper(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

class BlobStoreTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "blobs-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        m_root = fs::path(templ) / "store";
    }
    void TearDown() override { fs::remove_all(m_root.parent_path()); }

    FsBlobStore make(uint64_t max_blob = default_max_blob_bytes,
                     uint64_t max_total = default_max_total_bytes,
                     size_t max_cached = default_max_cached_entries,
                     size_t max_blobs = default_max_blobs) {
        return FsBlobStore(m_root, max_blob, max_total, max_cached, max_blobs);
    }
    // Every file in the store, blobs and leftovers alike, by name.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        if (!fs::exists(m_root)) return names;
        for (auto const& entry : fs::recursive_directory_iterator(m_root))
            if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    void overwrite(std::string const& reference, std::string_view text) {
        std::ofstream(m_root / reference.substr(0, 2) / reference,
                      std::ios::binary | std::ios::trunc)
            << text;
    }

    fs::path m_root;
};

TEST(Reference, IsSha256InLowerCaseHex) {
    EXPECT_EQ(reference_of({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(reference_of(bytes_of("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Reference, NormalizesCaseAndRejectsEverythingElse) {
    std::string const lower(64, 'a');
    EXPECT_EQ(normalize_reference(std::string(64, 'A')), lower);
    for (std::string bad :
         {std::string(), std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g",
          std::string(63, 'a') + " ", "../" + std::string(61, 'a')})
        EXPECT_FALSE(normalize_reference(bad)) << bad;
}

TEST_F(BlobStoreTest, RoundTripsBlobsOfEverySize) {
    auto store = make();
    for (size_t size : {size_t(0), size_t(1), size_t(65536 + 3), size_t(1) << 20}) {
        auto bytes = pattern(size, static_cast<uint32_t>(size));
        auto reference = store.put(bytes);
        ASSERT_TRUE(reference) << reference.error().message;
        EXPECT_EQ(*reference, reference_of(bytes));
        EXPECT_TRUE(store.has(*reference));
        EXPECT_TRUE(store.has(upper(*reference)));
        EXPECT_EQ(store.get(upper(*reference)), bytes);
        EXPECT_EQ(store.put(bytes), reference) << "storing twice yields the same reference";
        EXPECT_EQ(make().get(*reference), bytes) << "a second store on the same root reads it";
    }
    EXPECT_EQ(files().size(), 4u) << "each blob is stored once and no temporary file remains";
}

TEST_F(BlobStoreTest, MissingAndInvalidReferencesAreErrors) {
    auto store = make();
    EXPECT_EQ(store.get(std::string(64, 'a')).error().code, ErrorCode::NotFound);
    EXPECT_EQ(store.get("../../etc/passwd").error().code, ErrorCode::InvalidReference);
    EXPECT_FALSE(store.has("nonsense"));
    EXPECT_FALSE(store.has(std::string(64, 'b')));
}

TEST_F(BlobStoreTest, TamperedFileIsTreatedAsMissingUntilPutAgain) {
    auto bytes = bytes_of("the original attachment");
    auto reference = *make().put(bytes);
    for (std::string_view replacement : {"the 0riginal attachment", "shorter", ""}) {
        overwrite(reference, replacement);
        auto got = make().get(reference);
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().code, ErrorCode::NotFound);
    }
    EXPECT_EQ(make().put(bytes), reference);
    EXPECT_EQ(make().get(reference), bytes) << "putting the right bytes repairs the blob";
}

TEST_F(BlobStoreTest, PutCheckedStoresOnlyMatchingBytes) {
    auto store = make();
    auto bytes = bytes_of("received from a peer");
    auto mismatch = store.put_checked(bytes, reference_of(bytes_of("something else")));
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error().code, ErrorCode::Mismatch);
    EXPECT_EQ(store.put_checked(bytes, "xyz").error().code, ErrorCode::InvalidReference);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(store.put_checked(bytes, upper(reference_of(bytes))), reference_of(bytes));
    EXPECT_EQ(store.get(reference_of(bytes)), bytes);
}

TEST_F(BlobStoreTest, EnforcesEveryLimit) {
    // 10 bytes per blob, 25 bytes in total, 3 blobs.
    auto store = make(10, 25, 2, 3);
    auto too_large = store.put(pattern(11, 1));
    ASSERT_FALSE(too_large);
    EXPECT_EQ(too_large.error().code, ErrorCode::TooLarge);

    auto first = store.put(pattern(10, 1));
    ASSERT_TRUE(first);
    ASSERT_TRUE(store.put(pattern(10, 2)));
    auto over_total = store.put(pattern(10, 3));
    ASSERT_FALSE(over_total);
    EXPECT_EQ(over_total.error().code, ErrorCode::StoreFull);
    EXPECT_NE(over_total.error().message.find("25"), std::string::npos)
        << over_total.error().message;
    ASSERT_TRUE(store.put(pattern(5, 4)));
    EXPECT_TRUE(store.put(pattern(10, 1))) << "bytes already stored need no room";
    EXPECT_EQ(make(10, 100, 2, 3).put(pattern(1, 5)).error().code, ErrorCode::StoreFull)
        << "a fresh store counts what is on disk against the blob limit";

    auto stats = store.evict_unreferenced(std::vector<std::string>{*first});
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->removed_blobs, 2u);
    EXPECT_EQ(stats->freed_bytes, 15u);
    EXPECT_TRUE(store.put(pattern(10, 3)));

    // A file bigger than the per-blob limit is never read into memory.
    auto big = pattern(11, 9);
    auto big_reference = *make().put(big);
    EXPECT_EQ(store.get(big_reference).error().code, ErrorCode::TooLarge);
}

TEST_F(BlobStoreTest, EvictionKeepsReferencedBlobsAndForeignFiles) {
    auto store = make();
    auto kept = *store.put(bytes_of("kept"));
    auto dropped = *store.put(bytes_of("dropped"));
    ASSERT_TRUE(store.get(dropped));  // cached now; eviction must drop the cache entry too
    fs::path fanout = m_root / kept.substr(0, 2);
    std::ofstream(fanout / "notes.txt") << "not ours";
    std::ofstream(fanout / ".tmp-stale") << "partial";
    std::ofstream(fanout / ".tmp-fresh") << "being written";
    fs::last_write_time(fanout / ".tmp-stale",
                        fs::file_time_type::clock::now() - std::chrono::hours(2));

    std::vector<std::string> referenced{upper(kept), "not a reference"};
    auto stats = store.evict_unreferenced(referenced);
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->removed_blobs, 1u);
    EXPECT_EQ(stats->freed_bytes, 7u);
    EXPECT_EQ(store.get(kept), bytes_of("kept"));
    EXPECT_FALSE(store.has(dropped));
    EXPECT_EQ(store.get(dropped).error().code, ErrorCode::NotFound);
    EXPECT_TRUE(fs::exists(fanout / "notes.txt"));
    EXPECT_TRUE(fs::exists(fanout / ".tmp-fresh"));
    EXPECT_FALSE(fs::exists(fanout / ".tmp-stale"));
}

TEST_F(BlobStoreTest, FailedWriteLeavesNothingUnderTheReference) {
    auto bytes = pattern(256 * 1024, 7);
    std::string reference = reference_of(bytes);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The file size limit makes the write fail half way, like a full disk.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        auto result = make().put(bytes);
        _exit(!result && result.error().code == ErrorCode::Io ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the put must report the failure";
    EXPECT_TRUE(files().empty()) << "neither the blob nor its temporary file may remain";
    EXPECT_FALSE(make().has(reference));
}

TEST_F(BlobStoreTest, KilledWriterNeverLeavesAPartialBlob) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto store = make();
        for (uint32_t seed = 1;; ++seed) (void)store.put(pattern(512 << 10, seed));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    auto store = make();
    size_t blobs = 0;
    for (auto const& name : files()) {
        if (name.starts_with(".tmp-")) continue;
        ++blobs;
        EXPECT_TRUE(store.get(name)) << "a blob under its reference must always verify: " << name;
    }
    RecordProperty("blobs_written_before_kill", static_cast<int>(blobs));
}

TEST_F(BlobStoreTest, ConcurrentPutsOfTheSameBytesAreSafe) {
    auto bytes = pattern(300 * 1024, 42);
    std::string const expected = reference_of(bytes);
    // Two store objects on one root stand in for two processes.
    auto shared = make();
    auto other = make();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            FsBlobStore& store = t % 2 == 0 ? shared : other;
            for (int i = 0; i < 10; ++i) {
                auto reference = store.put(bytes);
                if (!reference || *reference != expected) ++failures;
                auto read = store.get(expected);
                if (read && *read != bytes) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(files(), std::vector<std::string>{expected});
    EXPECT_EQ(make().get(expected), bytes);
}

TEST_F(BlobStoreTest, ProcessWideStoreIsShared) {
    auto previous = store();
    auto installed =
        std::make_shared<FsBlobStore>(m_root, default_max_blob_bytes, default_max_total_bytes,
                                      default_max_cached_entries, default_max_blobs);
    set_store(installed);
    EXPECT_EQ(store(), installed);
    auto reference = store()->put(bytes_of("shared"));
    ASSERT_TRUE(reference);
    EXPECT_TRUE(installed->has(*reference));
    set_store(previous);
}

TEST(DefaultRoot, LivesUnderTheDataDirectoryOrAPerUserFallback) {
    auto saved = [](char const* name) -> std::optional<std::string> {
        char const* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    auto data = saved("XDG_DATA_HOME"), home = saved("HOME"), runtime = saved("XDG_RUNTIME_DIR");
    setenv("XDG_DATA_HOME", "/data/ann", 1);
    EXPECT_EQ(FsBlobStore::default_root(), fs::path("/data/ann/qdoc/blobs"));
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    EXPECT_EQ(FsBlobStore::default_root(),
              fs::path("/run/user/1000/qdoc-blobs-" + std::to_string(geteuid())));
    for (auto [name, value] :
         {std::pair{"XDG_DATA_HOME", data}, {"HOME", home}, {"XDG_RUNTIME_DIR", runtime}}) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
}

}  // namespace
