// Attaching through the window: the picker, the import collected by the frame cycle, and the
// imported picture drawn from the blob store.
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "app/desktop_files.hpp"
#include "doc/schema.hpp"
#include "model/readers.hpp"
#include "ui_test_support.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/image_decode.hpp"

using namespace chat;
using chat::test::Window;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t picture_color = 0xcc2244;

class AttachInWindow : public testing::Test {
  protected:
    fs::path dir;
    fs::path files;

    void SetUp() override {
        char tmpl[] = "/tmp/chat-ui-attach-XXXXXX";
        dir = mkdtemp(tmpl);
        files = dir / "files";
        fs::create_directories(files / "sub");
        vemo_ui::ImageCanvas canvas(64, 32);
        canvas.clear(vemo_ui::Color::rgb(picture_color));
        ASSERT_TRUE(canvas.write_png((files / "sub" / "wide.png").string()));
        std::ofstream(files / "notes.txt") << "notes";
        ::setenv("VEMO_CHAT_ATTACH_DIR", files.c_str(), 1);
        qdoc::blobstore::set_store(std::make_shared<qdoc::blobstore::FsBlobStore>(
            dir / "blobs", 0x2000000, 0x10000000, 64, 1024));
    }
    void TearDown() override {
        qdoc::blobstore::set_store(nullptr);
        ::unsetenv("VEMO_CHAT_ATTACH_DIR");
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Runs frames, as the window would while background work is in flight, until `done`.
    template <class Done>
    static void frames_until(Window& w, Done done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            w.run();
        }
        ASSERT_TRUE(done());
    }

    static void open_picker(Window& w) {
        ASSERT_TRUE(w.app.perform_semantic_action("chat.attach", "activate"));
        EXPECT_TRUE(w.app.attachment_picker().open);
        EXPECT_EQ(w.app.status_line(), "Loading attachments…");
        frames_until(w, [&] { return !w.app.attachment_picker().waiting; });
    }
};

std::string sha256_hex(fs::path const& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    gchar* sum =
        g_compute_checksum_for_string(G_CHECKSUM_SHA256, bytes.data(), gssize(bytes.size()));
    std::string out(sum);
    g_free(sum);
    return out;
}

TEST_F(AttachInWindow, PickImportAndDrawFromTheBlobStore) {
    Window w;
    w.run();
    open_picker(w);
    auto const& entries = w.app.attachment_picker().entries;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "notes.txt");
    EXPECT_EQ(entries[1].name, "wide.png");
    EXPECT_TRUE(entries[1].thumbnail) << "pictures get a preview";

    // Keyboard: arrows move the choice, Escape closes before anything else.
    w.run();
    EXPECT_TRUE(w.app.handle_event(chat::test::key(vemo_ui::Key::Down)));
    EXPECT_EQ(w.app.attachment_picker().selected, 1u);
    EXPECT_TRUE(w.app.handle_event(chat::test::key(vemo_ui::Key::Down)));
    EXPECT_EQ(w.app.attachment_picker().selected, 0u) << "wraps";
    EXPECT_TRUE(w.app.handle_event(chat::test::key(vemo_ui::Key::Escape)));
    EXPECT_FALSE(w.app.attachment_picker().open);
    EXPECT_EQ(w.app.status_line(), "Attachment picker cancelled");

    open_picker(w);
    w.run();
    std::string pick = "chat.attach-pick:" + (files / "sub" / "wide.png").string();
    ASSERT_NE(w.find(pick), nullptr);
    ASSERT_TRUE(w.app.perform_semantic_action(pick, "activate"));
    EXPECT_FALSE(w.app.attachment_picker().open);
    EXPECT_EQ(w.app.status_line(), "Preparing attachment…");
    frames_until(w, [&] { return w.app.status_line() != "Preparing attachment…"; });
    EXPECT_EQ(w.app.status_line(), "Attachment shared");

    auto const& last = w.app.view().messages.back();
    ASSERT_TRUE(last.attachment);
    auto const* image = std::get_if<ImageAttachment>(&*last.attachment);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->blob, sha256_hex(files / "sub" / "wide.png"));
    EXPECT_EQ(image->w, 64u);
    EXPECT_EQ(image->h, 32u);
    EXPECT_EQ(last.author, w.app.identity().id);
    EXPECT_TRUE(last.text.empty());

    // The picture comes out of the blob store, decoded, into the drawn frame.
    w.run();
    w.app.images().block_until_idle();
    w.run();
    auto lookup = w.app.images().get("vemo-blob://" + image->blob);
    ASSERT_TRUE(std::holds_alternative<vemo_ui::ImageRef>(lookup));
    auto const& boxes = w.app.attachment_boxes();
    auto box = std::ranges::find_if(
        boxes, [&](auto const& b) { return b.attachment == *last.attachment; });
    ASSERT_NE(box, boxes.end());
    EXPECT_NEAR(box->rect.height / box->rect.width, 0.5, 0.01) << "drawn at its aspect ratio";
    fs::path png = dir / "frame.png";
    ASSERT_TRUE(w.frame.write_png(png));
    std::ifstream in(png, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    auto frame = vemo_ui::decode_image(bytes);
    ASSERT_TRUE(frame);
    int px = int(box->rect.center().x), py = int(box->rect.center().y);
    uint32_t argb;
    std::memcpy(&argb, frame->pixels.data() + size_t(py) * size_t(frame->stride) + size_t(px) * 4,
                4);
    EXPECT_EQ(argb & 0xffffff, picture_color) << std::hex << argb;
}

