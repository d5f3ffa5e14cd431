#pragma once

#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app_session.hpp"
#include "vemo_actions/encoded_action.hpp"
#include "vemo_ui/automation_command.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/text_renderer.hpp"

namespace vemo_ui::automation {

// A command's result, or the error text its answer carries.
using Answer = std::expected<nlohmann::json, std::string>;

// Runs commands against one application session without a window.
class AutomationHost {
  public:
    explicit AutomationHost(vemo_ui::detail::AppSession& session);

    // One frame: the widget's sync and layout, and a draw when asked (for hit regions and
    // the accessibility tree).
    void frame(bool draw);
    // Live call media flows between commands as it does between a window's repaints: while
    // the widget asks for realtime ticks, the command loop runs them on time. How long the
    // loop may wait for a command before the next tick is due (negative: no tick wanted).
    int realtime_wait_ms();
    // Runs the widget's realtime step when it is due.
    void realtime_tick_if_due();
    // Looks the command up in the table and runs it.
    Answer run(Command const& command);

    vemo_ui::detail::AppSession& session() { return m_session; }
    Widget& widget() { return m_session.widget(); }
    // Dispatches an encoded action or carries out an operation, as a click would, and says
    // what it did: for an action whether the document changed, and why not when a check in
    // the action refused it.
    Answer run_encoded(vemo_actions::EncodedAction const& action);

  private:
    vemo_ui::detail::AppSession& m_session;
    std::optional<double> m_next_realtime_tick;
    ImageCanvas m_canvas;
    TextRenderer m_text;
};

// One automation command: its name and what runs it. To add a command, write a function
// with this signature and add a row to the table in automation.cpp.
struct CommandSpec {
    std::string_view name;
    Answer (*run)(AutomationHost& host, Command const& command);
};

std::span<CommandSpec const> command_table();

}  // namespace vemo_ui::automation
