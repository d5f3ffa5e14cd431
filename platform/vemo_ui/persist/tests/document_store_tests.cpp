#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>

#include "store_test_support.hpp"

namespace {

using namespace persist_test;
using automerge::AutoCommit;
using automerge::ObjId;
using Outcome = vemo_ui::persist::LoadReport::Outcome;

// A file as the store writes it: a compacted document with "base" = 1, then one appended
// change chunk per tail key "t0", "t1", ... (each depending on the one before).
struct SampleFile {
    Bytes bytes;
    std::vector<size_t> chunk_starts;  // of the tail chunks
    std::vector<Bytes> chunks;

    explicit SampleFile(size_t tail_changes) {
        AutoCommit doc;
        (void)doc.put(ObjId::root(), "base", int64_t{1});
        doc.commit();
        bytes = doc.save();
        for (size_t i = 0; i < tail_changes; ++i) {
            (void)doc.put(ObjId::root(), "t" + std::to_string(i), static_cast<int64_t>(i));
            (void)doc.put(ObjId::root(), "pad", std::string(40, static_cast<char>('a' + i)));
            doc.commit();
            auto chunk = doc.save_incremental();
            chunk_starts.push_back(bytes.size());
            chunks.push_back(chunk);
            bytes.insert(bytes.end(), chunk.begin(), chunk.end());
        }
    }
};

// A full disk, simulated with the file size limit: writes past a few bytes beyond the file's
// present size fail until the limit is lifted again (at destruction).
class FullDisk {
  public:
    explicit FullDisk(fs::path const& file) {
        if (::getrlimit(RLIMIT_FSIZE, &m_saved) != 0) return;
        m_previous_handler = ::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = m_saved;
        tight.rlim_cur = fs::file_size(file) + 16;
        m_active = ::setrlimit(RLIMIT_FSIZE, &tight) == 0;
    }
    ~FullDisk() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        ::signal(SIGXFSZ, m_previous_handler);
    }
    FullDisk(FullDisk const&) = delete;
    FullDisk& operator=(FullDisk const&) = delete;
    bool active() const { return m_active; }

  private:
    rlimit m_saved{};
    void (*m_previous_handler)(int) = SIG_DFL;
    bool m_active = false;
};

class DocumentStoreTest : public testing::Test {
  protected:
    TempDir dir;
    fs::path path = dir.path() / "nested" / "folder" / "document.automerge";
};

TEST_F(DocumentStoreTest, CreatesThenKeepsEveryCommittedChange) {
    {
        auto store = open_at(path);
        ASSERT_TRUE(store);
        EXPECT_EQ(store->load_report().outcome, Outcome::Created);
        EXPECT_TRUE(fs::exists(path));
        for (int64_t i = 0; i < 5; ++i) {
            ASSERT_TRUE(store->document().put(ObjId::root(), "k" + std::to_string(i), i));
            store->commit_frame();
        }
        EXPECT_EQ(store->committed_generation(), 5u);
        ASSERT_TRUE(store->flush());
        EXPECT_EQ(store->durable_generation(), 5u);
        // What flush reported durable is in the file itself, without the store's help.
        auto on_disk = AutoCommit::load(read_bytes(path));
        ASSERT_TRUE(on_disk);
        EXPECT_EQ(get_int(*on_disk, "k4"), 4);
        // Left uncommitted on purpose: closing must commit and write it too.
        ASSERT_TRUE(store->document().put(ObjId::root(), "last", int64_t{9}));
    }
    auto store = open_at(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->load_report().outcome, Outcome::Loaded);
    EXPECT_EQ(get_int(store->document(), "k0"), 0);
    EXPECT_EQ(get_int(store->document(), "k4"), 4);
    EXPECT_EQ(get_int(store->document(), "last"), 9);
    EXPECT_FALSE(store->status());
    // A reopened document appends only new changes, not its whole history again.
    auto size_before = fs::file_size(path);
    store->commit_frame();
    ASSERT_TRUE(store->flush());
    EXPECT_EQ(fs::file_size(path), size_before);
}