TEST_F(AttachInWindow, PermissionTakenAwayWhileImportingSendsNothing) {
    Window w;
    w.run();
    size_t before = w.app.view().messages.size();
    ASSERT_TRUE(w.app.start_attachment_import("c_crit", (files / "notes.txt").string()));
    EXPECT_FALSE(w.app.start_attachment_import("c_crit", (files / "notes.txt").string()))
        << "one at a time";
    w.app.set_permissions(vemo_ui::PermissionContext::read_only());
    frames_until(w, [&] { return w.app.status_line() != "Preparing attachment…"; });
    EXPECT_EQ(w.app.status_line(), "Attachment import cancelled: permission changed");
    EXPECT_EQ(w.app.view().messages.size(), before);
    EXPECT_FALSE(w.app.start_attachment_import("c_crit", (files / "notes.txt").string()))
        << "no import without write access";
}

TEST_F(AttachInWindow, FilesDroppedTogetherAreSharedOneAfterAnother) {
    Window w;
    w.run();
    std::string channel = w.app.navigation().channel_id;
    size_t before = w.app.view().messages.size();
    std::vector<std::string> dropped = {(files / "notes.txt").string(),
                                        (files / "sub" / "wide.png").string(),
                                        (files / "notes.txt").string()};
    ASSERT_TRUE(w.app.drop_files(dropped, {600, 300}));
    EXPECT_EQ(w.app.status_line(), "Preparing attachment…");
    EXPECT_TRUE(w.app.needs_animation_frame()) << "frames keep coming while files wait";
    // Switching conversations meanwhile does not move the waiting files.
    ASSERT_TRUE(w.app.perform_semantic_action("chat.channel:c_general", "activate"));
    frames_until(w, [&] { return !w.app.needs_animation_frame(); });
    EXPECT_EQ(w.app.status_line(), "Attachment shared");
    ASSERT_TRUE(w.app.perform_semantic_action("chat.channel:" + channel, "activate"));
    w.run();
    auto const& messages = w.app.view().messages;
    ASSERT_EQ(messages.size(), before + 3);
    std::vector<std::string> names;
    for (size_t i = before; i < messages.size(); ++i) {
        ASSERT_TRUE(messages[i].attachment);
        std::visit([&](auto const& a) { names.push_back(a.name); }, *messages[i].attachment);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"notes.txt", "wide.png", "notes.txt"}));

    // Taking write access away drops what still waits.
    ASSERT_TRUE(w.app.drop_files(dropped, {600, 300}));
    w.app.set_permissions(vemo_ui::PermissionContext::read_only());
    frames_until(w, [&] { return !w.app.needs_animation_frame(); });
    w.run();
    EXPECT_EQ(w.app.view().messages.size(), before + 3);
}

// A picture of `picture_color` as the clipboard hands it over: RGB rows padded to `stride`.
desktop::ClipboardPicture clipboard_picture(int width, int height, int stride) {
    desktop::ClipboardPicture picture{width, height, stride, false, {}};
    picture.pixels.assign(size_t(stride) * size_t(height), 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* px = picture.pixels.data() + size_t(y) * size_t(stride) + size_t(x) * 3;
            px[0] = uint8_t(picture_color >> 16), px[1] = uint8_t(picture_color >> 8);
            px[2] = uint8_t(picture_color);
        }
    return picture;
}

