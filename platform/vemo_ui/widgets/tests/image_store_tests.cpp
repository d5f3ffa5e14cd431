#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "qdoc/blobstore.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/image_store.hpp"

using namespace vemo_ui;

namespace {

class ImageStoreTest : public testing::Test {
  protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() /
               ("vemo-image-store-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        blobs = std::make_shared<qdoc::blobstore::FsBlobStore>(
            root, qdoc::blobstore::default_max_blob_bytes, qdoc::blobstore::default_max_total_bytes,
            16, 64);
        qdoc::blobstore::set_store(blobs);
    }
    void TearDown() override {
        qdoc::blobstore::set_store(nullptr);
        std::filesystem::remove_all(root);
    }

    std::string put(std::vector<uint8_t> const& bytes) {
        return std::string(ImageStore::blob_scheme) + blobs->put(bytes).value();
    }

    std::vector<uint8_t> png(int w, int h) {
        ImageCanvas canvas(w, h);
        canvas.clear(Color::rgb(0x3366cc));
        auto path = root / "picture.png";
        EXPECT_TRUE(canvas.write_png(path.string()));
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::filesystem::path root;
    std::shared_ptr<qdoc::blobstore::FsBlobStore> blobs;
};

TEST_F(ImageStoreTest, BlobIsPendingThenDecoded) {
    auto store = ImageStore::create();
    std::string ref = put(png(24, 16));
    EXPECT_TRUE(std::holds_alternative<ImageStore::Pending>(store->get(ref)));
    store->block_until_idle();
    EXPECT_TRUE(store->is_idle());
    auto got = store->get(ref);
    ASSERT_TRUE(std::holds_alternative<ImageRef>(got));
    EXPECT_EQ(std::get<ImageRef>(got)->width, 24);
    EXPECT_EQ(std::get<ImageRef>(got)->height, 16);
    // The reference's hex digits may come in either case.
    std::string upper = ref;
    for (size_t i = std::string_view(ImageStore::blob_scheme).size(); i < upper.size(); ++i)
        upper[i] = char(std::toupper(upper[i]));
    store->get(upper);
    store->block_until_idle();
    EXPECT_TRUE(std::holds_alternative<ImageRef>(store->get(upper)));
}

TEST_F(ImageStoreTest, BadInputFailsWithAReason) {
    auto store = ImageStore::create();
    std::string garbage = put({'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    std::string missing = std::string(ImageStore::blob_scheme) + std::string(64, 'a');
    store->get(garbage);
    store->get(missing);
    store->block_until_idle();
    for (std::string ref : {garbage, missing, std::string("vemo-blob://123"),
                            std::string("https://example.invalid/x.png"), std::string()}) {
        auto got = store->get(ref);
        ASSERT_TRUE(std::holds_alternative<ImageStore::Failed>(got)) << ref;
        EXPECT_FALSE(std::get<ImageStore::Failed>(got).reason.empty());
    }
    EXPECT_TRUE(store->is_idle());
}

TEST_F(ImageStoreTest, BuiltinPicturesAreDrawnByTheirPainter) {
    auto store = ImageStore::create();
    store->register_builtin("vemo-demo://", 40, 30, [](std::string_view name, ImageCanvas& c) {
        if (name != "red") return false;
        c.clear(Color::rgb(0xff0000));
        return true;
    });
    auto red = store->get("vemo-demo://red");
    ASSERT_TRUE(std::holds_alternative<ImageRef>(red));
    ImageRef image = std::get<ImageRef>(red);
    EXPECT_EQ(image->width, 40);
    uint32_t pixel;
    std::memcpy(&pixel, image->pixels.data(), 4);
    EXPECT_EQ(pixel, 0xffff0000u);  // ARGB32, opaque red
    EXPECT_TRUE(std::holds_alternative<ImageStore::Failed>(store->get("vemo-demo://blue")));
    EXPECT_TRUE(store->is_idle());
}

TEST_F(ImageStoreTest, CacheStaysWithinItsBound) {
    auto store = ImageStore::create(3);
    store->register_builtin("demo:", 8, 8, [](std::string_view, ImageCanvas&) { return true; });
    for (int i = 0; i < 10; ++i) store->get("demo:" + std::to_string(i));
    EXPECT_LE(store->cached_entries(), 3u);
    std::vector<std::string> refs;
    for (int i = 0; i < 6; ++i) {
        refs.push_back(put(png(4 + i, 4)));
        store->get(refs.back());
    }
    store->block_until_idle();
    store->get(refs.back());
    EXPECT_LE(store->cached_entries(), 3u);
    EXPECT_TRUE(std::holds_alternative<ImageRef>(store->get(refs.back())));
}

TEST_F(ImageStoreTest, WithoutABlobStoreTheImageFails) {
    qdoc::blobstore::set_store(nullptr);
    auto store = ImageStore::create();
    std::string ref = std::string(ImageStore::blob_scheme) + std::string(64, 'b');
    store->get(ref);
    store->block_until_idle();
    EXPECT_TRUE(std::holds_alternative<ImageStore::Failed>(store->get(ref)));
}

}  // namespace
