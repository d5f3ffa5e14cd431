#pragma once

#include <automerge/automerge.hpp>

#include "app/chat_app.hpp"
#include "vemo_ui/shot_frame.hpp"

namespace chat::test {

// A screenshot-style application over a real in-memory document, run frame by frame.
struct Window {
    explicit Window(uint32_t width = 1280, uint32_t height = 800)
        : frame(*vemo_ui::launch::shot_frame::ShotFrame::create(width, height,
                                                                vemo_ui::ThemeKind::Dark)) {}

    // One whole frame: sync at `time`, layout and draw (hit regions are rebuilt by the draw).
    void run(double time = 1000) {
        vemo_ui::FrameContext ctx{&doc, time, 1.0, sharing};
        app.sync(ctx);
        (void)frame.layout(app);
        frame.draw(app);
    }

    HitRegion const* find(std::string const& id) const {
        for (auto const& r : app.hit_regions())
            if (semantic_id(r.target) == id) return &r;
        return nullptr;
    }

    automerge::AutoCommit doc;
    vemo_ui::share::Sharing* sharing = nullptr;
    ChatApp app;
    vemo_ui::launch::shot_frame::ShotFrame frame;
};

// A message written by someone, as another device would send it; a reply when `parent` is set.
// The text goes into JSON as it is: no quotes or backslashes.
inline bool send_message(ChatApp& app, std::string const& channel, std::string const& id,
                         std::string const& author, int64_t ts, std::string const& text,
                         std::string const& parent = "") {
    std::string json = R"({"SendMessage":{"channel":")" + channel + R"(","id":")" + id +
                       R"(","author":")" + author + R"(","ts":)" + std::to_string(ts) +
                       R"(,"text":")" + text + "\"" +
                       (parent.empty() ? "" : R"(,"parent":")" + parent + "\"") + "}}";
    return app.dispatch_encoded({"chat.action", json, std::nullopt}).has_value();
}

inline vemo_ui::KeyEvent key(vemo_ui::Key k, bool shift = false, bool control = false) {
    vemo_ui::KeyEvent e;
    e.key = k;
    e.mods.shift = shift;
    e.mods.control = control;
    return e;
}

inline vemo_ui::PointerEvent pointer(
    vemo_ui::PointerEvent::Kind kind, vemo_ui::Point at,
    vemo_ui::PointerButton button = vemo_ui::PointerButton::Primary) {
    vemo_ui::PointerEvent e;
    e.kind = kind;
    e.position = at;
    e.button = button;
    return e;
}

}  // namespace chat::test
