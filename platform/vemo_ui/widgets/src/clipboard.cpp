#include "vemo_ui/clipboard.hpp"

#include <mutex>

namespace vemo_ui {

namespace {

class InProcessClipboard final : public Clipboard {
  public:
    void set_text(std::string const& text) override {
        std::lock_guard lock(m_mutex);
        m_text = text;
    }

    void request_text(TextCallback done) override {
        std::optional<std::string> text;
        {
            std::lock_guard lock(m_mutex);
            text = m_text;
        }
        if (done) done(std::move(text));
    }

  private:
    std::mutex m_mutex;
    std::optional<std::string> m_text;
};

}  // namespace

std::shared_ptr<Clipboard> Clipboard::in_process() {
    static auto const shared = std::make_shared<InProcessClipboard>();
    return shared;
}

std::shared_ptr<Clipboard> Clipboard::system() {
    if (auto gtk = make_gtk_clipboard()) return gtk;
    return in_process();
}

}  // namespace vemo_ui