// A full disk, simulated with the file size limit: the failure is reported, not swallowed,
// and the changes are written once there is room again.
TEST_F(DocumentStoreTest, FailedWritesAreReportedAndRetried) {
    auto store = open_at(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->flush());
    auto full = std::make_optional<FullDisk>(path);
    ASSERT_TRUE(full->active());

    ASSERT_TRUE(store->document().put(ObjId::root(), "big", std::string(4096, 'b')));
    auto failed = store->flush();
    full.reset();
    EXPECT_FALSE(failed);
    ASSERT_TRUE(store->status());
    EXPECT_NE(store->status()->find("not being saved"), std::string::npos) << *store->status();

    // A write that was already under way while the limit was tight may still report its
    // failure to the next flush; the one after it has room.
    bool written = false;
    for (int attempt = 0; attempt < 5 && !written; ++attempt) written = store->flush().has_value();
    EXPECT_TRUE(written);
    EXPECT_FALSE(store->status());
    store.reset();
    auto again = open_at(path);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->load_report().outcome, Outcome::Loaded);
    EXPECT_TRUE(again->document().get(ObjId::root(), "big").value());
}

// What a caller is told after wait_written() is in the file already: a process killed at
// that moment (before any sync) loses none of it.
TEST_F(DocumentStoreTest, WaitWrittenLeavesEveryChangeInTheFile) {
    auto store = open_at(path);
    ASSERT_TRUE(store);
    for (int64_t i = 0; i < 40; ++i) {
        ASSERT_TRUE(store->document().put(ObjId::root(), "k" + std::to_string(i), i));
        store->commit_frame();
        ASSERT_TRUE(store->wait_written());
        auto on_disk = AutoCommit::load(read_bytes(path));
        ASSERT_TRUE(on_disk);
        ASSERT_EQ(get_int(*on_disk, "k" + std::to_string(i)), i) << "change " << i;
    }
    EXPECT_FALSE(store->save_failure());
}

// While writes fail, waiting reports the failure at once instead of hanging or claiming
// success; the change stays queued and lands once there is room.
TEST_F(DocumentStoreTest, WaitWrittenReportsAFailingDiskUntilItRecovers) {
    auto store = open_at(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->flush());
    auto full = std::make_optional<FullDisk>(path);
    ASSERT_TRUE(full->active());
    ASSERT_TRUE(store->document().put(ObjId::root(), "big", std::string(4096, 'b')));
    auto first = store->wait_written();
    ASSERT_TRUE(store->document().put(ObjId::root(), "more", int64_t{2}));
    auto second = store->wait_written();
    auto failure = store->save_failure();
    full.reset();
    ASSERT_FALSE(first);
    ASSERT_FALSE(second);
    ASSERT_TRUE(failure);
    EXPECT_EQ(second.error(), *failure);

    EXPECT_TRUE(store->flush());
    EXPECT_FALSE(store->save_failure());
    store.reset();
    auto again = open_at(path);
    ASSERT_TRUE(again);
    EXPECT_EQ(get_int(again->document(), "more"), 2);
}

// A change chunk missing from the file: the changes after it cannot apply yet. They are
// counted for the status line, kept in the file, and apply once the missing one arrives.
TEST_F(DocumentStoreTest, ChangesWaitingForMissingHistoryAreCountedAndKept) {
    SampleFile sample(4);
    Bytes file(sample.bytes.begin(), sample.bytes.begin() + long(sample.chunk_starts[0]));
    for (size_t i = 1; i < sample.chunks.size(); ++i)
        file.insert(file.end(), sample.chunks[i].begin(), sample.chunks[i].end());
    fs::create_directories(path.parent_path());
    write_bytes(path, file);
    {
        auto store = open_at(path);
        ASSERT_TRUE(store);
        EXPECT_EQ(store->waiting_changes(), 3u);
        EXPECT_EQ(store->status(),
                  "3 changes are waiting for history this device does not have; they will "
                  "appear when a peer sends it");
        EXPECT_FALSE(get_int(store->document(), "t3"));
        ASSERT_TRUE(store->document().put(ObjId::root(), "local", int64_t{7}));
        ASSERT_TRUE(store->flush());
    }
    auto store = open_at(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->waiting_changes(), 3u) << "the waiting changes stay in the file";
    ASSERT_TRUE(store->document().load_incremental(sample.chunks[0]));
    EXPECT_EQ(store->waiting_changes(), 0u);
    EXPECT_FALSE(store->status());
    EXPECT_EQ(get_int(store->document(), "t3"), 3);
    EXPECT_EQ(get_int(store->document(), "local"), 7);
    EXPECT_EQ(vemo_ui::persist::waiting_changes_text(1),
              "1 change is waiting for history this device does not have; it will appear "
              "when a peer sends it");
}

TEST_F(DocumentStoreTest, SecondOpenOfTheSameFileIsRefusedWhileTheFirstIsOpen) {
    auto first = open_at(path);
    ASSERT_TRUE(first);
    auto second = vemo_ui::persist::open_migrating("org.example.PersistTest", {}, path);
    EXPECT_FALSE(second);
    first.reset();
    EXPECT_TRUE(open_at(path));
}

