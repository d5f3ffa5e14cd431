#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vemo_ui/persist.hpp"
#include "vemo_ui/share/sharing.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/widget.hpp"

namespace vemo_ui::app {
class App;
}

namespace vemo_ui::launch {

struct ShotSize {
    uint32_t width = 0;
    uint32_t height = 0;
    friend bool operator==(ShotSize const&, ShotSize const&) = default;
};

// A request to render one named scenario into a PNG file instead of opening a window.
struct ScreenshotRequest {
    std::optional<std::filesystem::path> output;
    std::optional<std::string> scenario;
    std::optional<ShotSize> size;
    std::optional<std::string> theme;  // as given on the command line
};

ThemeKind shot_theme(ScreenshotRequest const& request);

struct WindowSize {
    int width = 0;
    int height = 0;
};

struct LaunchConfig {
    std::string app_id;
    std::vector<std::string> mime_types;
    std::vector<std::string> url_schemes;
    std::vector<std::string> desktop_actions;
    std::vector<std::string> extra_locales;
    std::vector<std::string> screenshot_scenarios;
    std::function<std::unique_ptr<Widget>()> factory;
    std::function<std::expected<void, std::string>(ScreenshotRequest const&)> screenshot_writer;
    std::function<void(app::App&)> register_actions;
    std::function<WindowSize()> default_window_size;
    std::function<int()> max_windows;
    std::function<persist::OpenResult(std::string_view app_id, persist::StoreOptions const&)>
        open_store;
    // How the opened document is shared with the user's other devices and people; nothing
    // (or an empty function) keeps it local. Asked once a window or automation session starts.
    std::function<std::optional<share::Options>()> sharing;
    // With single_instance: the bus name that makes a launch unique, when it is narrower than
    // the application id (one instance per data directory, say). Empty function: the app id.
    std::function<std::string()> instance_id;
    bool single_instance = false;
    bool start_hidden = false;
    bool accessibility = false;
    bool automation = false;
};

// What the command line asked for.
struct CommandLine {
    enum class Mode : uint8_t { Window, Shot, ListShots, Help, Version, Automation };
    Mode mode = Mode::Window;
    ScreenshotRequest shot;
    std::optional<int> frames;  // window mode: close after this many frames
};

std::expected<CommandLine, std::string> parse_command_line(std::span<char const* const> args);
std::string usage_text(LaunchConfig const& config, std::string_view program);

// Runs the program the command line asks for and returns its exit status.
int run(LaunchConfig const& config, std::span<char const* const> args);

// Runs and ends the process with the exit status; never returns.
[[noreturn]] void run_or_exit(LaunchConfig const& config, int argc, char** argv);

}  // namespace vemo_ui::launch