std::set<fs::path> files_in(fs::path const& dir) {
    std::set<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        out.insert(it->path());
    return out;
}

// The folder pasted pictures are kept in as files, as it was when made: added() lists the
// files kept since.
class KeptPictures {
  public:
    KeptPictures() : m_before(files_in(m_dir)) {}
    std::vector<fs::path> added() const {
        std::vector<fs::path> out;
        for (auto const& path : files_in(m_dir))
            if (!m_before.contains(path)) out.push_back(path);
        return out;
    }

  private:
    fs::path m_dir = desktop::cached_attachment_path("pasted", "x").parent_path();
    std::set<fs::path> m_before;
};

// Pasting hands the pixels to the import's worker, which encodes them, keeps them as a PNG file
// and imports that like a picked file; the window shows the usual progress meanwhile.
TEST_F(AttachInWindow, PastedPictureIsEncodedInTheBackgroundAndShared) {
    Window w;
    w.run();
    size_t before = w.app.view().messages.size();
    KeptPictures kept;

    w.app.attach_pasted_picture(clipboard_picture(5, 3, 16), false);
    EXPECT_EQ(w.app.status_line(), "Preparing attachment…");
    frames_until(w, [&] { return w.app.status_line() != "Preparing attachment…"; });
    EXPECT_EQ(w.app.status_line(), "Attachment shared");

    ASSERT_EQ(w.app.view().messages.size(), before + 1);
    auto const& last = w.app.view().messages.back();
    ASSERT_TRUE(last.attachment);
    auto const* image = std::get_if<ImageAttachment>(&*last.attachment);
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(image->name.starts_with("pasted-image-") && image->name.ends_with(".png"))
        << image->name;
    EXPECT_EQ(image->w, 5u);
    EXPECT_EQ(image->h, 3u);
    auto stored = qdoc::blobstore::store()->get(image->blob);
    ASSERT_TRUE(stored);
    auto decoded = vemo_ui::decode_image(*stored);
    ASSERT_TRUE(decoded);
    uint32_t argb;
    std::memcpy(&argb, decoded->pixels.data() + size_t(2) * size_t(decoded->stride) + 4 * 4, 4);
    EXPECT_EQ(argb & 0xffffff, picture_color) << std::hex << argb;

    // The file kept for it holds the same bytes.
    auto added = kept.added();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(sha256_hex(added[0]), image->blob);
    fs::remove(added[0]);
}

// A picture pasted while another attachment is still being imported waits for it and then
// arrives too, in the order pasted; past a few waiting pictures a paste is refused in words.
TEST_F(AttachInWindow, PicturesPastedDuringAnImportArriveInOrder) {
    Window w;
    w.run();
    size_t before = w.app.view().messages.size();
    KeptPictures kept_pictures;
    ASSERT_TRUE(w.app.start_attachment_import("c_crit", (files / "sub" / "wide.png").string()));
    w.app.attach_pasted_picture(clipboard_picture(5, 3, 16), false);
    w.app.attach_pasted_picture(clipboard_picture(7, 2, 21), false);
    EXPECT_EQ(w.app.status_line(), "Preparing attachment…");
    frames_until(w, [&] { return !w.app.needs_animation_frame(); });
    EXPECT_EQ(w.app.status_line(), "Attachment shared");
    auto const& messages = w.app.view().messages;
    ASSERT_EQ(messages.size(), before + 3);
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    for (size_t i = before; i < messages.size(); ++i) {
        ASSERT_TRUE(messages[i].attachment);
        auto const* image = std::get_if<ImageAttachment>(&*messages[i].attachment);
        ASSERT_NE(image, nullptr);
        sizes.emplace_back(image->w, image->h);
    }
    EXPECT_EQ(sizes, (std::vector<std::pair<uint32_t, uint32_t>>{{64, 32}, {5, 3}, {7, 2}}));
    // Pasted within the same second, each keeps a file of its own holding its own picture.
    std::set<std::string> kept;
    for (auto const& path : kept_pictures.added()) kept.insert(sha256_hex(path));
    std::set<std::string> blobs;
    for (size_t i = before + 1; i < messages.size(); ++i)
        blobs.insert(std::get<ImageAttachment>(*messages[i].attachment).blob);
    EXPECT_EQ(kept, blobs);
    EXPECT_EQ(kept.size(), 2u);

    ASSERT_TRUE(w.app.start_attachment_import("c_crit", (files / "notes.txt").string()));
    for (size_t i = 0; i < ChatApp::max_waiting_pictures; ++i)
        w.app.attach_pasted_picture(clipboard_picture(2, 2, 6), false);
    w.app.attach_pasted_picture(clipboard_picture(2, 2, 6), false);
    EXPECT_EQ(w.app.status_line(),
              "Pasted picture not attached: too many attachments are waiting to be imported");
    frames_until(w, [&] { return !w.app.needs_animation_frame(); });
    EXPECT_EQ(w.app.view().messages.size(), before + 3 + 1 + ChatApp::max_waiting_pictures);
}