TEST_F(DocumentStoreTest, OpenUsesTheDataDirectoryAndRefusesIdsThatAreNotAFolderName) {
    vemo_ui::persist::StoreOptions options;
    options.base_dir = dir.path() / "data";
    auto store = vemo_ui::persist::open("org.example.App", options);
    ASSERT_TRUE(store) << store.error();
    EXPECT_EQ((*store)->path(), dir.path() / "data" / "org.example.App" / "document.automerge");

    ::setenv("XDG_DATA_HOME", (dir.path() / "xdg").c_str(), 1);
    auto from_env = vemo_ui::persist::open("org.example.Other", {});
    ::unsetenv("XDG_DATA_HOME");
    ASSERT_TRUE(from_env) << from_env.error();
    EXPECT_EQ((*from_env)->path(), dir.path() / "xdg" / "org.example.Other" / "document.automerge");

    for (std::string_view bad : {"", ".", "..", "a/b"})
        EXPECT_FALSE(vemo_ui::persist::open(bad, options)) << bad;
}

TEST_F(DocumentStoreTest, TruncationAnywhereInTheLastChunkKeepsEverythingBeforeIt) {
    SampleFile sample(3);
    fs::create_directories(path.parent_path());
    size_t last = sample.chunk_starts.back();
    for (size_t cut = last; cut < sample.bytes.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        for (auto const& f : fs::directory_iterator(path.parent_path())) fs::remove(f.path());
        write_bytes(
            path, Bytes(sample.bytes.begin(), sample.bytes.begin() + static_cast<ptrdiff_t>(cut)));

        auto store = open_at(path);
        ASSERT_TRUE(store);
        auto& doc = store->document();
        EXPECT_EQ(get_int(doc, "base"), 1);
        EXPECT_EQ(get_int(doc, "t1"), 1);
        EXPECT_EQ(get_int(doc, "t2"), std::nullopt);
        if (cut == last) {
            EXPECT_EQ(store->load_report().outcome, Outcome::Loaded);
            EXPECT_TRUE(siblings_tagged(path, "unreadable").empty());
            continue;
        }
        auto const& report = store->load_report();
        EXPECT_EQ(report.outcome, Outcome::Recovered);
        ASSERT_TRUE(report.set_aside);
        EXPECT_EQ(read_bytes(*report.set_aside),
                  Bytes(sample.bytes.begin() + static_cast<ptrdiff_t>(last),
                        sample.bytes.begin() + static_cast<ptrdiff_t>(cut)));
        ASSERT_TRUE(store->status());
        EXPECT_NE(store->status()->find(report.set_aside->string()), std::string::npos);

        // The file was made whole again: new changes append to it and everything reloads.
        // (Checked on a sample of cuts; each reopen costs several fsyncs.)
        if ((cut - last) % 8 != 1) continue;
        ASSERT_TRUE(doc.put(ObjId::root(), "after", int64_t{7}));
        store.reset();
        auto again = open_at(path);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->load_report().outcome, Outcome::Loaded);
        EXPECT_EQ(get_int(again->document(), "t1"), 1);
        EXPECT_EQ(get_int(again->document(), "after"), 7);
    }
}

struct Damage {
    std::string name;
    // Changes the file; returns the bytes the store should set aside.
    std::function<Bytes(SampleFile const&, Bytes&)> apply;
    bool later_changes_visible;
};

void PrintTo(Damage const& d, std::ostream* os) {
    *os << d.name;
}

class DamagedMiddleChunk : public DocumentStoreTest, public testing::WithParamInterface<Damage> {};

TEST_P(DamagedMiddleChunk, LoadsTheRestAndSetsTheDamageAside) {
    SampleFile sample(3);
    Bytes file = sample.bytes;
    Bytes expected_aside = GetParam().apply(sample, file);
    fs::create_directories(path.parent_path());
    write_bytes(path, file);

    {
        auto store = open_at(path);
        ASSERT_TRUE(store);
        auto const& report = store->load_report();
        EXPECT_EQ(report.outcome, Outcome::Recovered);
        ASSERT_TRUE(report.set_aside);
        EXPECT_EQ(read_bytes(*report.set_aside), expected_aside);
        EXPECT_EQ(get_int(store->document(), "t0"), 0);
        bool visible = GetParam().later_changes_visible;
        EXPECT_EQ(get_int(store->document(), "t2"),
                  visible ? std::optional<int64_t>(2) : std::nullopt);
    }
    // Changes that wait for the lost one are kept in the rewritten file: once a peer
    // supplies the missing change, they appear.
    auto store = open_at(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->load_report().outcome, Outcome::Loaded);
    ASSERT_TRUE(store->document().apply_change_bytes(sample.chunks[1]));
    EXPECT_EQ(get_int(store->document(), "t1"), 1);
    EXPECT_EQ(get_int(store->document(), "t2"), 2);
}

