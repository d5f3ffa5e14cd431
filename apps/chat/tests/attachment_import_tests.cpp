// Importing files as attachments, against real files in a temporary directory and a real
// blob store on disk.
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "actions/attachment_jobs.hpp"
#include "vemo_ui/cairo_painter.hpp"

namespace fs = std::filesystem;
using namespace chat;
using qdoc::blobstore::FsBlobStore;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/chat-attach-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

void write_file(fs::path const& path, std::string const& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

void write_sized(fs::path const& path, uint64_t size) {
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; i += 4093) bytes[i] = char(i * 7);
    write_file(path, bytes);
}

void write_png(fs::path const& path, int w, int h) {
    fs::create_directories(path.parent_path());
    vemo_ui::ImageCanvas canvas(w, h);
    canvas.clear(vemo_ui::Color::rgb(0x3366cc));
    ASSERT_TRUE(canvas.write_png(path.string()));
}

std::string sha256_hex(std::vector<uint8_t> const& bytes) {
    gchar* sum = g_compute_checksum_for_data(G_CHECKSUM_SHA256, bytes.data(), bytes.size());
    std::string out(sum);
    g_free(sum);
    return out;
}

std::vector<uint8_t> read_all(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Hands back bytes other than those stored, as a damaged store would.
class CorruptingStore final : public qdoc::blobstore::BlobStore {
  public:
    explicit CorruptingStore(std::shared_ptr<BlobStore> inner) : m_inner(std::move(inner)) {}
    qdoc::blobstore::Result<std::vector<uint8_t>> get(std::string_view r) override {
        auto bytes = m_inner->get(r);
        if (bytes && !bytes->empty()) (*bytes)[0] ^= 1;
        return bytes;
    }
    qdoc::blobstore::Result<std::string> put(std::span<uint8_t const> b) override {
        return m_inner->put(b);
    }
    qdoc::blobstore::Result<std::string> put_checked(std::span<uint8_t const> b,
                                                     std::string_view r) override {
        return m_inner->put_checked(b, r);
    }
    qdoc::blobstore::Result<qdoc::blobstore::EvictStats> evict_unreferenced(
        std::span<std::string const> r) override {
        return m_inner->evict_unreferenced(r);
    }
    bool has(std::string_view r) override { return m_inner->has(r); }

  private:
    std::shared_ptr<BlobStore> m_inner;
};

class AttachmentImport : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path files = dir.path / "files";
    std::shared_ptr<FsBlobStore> store = make_store(uint64_t(256) << 20);

    std::shared_ptr<FsBlobStore> make_store(uint64_t total) {
        return std::make_shared<FsBlobStore>(dir.path / ("blobs-" + std::to_string(total)),
                                             0x2000000, total, 64, 1024);
    }
};

struct FailureCase {
    std::string label;
    std::function<fs::path(fs::path const&)> make;
    std::string error;
};

TEST_F(AttachmentImport, EachFailureHasItsReason) {
    std::vector<FailureCase> cases = {
        {"missing", [](fs::path const& d) { return d / "nothing-here"; }, "file is unavailable"},
        {"empty",
         [](fs::path const& d) {
             write_file(d / "empty.txt", "");
             return d / "empty.txt";
         },
         "file is empty"},
        {"directory",
         [](fs::path const& d) {
             fs::create_directories(d / "folder");
             return d / "folder";
         },
         "file is not shareable or exceeds 32 MiB"},
        {"one byte over 32 MiB",
         [](fs::path const& d) {
             write_sized(d / "big.bin", max_attachment_file_bytes + 1);
             return d / "big.bin";
         },
         "file is not shareable or exceeds 32 MiB"},
        {"named pipe",
         [](fs::path const& d) {
             fs::create_directories(d);
             mkfifo((d / "pipe").c_str(), 0600);
             return d / "pipe";
         },
         "file is not shareable or exceeds 32 MiB"},
        // Readable by nobody, root included: its metadata is there, its bytes are not.
        {"unreadable", [](fs::path const&) { return fs::path("/proc/self/mem"); },
         "could not read file"},
    };
    for (auto const& c : cases) {
        auto result = import_attachment_file(c.make(files), store.get());
        ASSERT_FALSE(result) << c.label;
        EXPECT_EQ(result.error(), c.error) << c.label;
    }
}

