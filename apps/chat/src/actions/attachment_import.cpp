#include "actions/attachment_import.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/image_decode.hpp"

namespace chat {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 6> image_extensions = {"png",  "jpg", "jpeg",
                                                              "webp", "gif", "bmp"};
constexpr std::array<std::string_view, 7> video_extensions = {"mp4", "webm", "mov", "mkv",
                                                              "m4v", "avi",  "ogv"};
// Thumbnails are made only of files this small, and of no more than this much in all, so a
// folder of huge pictures still lists quickly.
constexpr uint64_t thumbnail_file_limit = uint64_t(8) << 20;
constexpr uint64_t thumbnail_total_limit = uint64_t(64) << 20;

bool equals_ascii_nocase(std::string_view a, std::string_view b) {
    return std::ranges::equal(
        a, b, [](char x, char y) { return g_ascii_tolower(x) == g_ascii_tolower(y); });
}

// Owns one file descriptor.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::optional<std::vector<uint8_t>> read_small_file(fs::path const& path, uint64_t limit) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    auto bytes = read_capped(fd.fd, uint64_t(info.st_size), limit);
    if (!bytes) return std::nullopt;
    return std::move(*bytes);
}

vemo_ui::ImageRef make_thumbnail(std::span<uint8_t const> bytes, int side) {
    auto image = vemo_ui::decode_image(bytes);
    if (!image || image->width <= 0 || image->height <= 0) return nullptr;
    double scale = std::min(1.0, double(side) / double(std::max(image->width, image->height)));
    int w = std::max(1, int(image->width * scale));
    int h = std::max(1, int(image->height * scale));
    if (scale >= 1.0) return std::make_shared<vemo_ui::Image const>(std::move(*image));
    vemo_ui::ImageCanvas canvas(w, h);
    canvas.painter().draw_image(*image, vemo_ui::Rect{0, 0, double(w), double(h)});
    return std::make_shared<vemo_ui::Image const>(canvas.snapshot());
}

void add_thumbnails(std::vector<PickerEntry>& entries, int side) {
    if (side <= 0) return;
    uint64_t spent = 0;
    for (auto& entry : entries) {
        if (extension_class(entry.name) != ExtensionClass::Image || !entry.size) continue;
        if (*entry.size > thumbnail_file_limit || spent + *entry.size > thumbnail_total_limit)
            continue;
        spent += *entry.size;
        if (auto bytes = read_small_file(entry.path, thumbnail_file_limit))
            entry.thumbnail = make_thumbnail(*bytes, side);
    }
}

}  // namespace

fs::path attachment_directory() {
    if (char const* dir = std::getenv("VEMO_CHAT_ATTACH_DIR")) return fs::path(dir);
    return fs::path(default_attachment_dir);
}

ExtensionClass extension_class(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return ExtensionClass::Other;
    auto ext = name.substr(dot + 1);
    auto in = [&](auto const& list) {
        return std::ranges::any_of(list,
                                   [&](std::string_view e) { return equals_ascii_nocase(e, ext); });
    };
    if (in(image_extensions)) return ExtensionClass::Image;
    if (in(video_extensions)) return ExtensionClass::Video;
    return ExtensionClass::Other;
}

std::string lossy_utf8(std::string_view bytes) {
    gchar* valid = g_utf8_make_valid(bytes.data(), gssize(bytes.size()));
    std::string out(valid);
    g_free(valid);
    return out;
}