Bytes slice(Bytes const& b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<ptrdiff_t>(from), b.begin() + static_cast<ptrdiff_t>(to));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedMiddleChunk,
    testing::Values(Damage{"flipped_body_byte",
                           [](SampleFile const& s, Bytes& f) {
                               f[s.chunk_starts[2] - 3] ^= 0x55;
                               return slice(f, s.chunk_starts[1], s.chunk_starts[2]);
                           },
                           false},
                    Damage{"length_grown_past_the_end",
                           [](SampleFile const& s, Bytes& f) {
                               f[s.chunk_starts[1] + 9] |= 0x7f;
                               return slice(f, s.chunk_starts[1], s.chunk_starts[2]);
                           },
                           false},
                    Damage{"length_shrunk",
                           [](SampleFile const& s, Bytes& f) {
                               f[s.chunk_starts[1] + 9] = 3;
                               return slice(f, s.chunk_starts[1], s.chunk_starts[2]);
                           },
                           false},
                    Damage{"zeroed_header",
                           [](SampleFile const& s, Bytes& f) {
                               std::fill_n(f.begin() + static_cast<ptrdiff_t>(s.chunk_starts[1]),
                                           10, 0);
                               return slice(f, s.chunk_starts[1], s.chunk_starts[2]);
                           },
                           false},
                    Damage{"garbage_between_chunks",
                           [](SampleFile const& s, Bytes& f) {
                               Bytes garbage{0x85, 0x6f, 0x4a, 0x83, 1, 2, 3, 'x', 'y', 'z'};
                               f.insert(f.begin() + static_cast<ptrdiff_t>(s.chunk_starts[1]),
                                        garbage.begin(), garbage.end());
                               return garbage;
                           },
                           true}),
    [](auto const& info) { return info.param.name; });

struct Unreadable {
    std::string name;
    Bytes bytes;
};

void PrintTo(Unreadable const& u, std::ostream* os) {
    *os << u.name;
}

Bytes first_bytes_of_a_document(size_t n) {
    AutoCommit doc;
    (void)doc.put(ObjId::root(), "k", int64_t{1});
    auto saved = doc.save();
    saved.resize(std::min(n, saved.size()));
    return saved;
}

Bytes document_with_bad_checksum() {
    AutoCommit doc;
    (void)doc.put(ObjId::root(), "k", int64_t{1});
    auto saved = doc.save();
    saved[5] ^= 1;
    return saved;
}

class UnreadableFile : public DocumentStoreTest, public testing::WithParamInterface<Unreadable> {};

TEST_P(UnreadableFile, IsMovedAsideAndANewDocumentStarts) {
    fs::create_directories(path.parent_path());
    write_bytes(path, GetParam().bytes);
    {
        auto store = open_at(path);
        ASSERT_TRUE(store);
        auto const& report = store->load_report();
        EXPECT_EQ(report.outcome, Outcome::Unreadable);
        ASSERT_TRUE(report.set_aside);
        EXPECT_EQ(read_bytes(*report.set_aside), GetParam().bytes);
        ASSERT_TRUE(store->status());
        EXPECT_NE(store->status()->find(report.set_aside->string()), std::string::npos);
        EXPECT_TRUE(store->document().keys(ObjId::root()).empty());
        ASSERT_TRUE(store->document().put(ObjId::root(), "fresh", int64_t{1}));
    }
    auto store = open_at(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->load_report().outcome, Outcome::Loaded);
    EXPECT_EQ(get_int(store->document(), "fresh"), 1);
    EXPECT_EQ(siblings_tagged(path, "unreadable").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, UnreadableFile,
    testing::Values(Unreadable{"text", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'd', 'o', 'c'}},
                    Unreadable{"zeros", Bytes(4096, 0)},
                    Unreadable{"torn_first_chunk", first_bytes_of_a_document(20)},
                    Unreadable{"bad_checksum", document_with_bad_checksum()}),
    [](auto const& info) { return info.param.name; });

