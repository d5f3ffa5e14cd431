#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vemo_ui {

// The system clipboard as text. Reading may take a round trip to another program, so it is
// a request whose answer arrives later on the UI thread; nothing here ever blocks.
class Clipboard {
  public:
    using TextCallback = std::function<void(std::optional<std::string>)>;

    virtual ~Clipboard() = default;
    virtual void set_text(std::string const& text) = 0;
    // `done` runs exactly once, on the UI thread, with the text or none when the clipboard
    // holds no text. A backend may call it before returning.
    virtual void request_text(TextCallback done) = 0;

    // The clipboard of the display when a GTK display is open, else the in-process one.
    static std::shared_ptr<Clipboard> system();
    // A clipboard shared by everything in this process, for headless runs and tests.
    static std::shared_ptr<Clipboard> in_process();
};

// The display's CLIPBOARD selection through GTK; none when no display is open.
std::shared_ptr<Clipboard> make_gtk_clipboard();

}  // namespace vemo_ui