std::expected<std::vector<PickerEntry>, std::string> list_attachments(fs::path const& dir,
                                                                      int thumbnail_side) {
    std::error_code ec;
    fs::recursive_directory_iterator walk(dir, fs::directory_options::skip_permission_denied, ec);
    if (ec) return std::unexpected(dir.string() + ": " + ec.message());
    std::vector<PickerEntry> entries;
    for (auto end = fs::recursive_directory_iterator();
         walk != end && entries.size() < picker_collect_limit; walk.increment(ec)) {
        if (ec) break;
        auto const& item = *walk;
        std::error_code kind_ec;
        if (item.is_directory(kind_ec)) continue;
        PickerEntry entry;
        entry.path = item.path();
        entry.name = lossy_utf8(item.path().filename().native());
        std::error_code size_ec;
        auto size = item.file_size(size_ec);
        if (!size_ec) entry.size = size;
        entry.video = extension_class(entry.name) == ExtensionClass::Video;
        entries.push_back(std::move(entry));
    }
    if (ec && entries.empty()) return std::unexpected(dir.string() + ": " + ec.message());
    std::ranges::sort(entries, {}, &PickerEntry::path);
    if (entries.size() > picker_keep_limit) entries.resize(picker_keep_limit);
    add_thumbnails(entries, thumbnail_side);
    return entries;
}

std::expected<std::vector<uint8_t>, ReadFailure> read_capped(int fd, uint64_t expected_size,
                                                             uint64_t limit) {
    std::vector<uint8_t> bytes;
    // One byte past the limit is how a file that outgrew it is noticed.
    uint64_t cap = limit + 1;
    bytes.resize(size_t(std::min(expected_size, limit) + 1));
    size_t filled = 0;
    while (true) {
        if (filled == bytes.size()) {
            if (bytes.size() >= cap) break;
            bytes.resize(
                size_t(std::min<uint64_t>(cap, std::max<uint64_t>(bytes.size() * 2, 4096))));
        }
        ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(ReadFailure::Unreadable);
        if (got == 0) break;
        filled += size_t(got);
    }
    if (filled > limit) return std::unexpected(ReadFailure::TooLarge);
    bytes.resize(filled);
    return bytes;
}

std::expected<ImportedFile, std::string> import_attachment_file(fs::path const& path,
                                                                qdoc::blobstore::BlobStore* store) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::unexpected(std::string("file is unavailable"));
    if (!S_ISREG(info.st_mode) || uint64_t(info.st_size) > max_attachment_file_bytes)
        return std::unexpected(std::string("file is not shareable or exceeds 32 MiB"));

    // O_NONBLOCK: the path may have been swapped for a pipe since it was inspected.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.fd < 0) return std::unexpected(std::string("could not read file"));
    auto bytes = read_capped(fd.fd, uint64_t(info.st_size), max_attachment_file_bytes);
    if (!bytes) {
        return std::unexpected(std::string(bytes.error() == ReadFailure::TooLarge
                                               ? "file exceeds 32 MiB"
                                               : "could not read file"));
    }
    if (bytes->empty()) return std::unexpected(std::string("file is empty"));

    ImportedFile file;
    file.name = lossy_utf8(path.filename().native());
    if (file.name.empty()) file.name = "file";
    file.image = qdoc::blobstore::sniff(*bytes);
    file.size = bytes->size();
    file.video = extension_class(file.name) == ExtensionClass::Video;

    if (!store) return std::unexpected(std::string("shared content store refused the attachment"));
    auto reference = store->put(*bytes);
    if (!reference)
        return std::unexpected(std::string("shared content store refused the attachment"));
    auto stored = store->get(*reference);
    if (!stored || *stored != *bytes)
        return std::unexpected(std::string("shared byte verification failed"));
    file.blob = *reference;
    return file;
}

Attachment attachment_for(ImportedFile const& file) {
    if (file.video) return VideoAttachment{file.name, file.blob, 0, 0, file.size};
    auto fits = [](uint32_t side) {
        return side >= 1 && side <= uint32_t(vemo_ui::max_image_side);
    };
    // A picture too large to be shown still goes out, as a file.
    if (file.image && fits(file.image->width) && fits(file.image->height))
        return ImageAttachment{file.name, file.blob, file.image->width, file.image->height};
    return FileAttachment{file.name, file.blob, file.size};
}

}  // namespace chat