TEST_F(AttachInWindow, PastedPictureThatCannotBeEncodedIsReported) {
    Window w;
    w.run();
    size_t before = w.app.view().messages.size();
    auto picture = clipboard_picture(5, 3, 16);
    picture.pixels.resize(20);  // fewer bytes than its rows need
    w.app.attach_pasted_picture(picture, false);
    frames_until(w, [&] { return w.app.status_line() != "Preparing attachment…"; });
    EXPECT_EQ(w.app.status_line(),
              "Attachment import failed: the pasted picture is empty or malformed");
    EXPECT_EQ(w.app.view().messages.size(), before);
}

}  // namespace

namespace {

TEST(DesktopFiles, ClipboardPicturesEncodeOnlyWhenTheirPixelsAddUp) {
    auto good = clipboard_picture(5, 3, 16);
    auto png = desktop::encode_png(good);
    ASSERT_TRUE(png) << png.error();
    auto decoded = vemo_ui::decode_image(*png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 5);
    EXPECT_EQ(decoded->height, 3);
    auto last_row_short = good;
    last_row_short.pixels.resize(16 * 2 + 15);  // the last row needs no padding
    EXPECT_TRUE(desktop::encode_png(last_row_short));

    auto with = [&](auto change) {
        auto p = good;
        change(p);
        return p;
    };
    for (auto const& bad : {
             with([](auto& p) { p.width = 0; }),
             with([](auto& p) { p.height = -1; }),
             with([](auto& p) { p.rowstride = 14; }),    // narrower than 5 pixels of 3 bytes
             with([](auto& p) { p.has_alpha = true; }),  // 5 pixels of 4 bytes need 20
             with([](auto& p) { p.pixels.resize(16 * 2 + 14); }),
             with([](auto& p) { p.pixels.clear(); }),
         })
        EXPECT_FALSE(desktop::encode_png(bad));
}

TEST(DesktopFiles, SafeNamesAndCachePaths) {
    struct Case {
        std::string_view name, safe;
    };
    for (auto [name, safe] : std::vector<Case>{{"report.pdf", "report.pdf"},
                                               {"../../etc/passwd", ".._.._etc_passwd"},
                                               {"a\nb\x7f", "a_b_"},
                                               {"..", "attachment"},
                                               {"", "attachment"}})
        EXPECT_EQ(desktop::safe_file_name(name), safe) << name;
    std::string blob(64, 'a');
    auto path = desktop::cached_attachment_path(blob, std::string(300, 'x') + ".png");
    EXPECT_EQ(path.filename().string().size(), 200u);
    EXPECT_TRUE(path.filename().string().ends_with(".png")) << "the extension survives shortening";
    EXPECT_EQ(path.parent_path().filename(), std::string(16, 'a'));
}

TEST_F(AttachInWindow, BlobsAreWrittenOutWhole) {
    auto file = import_attachment_file(files / "notes.txt", qdoc::blobstore::store().get());
    ASSERT_TRUE(file) << file.error();
    fs::path target = dir / "out" / "deeper" / "notes.txt";
    ASSERT_TRUE(desktop::write_blob_to(file->blob, target));
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "notes");
    EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), {}), 1)
        << "no temporary left";
    auto missing = desktop::write_blob_to(std::string(64, 'b'), dir / "out" / "x");
    EXPECT_FALSE(missing);
    EXPECT_FALSE(fs::exists(dir / "out" / "x"));
}

}  // namespace
