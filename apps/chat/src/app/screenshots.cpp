#include "app/screenshots.hpp"

#include <algorithm>
#include <automerge/automerge.hpp>
#include <iostream>

#include "app/chat_app.hpp"
#include "media/call_session.hpp"
#include "vemo_ui/shot_frame.hpp"

namespace chat {

std::array<std::string_view, 21> const screenshot_scenarios = {
    "narrow",
    "history",
    "compact",
    "starter",
    "people",
    "thread-narrow",
    "collaboration",
    "context",
    "msgmenu",
    "attach",
    "attach-loading",
    "attach-error",
    "edit",
    "composer",
    "call",
    "share",
    "floating-call-attached",
    "floating-call",
    "floating-call-hover",
    "floating-call-returning",
    "floating-call-returned",
};

namespace {

constexpr std::string_view edit_scenario_text =
    "That's the one. Starting a huddle to walk through the grid — jump in. Moving it to 3pm so "
    "the west-coast folks can make it.";
constexpr std::string_view composer_scenario_text =
    "Shipping the composer on the shared TextInput — real caret, selection, and Ctrl+C/V now.\n"
    "Enter sends, Shift+Enter for a new line.\nPlease check teh adress";

// The two workspace files the attachment scenarios show.
std::vector<PickerEntry> demo_picker_entries() {
    auto entry = [](std::string name, std::string source, uint64_t size) {
        PickerEntry e;
        e.path = name;
        e.name = std::move(name);
        e.size = size;
        e.preview_source = std::move(source);
        return e;
    };
    return {entry("call-overlay-v3.png", "vemo-demo://call-grid", 84992),
            entry("design-handoff.png", "vemo-demo://shared-shot", 132480)};
}

}  // namespace

void set_up_scenario(ChatApp& app, std::string_view name) {
    if (name == "narrow") {
        app.close_panels();
        app.close_left_flap();
    } else if (name == "history") {
        app.close_panels();
        app.scroll_back(220);
    } else if (name == "starter") {
        app.set_use_home_seed(true);
    } else if (name == "people") {
        app.open_people_panel();
    } else if (name == "thread-narrow" || name == "collaboration") {
        app.open_thread("m_concept");
    } else if (name == "context") {
        app.open_context_menu({ChatApp::MenuKind::Channel, "c_frontend", ""}, {240, 230});
    } else if (name == "msgmenu") {
        app.close_panels();
        app.open_context_menu({ChatApp::MenuKind::Message, "m_me2", "c_crit"}, {360, 300});
    } else if (name == "attach" || name == "attach-loading" || name == "attach-error") {
        app.show_attachment_picker_for_review(demo_picker_entries());
        if (name == "attach-loading") app.set_attachment_picker_waiting_for_review();
        if (name == "attach-error")
            app.set_status_line("Attachment import failed: file is unavailable");
    } else if (name == "edit") {
        app.close_panels();
        app.set_editing_for_review("c_crit", "m_me2", std::string(edit_scenario_text));
        app.set_thread_focus(false);
    } else if (name == "composer") {
        app.close_panels();
        app.set_thread_focus(false);
        app.set_initial_draft(std::string(composer_scenario_text));
    } else {
        app.close_panels();
    }
}

// Scenarios that show the call: joined after the first sync has seeded the demo.
void set_up_call_scenario(ChatApp& app, std::string_view name) {
    bool floating = name.starts_with("floating-call");
    if (name != "collaboration" && name != "call" && name != "share" && !floating) return;
    app.join_call("c_huddle");
    if (name == "call" || name == "share") app.call_overlay().expanded = true;
    if (name == "share") app.call_session().show_sharing_for_review();
}

void set_up_seeded_scenario(ChatApp& app, std::string_view name) {
    set_up_call_scenario(app, name);
}

std::expected<void, std::string> write_shot(vemo_ui::launch::ScreenshotRequest const& request) {
    using vemo_ui::launch::shot_frame::ShotFrame;
    if (!request.output) return std::unexpected(std::string("missing screenshot output"));

    ChatApp app;
    set_up_scenario(app, request.scenario.value_or(""));
    auto theme = vemo_ui::launch::shot_theme(request);
    auto size = request.size.value_or(vemo_ui::launch::ShotSize{1280, 800});
    auto frame = ShotFrame::create(size.width, size.height, theme);
    if (!frame) return std::unexpected(frame.error());
    automerge::AutoCommit document;
    frame->sync(app, &document);
    set_up_seeded_scenario(app, request.scenario.value_or(""));
    for (auto const& reference : app.shown_image_references()) (void)app.images().get(reference);
    app.images().block_until_idle();
    if (auto laid = frame->layout(app); !laid) return std::unexpected(laid.error().message);
    app.set_up_floating_call_for_review(request.scenario.value_or(""));
    frame->draw(app);
    frame->draw_floating_surfaces(app);
    if (auto written = frame->write_png(*request.output); !written)
        return std::unexpected(written.error());
    std::cout << "chat: wrote shot to " << request.output->string() << "\n";
    return {};
}

}  // namespace chat