TEST_F(AttachmentImport, StoreRefusalsAndVerification) {
    write_sized(files / "report.pdf", 4096);
    auto full = make_store(1000);
    auto refused = import_attachment_file(files / "report.pdf", full.get());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "shared content store refused the attachment");
    EXPECT_EQ(import_attachment_file(files / "report.pdf", nullptr).error(),
              "shared content store refused the attachment");

    CorruptingStore corrupting(store);
    auto unverified = import_attachment_file(files / "report.pdf", &corrupting);
    ASSERT_FALSE(unverified);
    EXPECT_EQ(unverified.error(), "shared byte verification failed");
}

TEST_F(AttachmentImport, ExactlyThirtyTwoMebibytesIsImportedUnderItsHash) {
    write_sized(files / "exact.bin", max_attachment_file_bytes);
    auto file = import_attachment_file(files / "exact.bin", store.get());
    ASSERT_TRUE(file) << file.error();
    EXPECT_EQ(file->size, max_attachment_file_bytes);
    EXPECT_EQ(file->blob, sha256_hex(read_all(files / "exact.bin")));
    auto stored = store->get(file->blob);
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, read_all(files / "exact.bin"));
    EXPECT_EQ(attachment_for(*file),
              Attachment(FileAttachment{"exact.bin", file->blob, max_attachment_file_bytes}));
}

struct KindCase {
    std::string name;
    bool png;
    Attachment (*expected)(ImportedFile const&);
};

TEST_F(AttachmentImport, KindFollowsExtensionThenContent) {
    std::vector<KindCase> cases = {
        {"clip.MKV", false,
         [](ImportedFile const& f) -> Attachment {
             return VideoAttachment{"clip.MKV", f.blob, 0, 0, f.size};
         }},
        // A picture named as a video is still a video.
        {"poster.webm", true,
         [](ImportedFile const& f) -> Attachment {
             return VideoAttachment{"poster.webm", f.blob, 0, 0, f.size};
         }},
        {"notes.mkv.txt", false,
         [](ImportedFile const& f) -> Attachment {
             return FileAttachment{"notes.mkv.txt", f.blob, f.size};
         }},
        {"screenshot", true,
         [](ImportedFile const& f) -> Attachment {
             return ImageAttachment{"screenshot", f.blob, 7, 5};
         }},
        {"photo.jpg", false,
         [](ImportedFile const& f) -> Attachment {
             return FileAttachment{"photo.jpg", f.blob, f.size};
         }},
    };
    for (auto const& c : cases) {
        if (c.png)
            write_png(files / c.name, 7, 5);
        else
            write_file(files / c.name, "plain bytes of " + c.name);
        auto file = import_attachment_file(files / c.name, store.get());
        ASSERT_TRUE(file) << c.name << ": " << file.error();
        EXPECT_EQ(attachment_for(*file), c.expected(*file)) << c.name;
    }
}

TEST_F(AttachmentImport, OversizedPictureGoesOutAsFile) {
    ImportedFile file{"wide.png", std::string(64, 'a'), 100,
                      qdoc::blobstore::ImageInfo{{}, 20000, 10}, false};
    EXPECT_EQ(attachment_for(file), Attachment(FileAttachment{"wide.png", file.blob, 100}));
}

TEST_F(AttachmentImport, FileWhoseSizeIsNotWhatItsMetadataSays) {
    // Files under /proc report a size of 0 and yet have content: what is read counts.
    auto file = import_attachment_file("/proc/self/status", store.get());
    ASSERT_TRUE(file) << file.error();
    EXPECT_GT(file->size, 0u);
    EXPECT_EQ(file->name, "status");
}

