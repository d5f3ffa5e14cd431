#include "app/desktop_files.hpp"

#include <fcntl.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

#include "qdoc/blobstore.hpp"

namespace chat::desktop {

namespace fs = std::filesystem;

namespace {

struct SaveRequest {
    std::function<void(fs::path)> chosen;
};

void on_save_response(GtkNativeDialog* dialog, gint response, gpointer data) {
    auto* request = static_cast<SaveRequest*>(data);
    if (response == GTK_RESPONSE_ACCEPT) {
        if (gchar* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            request->chosen(fs::path(file));
            g_free(file);
        }
    }
    delete request;
    g_object_unref(dialog);
}

void on_launched(GObject*, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
        g_warning("could not open attachment: %s", error ? error->message : "unknown error");
        g_clear_error(&error);
    }
}

struct PasteRequest {
    std::function<void(ClipboardPicture)> got;
};

// Only the pixels are copied here; encoding them waits for the attachment worker.
void on_clipboard_image(GtkClipboard*, GdkPixbuf* pixbuf, gpointer data) {
    std::unique_ptr<PasteRequest> request(static_cast<PasteRequest*>(data));
    if (!pixbuf) return;
    int channels = gdk_pixbuf_get_n_channels(pixbuf);
    bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    if (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB ||
        gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || channels != (alpha ? 4 : 3)) {
        g_warning("the pasted picture has a pixel layout that cannot be attached");
        return;
    }
    ClipboardPicture picture{gdk_pixbuf_get_width(pixbuf),
                             gdk_pixbuf_get_height(pixbuf),
                             gdk_pixbuf_get_rowstride(pixbuf),
                             alpha,
                             {}};
    auto const* pixels = gdk_pixbuf_read_pixels(pixbuf);
    picture.pixels.assign(pixels, pixels + gdk_pixbuf_get_byte_length(pixbuf));
    request->got(std::move(picture));
}

void on_clipboard_targets(GtkClipboard* clipboard, GdkAtom* targets, gint count, gpointer data) {
    auto* request = static_cast<PasteRequest*>(data);
    // Text wins: copying from a web page offers both, and the text is what was meant.
    bool picture = targets && gtk_targets_include_image(targets, count, FALSE) &&
                   !gtk_targets_include_text(targets, count);
    if (!picture) {
        delete request;
        return;
    }
    gtk_clipboard_request_image(clipboard, on_clipboard_image, request);
}

std::string error_text(std::string_view what, fs::path const& path) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

std::string safe_file_name(std::string_view name) {
    std::string out;
    for (char c : name) out += (c == '/' || (unsigned char)c < 0x20 || c == 0x7f) ? '_' : c;
    if (out.empty() || out == "." || out == "..") return "attachment";
    return out;
}

fs::path cached_attachment_path(std::string_view blob, std::string_view name) {
    // At most 255 bytes a name on common file systems; keep its end, where the extension is.
    std::string file = safe_file_name(name);
    if (file.size() > 200) file = file.substr(file.size() - 200);
    return fs::path(g_get_user_cache_dir()) / "vemo-chat" / "attachments" /
           std::string(blob.substr(0, 16)) / file;
}

std::expected<void, std::string> write_blob_to(std::string const& blob, fs::path const& target) {
    auto store = qdoc::blobstore::store();
    if (!store) return std::unexpected(std::string("no shared content store"));
    auto bytes = store->get(blob);
    if (!bytes) return std::unexpected(bytes.error().message);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec)
        return std::unexpected("cannot create " + target.parent_path().string() + ": " +
                               ec.message());
    fs::path temp = target;
    temp += ".part-" + std::to_string(std::random_device{}());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return std::unexpected(error_text("cannot create", temp));
    size_t at = 0;
    while (at < bytes->size()) {
        ssize_t n = ::write(fd, bytes->data() + at, bytes->size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            auto message = error_text("cannot write", temp);
            ::close(fd);
            ::unlink(temp.c_str());
            return std::unexpected(message);
        }
        at += size_t(n);
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), target.c_str()) != 0) {
        auto message = error_text("cannot write", target);
        ::unlink(temp.c_str());
        return std::unexpected(message);
    }
    return {};
}

void open_with_default_app(fs::path const& file) {
    gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
    if (!uri) return;
    g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, on_launched, nullptr);
    g_free(uri);
}

bool choose_save_path(std::string const& suggested_name, std::function<void(fs::path)> chosen) {
    if (!gdk_display_get_default()) return false;
    GtkFileChooserNative* dialog = gtk_file_chooser_native_new(
        "Save attachment", nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    gtk_file_chooser_set_current_name(chooser, safe_file_name(suggested_name).c_str());
    g_signal_connect(dialog, "response", G_CALLBACK(on_save_response),
                     new SaveRequest{std::move(chosen)});
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
    return true;
}

std::expected<std::vector<uint8_t>, std::string> encode_png(ClipboardPicture const& picture) {
    int channels = picture.has_alpha ? 4 : 3;
    if (picture.width <= 0 || picture.height <= 0 || picture.rowstride / channels < picture.width)
        return std::unexpected(std::string("the pasted picture is empty or malformed"));
    // The last row need not be padded to the full stride.
    size_t needed = size_t(picture.rowstride) * size_t(picture.height - 1) +
                    size_t(picture.width) * size_t(channels);
    if (picture.pixels.size() < needed)
        return std::unexpected(std::string("the pasted picture is empty or malformed"));
    // Only read while saving, though the constructor wants a writable pointer.
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_data(
        const_cast<uint8_t*>(picture.pixels.data()), GDK_COLORSPACE_RGB, picture.has_alpha, 8,
        picture.width, picture.height, picture.rowstride, nullptr, nullptr);
    if (!pixbuf) return std::unexpected(std::string("could not encode the pasted picture"));
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    bool saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", &error, nullptr);
    g_object_unref(pixbuf);
    if (!saved) {
        std::string reason = std::string("could not encode the pasted picture: ") +
                             (error ? error->message : "unknown error");
        g_clear_error(&error);
        return std::unexpected(std::move(reason));
    }
    std::vector<uint8_t> png(reinterpret_cast<uint8_t*>(buffer),
                             reinterpret_cast<uint8_t*>(buffer) + size);
    g_free(buffer);
    return png;
}

bool request_clipboard_picture(std::function<void(ClipboardPicture)> got) {
    if (!gdk_display_get_default()) return false;
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_request_targets(clipboard, on_clipboard_targets,
                                  new PasteRequest{std::move(got)});
    return true;
}

}  // namespace chat::desktop
