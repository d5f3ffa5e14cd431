#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Handing attachments to the desktop: writing a blob out as a file, opening it with the
// user's default application and asking where to save it. The one place the chat talks to
// GIO and GTK about files.
namespace chat::desktop {

// A name safe to use as one file name: no separators or control characters, never empty,
// "." or "..".
std::string safe_file_name(std::string_view name);

// Where an attachment is written to be opened: the user's cache directory, a folder per blob,
// the attachment's own name.
std::filesystem::path cached_attachment_path(std::string_view blob, std::string_view name);

// Writes the blob's bytes to `target` through a temporary file and a rename, so a reader
// never sees half a file. Safe on a worker thread.
std::expected<void, std::string> write_blob_to(std::string const& blob,
                                               std::filesystem::path const& target);

// Starts the default application for the file; does not wait for it.
void open_with_default_app(std::filesystem::path const& file);

// Shows the desktop's save dialog without blocking; `chosen` is called on the UI thread with
// the path the user picked, and not at all when the dialog is cancelled. False when there is
// no display to show it on.
bool choose_save_path(std::string const& suggested_name,
                      std::function<void(std::filesystem::path)> chosen);

// A picture taken from the clipboard: its rows of 8-bit RGB or RGBA pixels, `rowstride` bytes
// apart, copied out so that it can be encoded away from the UI thread.
struct ClipboardPicture {
    int width = 0;
    int height = 0;
    int rowstride = 0;
    bool has_alpha = false;
    std::vector<uint8_t> pixels;
};

// The picture as PNG, or why it cannot be. Safe on a worker thread.
std::expected<std::vector<uint8_t>, std::string> encode_png(ClipboardPicture const& picture);

// When the clipboard holds a picture and no text, asks for it; `got` is called later on the
// UI thread with the picture. False when there is no display.
bool request_clipboard_picture(std::function<void(ClipboardPicture)> got);

}  // namespace chat::desktop
