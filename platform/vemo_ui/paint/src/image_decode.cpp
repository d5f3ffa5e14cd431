#include "vemo_ui/image_decode.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace vemo_ui {

namespace {

struct GObjectDeleter {
    void operator()(void* object) const { g_object_unref(object); }
};

// We name the loader ourselves instead of letting gdk-pixbuf guess, so no other loader
// (SVG with its external references, TIFF, ICO…) ever sees untrusted bytes.
std::optional<char const*> loader_type(std::span<uint8_t const> b) {
    auto starts = [&](char const* magic, size_t at = 0) {
        size_t n = std::strlen(magic);
        return b.size() >= at + n && std::memcmp(b.data() + at, magic, n) == 0;
    };
    if (starts("\x89PNG\r\n\x1a\n")) return "png";
    if (starts("\xff\xd8\xff")) return "jpeg";
    if (starts("GIF87a") || starts("GIF89a")) return "gif";
    if (starts("RIFF") && starts("WEBP", 8)) return "webp";
    if (starts("BM")) return "bmp";
    return std::nullopt;
}

bool within_limits(int64_t w, int64_t h) {
    return w > 0 && h > 0 && w <= max_image_side && h <= max_image_side &&
           w * h <= max_image_pixels;
}

std::string size_error(int w, int h) {
    return "image of " + std::to_string(w) + "x" + std::to_string(h) +
           " pixels is over the limit of " + std::to_string(max_image_side) + " per side and " +
           std::to_string(max_image_pixels) + " in all";
}

struct SizeCheck {
    bool too_large = false;
    int width = 0;
    int height = 0;
};

// Asking the loader for a 0x0 result makes it stop before it allocates the full image.
void on_size_prepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto* check = static_cast<SizeCheck*>(data);
    check->width = width;
    check->height = height;
    if (!within_limits(width, height)) {
        check->too_large = true;
        gdk_pixbuf_loader_set_size(loader, 0, 0);
    }
}

Image to_premultiplied_argb(GdkPixbuf* pixbuf) {
    int w = gdk_pixbuf_get_width(pixbuf);
    int h = gdk_pixbuf_get_height(pixbuf);
    int channels = gdk_pixbuf_get_n_channels(pixbuf);
    bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    int src_stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar const* src = gdk_pixbuf_read_pixels(pixbuf);
    Image image{w, h, w * 4, {}};
    image.pixels.resize(size_t(image.stride) * size_t(h));
    for (int y = 0; y < h; ++y) {
        guchar const* in = src + size_t(y) * size_t(src_stride);
        auto* out = reinterpret_cast<uint32_t*>(image.pixels.data() + size_t(y) * image.stride);
        for (int x = 0; x < w; ++x, in += channels) {
            uint32_t a = alpha ? in[3] : 255;
            auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
            out[x] = a << 24 | pre(in[0]) << 16 | pre(in[1]) << 8 | pre(in[2]);
        }
    }
    return image;
}

}  // namespace

std::expected<Image, std::string> decode_image(std::span<uint8_t const> bytes) {
    auto type = loader_type(bytes);
    if (!type) return std::unexpected(std::string("not a PNG, JPEG, GIF, WebP or BMP image"));
    GError* error = nullptr;
    std::unique_ptr<GdkPixbufLoader, GObjectDeleter> loader(
        gdk_pixbuf_loader_new_with_type(*type, &error));
    if (!loader) {
        std::string message = error ? error->message : "no loader";
        g_clear_error(&error);
        return std::unexpected("cannot decode " + std::string(*type) + ": " + message);
    }
    SizeCheck check;
    g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(on_size_prepared), &check);

    bool ok = gdk_pixbuf_loader_write(loader.get(), bytes.data(), bytes.size(), &error);
    // close must run even after a failed write, or the loader complains when destroyed.
    GError* close_error = nullptr;
    bool closed = gdk_pixbuf_loader_close(loader.get(), ok ? &close_error : nullptr);
    if (check.too_large) {
        g_clear_error(&error);
        g_clear_error(&close_error);
        return std::unexpected(size_error(check.width, check.height));
    }
    if (!ok || !closed) {
        GError* e = error ? error : close_error;
        std::string message = e ? e->message : "corrupt or truncated data";
        g_clear_error(&error);
        g_clear_error(&close_error);
        return std::unexpected("cannot decode " + std::string(*type) + ": " + message);
    }
    GdkPixbuf* decoded = gdk_pixbuf_loader_get_pixbuf(loader.get());
    if (decoded == nullptr) return std::unexpected(std::string("the image holds no pixels"));
    std::unique_ptr<GdkPixbuf, GObjectDeleter> oriented(
        gdk_pixbuf_apply_embedded_orientation(decoded));
    if (!oriented) return std::unexpected(std::string("cannot orient the image"));
    int w = gdk_pixbuf_get_width(oriented.get());
    int h = gdk_pixbuf_get_height(oriented.get());
    if (!within_limits(w, h)) return std::unexpected(size_error(w, h));
    if (gdk_pixbuf_get_colorspace(oriented.get()) != GDK_COLORSPACE_RGB ||
        gdk_pixbuf_get_bits_per_sample(oriented.get()) != 8 ||
        gdk_pixbuf_get_n_channels(oriented.get()) < 3)
        return std::unexpected(std::string("unsupported pixel layout"));
    return to_premultiplied_argb(oriented.get());
}

}  // namespace vemo_ui
