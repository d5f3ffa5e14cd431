#include <gtk/gtk.h>

#include "vemo_ui/clipboard.hpp"

namespace vemo_ui {

namespace {

class GtkTextClipboard final : public Clipboard {
  public:
    explicit GtkTextClipboard(GtkClipboard* clipboard) : m_clipboard(clipboard) {}

    void set_text(std::string const& text) override {
        gtk_clipboard_set_text(m_clipboard, text.data(), gint(text.size()));
        // Keep the text available after a copy even if the owner goes away first.
        gtk_clipboard_set_can_store(m_clipboard, nullptr, 0);
    }

    void request_text(TextCallback done) override {
        auto* pending = new TextCallback(std::move(done));
        gtk_clipboard_request_text(m_clipboard, &GtkTextClipboard::on_text, pending);
    }

  private:
    static void on_text(GtkClipboard*, gchar const* text, gpointer data) {
        auto* pending = static_cast<TextCallback*>(data);
        if (*pending) (*pending)(text != nullptr ? std::optional<std::string>(text) : std::nullopt);
        delete pending;
    }

    GtkClipboard* m_clipboard;
};

}  // namespace

std::shared_ptr<Clipboard> make_gtk_clipboard() {
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) return nullptr;
    GtkClipboard* clipboard = gtk_clipboard_get_for_display(display, GDK_SELECTION_CLIPBOARD);
    if (clipboard == nullptr) return nullptr;
    return std::make_shared<GtkTextClipboard>(clipboard);
}

}  // namespace vemo_ui