TEST(ReadCapped, StopsOneBytePastTheLimit) {
    // The reader stops early on purpose; the writer then meets a closed pipe.
    std::signal(SIGPIPE, SIG_IGN);
    for (size_t written : {size_t(0), size_t(999), size_t(1000), size_t(1001), size_t(70000)}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::thread writer([&] {
            std::string data(written, 'x');
            size_t at = 0;
            while (at < data.size()) {
                ssize_t n = write(fds[1], data.data() + at, data.size() - at);
                if (n <= 0) break;
                at += size_t(n);
            }
            close(fds[1]);
        });
        // The claimed size is wrong on purpose: a file that grew after it was inspected.
        auto bytes = read_capped(fds[0], 10, 1000);
        close(fds[0]);
        writer.join();
        if (written > 1000) {
            ASSERT_FALSE(bytes) << written;
            EXPECT_EQ(bytes.error(), ReadFailure::TooLarge);
        } else {
            ASSERT_TRUE(bytes) << written;
            EXPECT_EQ(bytes->size(), written);
        }
    }
}

TEST(AttachmentDirectory, EnvironmentOrDefault) {
    ::unsetenv("VEMO_CHAT_ATTACH_DIR");
    EXPECT_EQ(attachment_directory(), fs::path("/var/workspace"));
    ::setenv("VEMO_CHAT_ATTACH_DIR", "relative/dir/", 1);
    EXPECT_EQ(attachment_directory(), fs::path("relative/dir/"));
    ::unsetenv("VEMO_CHAT_ATTACH_DIR");
}

TEST(ExtensionClass, LastDotCaseInsensitive) {
    struct Case {
        std::string_view name;
        ExtensionClass kind;
    };
    for (auto [name, kind] : std::vector<Case>{{"a.PNG", ExtensionClass::Image},
                                               {"a.tar.JpEg", ExtensionClass::Image},
                                               {"a.Ogv", ExtensionClass::Video},
                                               {"a.mkv.txt", ExtensionClass::Other},
                                               {"png", ExtensionClass::Other},
                                               {"a.", ExtensionClass::Other},
                                               {".mp4", ExtensionClass::Video}})
        EXPECT_EQ(extension_class(name), kind) << name;
}

TEST_F(AttachmentImport, ListingWalksCollectsSortsAndKeeps) {
    for (int i = 0; i < 500; ++i)
        write_file(
            files / ("d" + std::to_string(i % 7)) / ("f" + std::to_string(1000 + i) + ".txt"), "x");
    auto entries = list_attachments(files);
    ASSERT_TRUE(entries) << entries.error();
    ASSERT_EQ(entries->size(), picker_keep_limit);
    EXPECT_TRUE(std::ranges::is_sorted(*entries, {}, &PickerEntry::path));
    for (auto const& e : *entries) EXPECT_EQ(e.size, std::optional<uint64_t>(1)) << e.path;
}

TEST_F(AttachmentImport, ListingDescribesEachFile) {
    write_png(files / "pics" / "big.png", 400, 200);
    write_file(files / "movie.MOV", "not really a movie");
    write_file(files / std::string("bad-\xff-name.txt"), "x");
    auto entries = list_attachments(files, 96);
    ASSERT_TRUE(entries) << entries.error();
    ASSERT_EQ(entries->size(), 3u);
    auto const& bad = (*entries)[0];
    EXPECT_EQ(bad.name, "bad-\xef\xbf\xbd-name.txt");
    auto const& movie = (*entries)[1];
    EXPECT_TRUE(movie.video);
    EXPECT_FALSE(movie.thumbnail);
    auto const& picture = (*entries)[2];
    EXPECT_EQ(picture.name, "big.png");
    ASSERT_TRUE(picture.thumbnail);
    EXPECT_EQ(picture.thumbnail->width, 96);
    EXPECT_EQ(picture.thumbnail->height, 48);
}

