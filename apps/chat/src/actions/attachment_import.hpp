#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "doc/records.hpp"
#include "qdoc/blobstore.hpp"
#include "qdoc/sniff.hpp"
#include "vemo_ui/painter.hpp"

// Turning a file on disk into an attachment: listing the files a user can pick, copying one
// into the shared blob store and describing it. Everything here may run on a worker thread;
// none of it touches the document.
namespace chat {

inline constexpr uint64_t max_attachment_file_bytes = 33554432;  // 32 MiB
inline constexpr size_t picker_collect_limit = 200;
inline constexpr size_t picker_keep_limit = 60;
inline constexpr std::string_view default_attachment_dir = "/var/workspace";

// VEMO_CHAT_ATTACH_DIR when set (unchanged), otherwise the default directory.
std::filesystem::path attachment_directory();

enum class ExtensionClass { Other, Image, Video };
// By the text after the last "." of the name, ignoring ASCII case.
ExtensionClass extension_class(std::string_view name);

// The file system's bytes of a name as UTF-8, invalid sequences replaced.
std::string lossy_utf8(std::string_view bytes);

struct PickerEntry {
    std::filesystem::path path;
    std::string name;
    std::optional<uint64_t> size;
    bool video = false;
    // What to show as its preview: an image reference the image store understands, or a
    // picture made while listing. Both empty means a type icon.
    std::string preview_source;
    vemo_ui::ImageRef thumbnail;
};

// Walks `dir` and its subdirectories: every entry that is not a directory counts, the walk
// stops after picker_collect_limit of them, and the first picker_keep_limit by path are kept.
// Image files small enough get a thumbnail of at most `thumbnail_side` pixels a side.
std::expected<std::vector<PickerEntry>, std::string> list_attachments(
    std::filesystem::path const& dir, int thumbnail_side = 96);

// What a finished import hands back to the window.
struct ImportedFile {
    std::string name;
    std::string blob;  // the store's reference, 64 hexadecimal digits
    uint64_t size = 0;
    std::optional<qdoc::blobstore::ImageInfo> image;
    bool video = false;
};

enum class ReadFailure { Unreadable, TooLarge };
// Reads an open descriptor to its end, taking at most `limit` bytes: one more is TooLarge.
// `expected_size` only sizes the first allocation; files that grow or shrink are read as
// they are.
std::expected<std::vector<uint8_t>, ReadFailure> read_capped(int fd, uint64_t expected_size,
                                                             uint64_t limit);

// Copies the file at `path` into `store` and reads it back to verify it. The error is the
// one-line reason shown to the user.
std::expected<ImportedFile, std::string> import_attachment_file(std::filesystem::path const& path,
                                                                qdoc::blobstore::BlobStore* store);

// The attachment record for an imported file: a video by its name, an image when the bytes
// are a picture of a size a message may carry, a plain file otherwise.
Attachment attachment_for(ImportedFile const& file);

}  // namespace chat