TEST_F(DocumentStoreTest, CompactionFoldsTheTailIntoOneDocumentChunk) {
    vemo_ui::persist::StoreOptions options;
    options.compact_floor = 2048;
    size_t appended = 0;
    {
        auto store = open_at(path, options);
        ASSERT_TRUE(store);
        for (int64_t i = 0; i < 100; ++i) {
            ASSERT_TRUE(store->document().put(ObjId::root(), "k" + std::to_string(i), i));
            ASSERT_TRUE(store->document().put(ObjId::root(), "pad", std::string(64, 'p')));
            store->commit_frame();
            store->tick(std::chrono::steady_clock::now());
        }
        ASSERT_TRUE(store->flush());
        appended = fs::file_size(path);
    }
    auto bytes = read_bytes(path);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(bytes[8], 0) << "the file starts with a document chunk";
    EXPECT_FALSE(fs::exists(path.string() + ".compacting"));
    auto store = open_at(path, options);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->load_report().outcome, Outcome::Loaded);
    for (int64_t i = 0; i < 100; ++i)
        EXPECT_EQ(get_int(store->document(), "k" + std::to_string(i)), i);
    (void)appended;
}

TEST_F(DocumentStoreTest, LeftoverCompactionCopyIsRemovedAndTheDocumentKept) {
    {
        auto store = open_at(path);
        ASSERT_TRUE(store->document().put(ObjId::root(), "kept", int64_t{3}));
    }
    auto original = read_bytes(path);
    write_bytes(path.string() + ".compacting", Bytes{0x85, 0x6f, 0x4a, 0x83, 0, 0});
    auto store = open_at(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->load_report().outcome, Outcome::Loaded);
    EXPECT_EQ(get_int(store->document(), "kept"), 3);
    EXPECT_FALSE(fs::exists(path.string() + ".compacting"));
    EXPECT_EQ(read_bytes(path), original);
}

}  // namespace

// A device adopting a shared document keeps its old file whole, and what it receives next is
// saved like any other change.
TEST_F(DocumentStoreTest, SetAsideKeepsTheOldFileAndStartsEmpty) {
    auto store = open_at(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->document().put(ObjId::root(), "mine", int64_t{1}));
    auto aside = store->set_aside_and_start_empty("before-join");
    ASSERT_TRUE(aside) << aside.error();
    EXPECT_EQ(siblings_tagged(path, "before-join"), std::vector<fs::path>{*aside});
    auto old = AutoCommit::load(read_bytes(*aside));
    ASSERT_TRUE(old);
    EXPECT_EQ(get_int(*old, "mine"), 1);
    EXPECT_TRUE(store->document().get_heads().empty());

    AutoCommit peer;
    ASSERT_TRUE(peer.put(ObjId::root(), "theirs", int64_t{2}));
    peer.commit();
    ASSERT_TRUE(store->document().merge(peer));
    // Waiting for the new file's writes ends (it once waited for generations of the old one).
    store->commit_frame();
    ASSERT_TRUE(store->wait_written());
    ASSERT_TRUE(store->flush());
    store.reset();
    auto reopened = open_at(path);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(get_int(reopened->document(), "theirs"), 2);
    EXPECT_EQ(get_int(reopened->document(), "mine"), std::nullopt);
    // A second adoption never overwrites the first file set aside.
    auto second = reopened->set_aside_and_start_empty("before-join");
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *aside);
    EXPECT_EQ(siblings_tagged(path, "before-join").size(), 2u);
}

// A file kept beside the document (a peer's sync state) never describes content that a crash
// could still take back: while the document cannot be written it waits, and once it is, only
// the latest request for each path lands.
TEST_F(DocumentStoreTest, FilesBesideWaitForTheDocumentAndKeepOnlyTheLatest) {
    auto store = open_at(path);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->flush());
    auto beside = path.parent_path() / "state" / "peer";
    auto other = path.parent_path() / "state" / "other";
    auto full = std::make_optional<FullDisk>(path);
    ASSERT_TRUE(full->active());

    ASSERT_TRUE(store->document().put(ObjId::root(), "big", std::string(4096, 'b')));
    store->write_beside(beside, Bytes{'o', 'n', 'e'});
    store->write_beside(beside, Bytes{'t', 'w', 'o'});
    EXPECT_FALSE(store->flush());
    EXPECT_FALSE(fs::exists(beside));

    full.reset();
    bool written = false;
    for (int attempt = 0; attempt < 5 && !written; ++attempt) written = store->flush().has_value();
    ASSERT_TRUE(written);
    // Nothing new in the document: this one may go as soon as the writer gets to it.
    store->write_beside(other, Bytes{'x'});
    store.reset();
    EXPECT_EQ(read_bytes(beside), (Bytes{'t', 'w', 'o'}));
    EXPECT_EQ(read_bytes(other), (Bytes{'x'}));
    EXPECT_FALSE(fs::exists(beside.string() + ".tmp"));
    auto reopened = open_at(path);
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(reopened->document().get(ObjId::root(), "big").value());
}