// Polls as the frame cycle does, until the job delivers.
template <class Poll>
auto poll_until_done(Poll poll) {
    for (;;) {
        if (auto done = poll()) return *done;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

TEST_F(AttachmentImport, PickerStatesAndTexts) {
    AttachmentJobs jobs([this] { return std::shared_ptr<qdoc::blobstore::BlobStore>(store); });
    auto started = jobs.open_picker(files / "missing");
    EXPECT_TRUE(started.started);
    EXPECT_EQ(started.status, "Loading attachments…");
    auto again = jobs.open_picker(files);
    EXPECT_FALSE(again.started) << "one listing at a time";
    EXPECT_EQ(again.status, "Loading attachments…");
    auto failed = poll_until_done([&] { return jobs.poll_listing(); });
    EXPECT_TRUE(failed.status.starts_with("Attachment picker failed: ")) << failed.status;

    fs::create_directories(files / "empty");
    ASSERT_TRUE(jobs.open_picker(files / "empty").started);
    EXPECT_EQ(poll_until_done([&] { return jobs.poll_listing(); }).status,
              "No attachments in " + (files / "empty").string());

    write_file(files / "a.txt", "a");
    ASSERT_TRUE(jobs.open_picker(files).started);
    auto listed = poll_until_done([&] { return jobs.poll_listing(); });
    EXPECT_EQ(listed.status, "");
    ASSERT_EQ(listed.entries.size(), 1u);
    EXPECT_EQ(listed.entries[0].name, "a.txt");

    AttachmentJobs exhausted({}, UINT64_MAX, UINT64_MAX);
    EXPECT_EQ(exhausted.open_picker(files).status,
              "Attachment picker unavailable: request counter exhausted");
    EXPECT_EQ(exhausted.start_import("c", "u", files / "a.txt"),
              AttachmentJobs::ImportStart::Exhausted);
}

TEST_F(AttachmentImport, OneImportAtATimeEndingInAMessage) {
    write_png(files / "shot", 7, 5);
    AttachmentJobs jobs([this] { return std::shared_ptr<qdoc::blobstore::BlobStore>(store); });
    ASSERT_EQ(jobs.start_import("c_crit", "u_me", files / "shot", "m_root"),
              AttachmentJobs::ImportStart::Accepted);
    EXPECT_EQ(jobs.start_import("c_crit", "u_me", files / "shot"),
              AttachmentJobs::ImportStart::Busy);
    auto done = poll_until_done([&] { return jobs.poll_import(); });
    EXPECT_FALSE(jobs.pending_import());
    EXPECT_EQ(done.request.number, 1u);

    auto refused = conclude_import(done, false, "m_1", 5);
    EXPECT_FALSE(refused.message);
    EXPECT_EQ(refused.status, "Attachment import cancelled: permission changed");

    auto sent = conclude_import(done, true, "m_1", 1782477600);
    ASSERT_TRUE(sent.message);
    EXPECT_EQ(sent.status, "Attachment shared");
    EXPECT_EQ(*sent.message, (action::SendMessage{"c_crit",
                                                  "m_1",
                                                  "u_me",
                                                  1782477600,
                                                  "",
                                                  "m_root",
                                                  ImageAttachment{"shot", done.outcome->blob, 7, 5},
                                                  {},
                                                  {}}));

    ASSERT_EQ(jobs.start_import("c_crit", "u_me", files / "gone"),
              AttachmentJobs::ImportStart::Accepted);
    auto failed = poll_until_done([&] { return jobs.poll_import(); });
    EXPECT_EQ(failed.request.number, 2u);
    EXPECT_EQ(conclude_import(failed, true, "m_2", 5).status,
              "Attachment import failed: file is unavailable");
}

TEST(ImportConclusion, NameTheDocumentWouldRefuseIsNotClaimedShared) {
    AttachmentJobs::ImportDone done{
        {"c", "u", 1, {}},
        ImportedFile{std::string(300, 'n'), std::string(64, 'a'), 10, {}, false}};
    auto concluded = conclude_import(done, true, "m_1", 5);
    EXPECT_FALSE(concluded.message);
    EXPECT_TRUE(concluded.status.starts_with("Attachment import failed: ")) << concluded.status;
}

}  // namespace
