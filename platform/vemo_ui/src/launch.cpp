#include "vemo_ui/launch.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "toolkit_args.hpp"
#include "window_host.hpp"

#ifndef VEMO_VERSION
#define VEMO_VERSION "0.0.0"
#endif

namespace vemo_ui::launch {

ThemeKind shot_theme(ScreenshotRequest const& request)
{
    if (request.theme && *request.theme == "light") return ThemeKind::Light;
    return ThemeKind::Dark;
}

namespace {

std::optional<uint32_t> parse_dimension(std::string_view s)
{
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v == 0 || v > 16384)
        return std::nullopt;
    return v;
}

std::optional<ShotSize> parse_size(std::string_view s)
{
    size_t x = s.find_first_of("xX");
    if (x == std::string_view::npos) return std::nullopt;
    auto w = parse_dimension(s.substr(0, x));
    auto h = parse_dimension(s.substr(x + 1));
    if (!w || !h) return std::nullopt;
    return ShotSize{*w, *h};
}

// Splits "--name=value" and takes the value from the next argument otherwise.
struct ArgReader {
    std::span<char const* const> args;
    size_t i = 0;

    std::expected<std::string, std::string> value_for(std::string_view name,
                                                      std::optional<std::string_view> inline_value)
    {
        if (inline_value) return std::string(*inline_value);
        if (i + 1 >= args.size() || args[i + 1] == nullptr)
            return std::unexpected("option '" + std::string(name) + "' needs a value");
        return std::string(args[++i]);
    }
};

}  // namespace

std::expected<CommandLine, std::string> parse_command_line(std::span<char const* const> args)
{
    CommandLine cmd;
    bool have_output = false;
    bool have_size = false;
    bool have_theme = false;
    ArgReader r{args};
    for (r.i = 1; r.i < args.size(); ++r.i) {
        if (args[r.i] == nullptr) break;
        std::string_view arg = args[r.i];
        std::optional<std::string_view> inline_value;
        std::string_view name = arg;
        if (arg.starts_with("--")) {
            if (size_t eq = arg.find('='); eq != std::string_view::npos) {
                name = arg.substr(0, eq);
                inline_value = arg.substr(eq + 1);
            }
        }
        auto flag_only = [&]() -> std::expected<void, std::string> {
            if (inline_value) return std::unexpected("option '" + std::string(name) + "' takes no value");
            return {};
        };

        if (name == "--help" || name == "-h") {
            if (auto ok = flag_only(); !ok) return std::unexpected(ok.error());
            cmd.mode = CommandLine::Mode::Help;
            return cmd;
        }
        if (name == "--version") {
            if (auto ok = flag_only(); !ok) return std::unexpected(ok.error());
            cmd.mode = CommandLine::Mode::Version;
            return cmd;
        }
        if (name == "--list-shots") {
            if (auto ok = flag_only(); !ok) return std::unexpected(ok.error());
            cmd.mode = CommandLine::Mode::ListShots;
        } else if (name == "--automation") {
            if (auto ok = flag_only(); !ok) return std::unexpected(ok.error());
            cmd.mode = CommandLine::Mode::Automation;
        } else if (name == "--shot") {
            auto v = r.value_for(name, inline_value);
            if (!v) return std::unexpected(v.error());
            cmd.mode = CommandLine::Mode::Shot;
            cmd.shot.scenario = *v;
        } else if (name == "--output" || name == "-o") {
            auto v = r.value_for(name, inline_value);
            if (!v) return std::unexpected(v.error());
            if (v->empty()) return std::unexpected(std::string("option '--output' needs a path"));
            cmd.shot.output = std::filesystem::path(*v);
            have_output = true;
        } else if (name == "--size") {
            auto v = r.value_for(name, inline_value);
            if (!v) return std::unexpected(v.error());
            auto size = parse_size(*v);
            if (!size)
                return std::unexpected("malformed size '" + *v + "' (expected WIDTHxHEIGHT, e.g. 1280x800)");
            cmd.shot.size = size;
            have_size = true;
        } else if (name == "--theme") {
            auto v = r.value_for(name, inline_value);
            if (!v) return std::unexpected(v.error());
            if (*v != "dark" && *v != "light")
                return std::unexpected("unknown theme '" + *v + "' (expected dark or light)");
            cmd.shot.theme = *v;
            have_theme = true;
        } else if (name == "--frames") {
            auto v = r.value_for(name, inline_value);
            if (!v) return std::unexpected(v.error());
            auto n = parse_dimension(*v);
            if (!n) return std::unexpected("malformed frame count '" + *v + "'");
            cmd.frames = int(*n);
        } else {
            return std::unexpected("unknown option '" + std::string(arg) + "'");
        }
    }
    bool shot_options = have_output || have_size || have_theme;
    if (shot_options && cmd.mode != CommandLine::Mode::Shot)
        return std::unexpected(std::string("--output, --size and --theme go with --shot NAME"));
    if (cmd.frames && cmd.mode != CommandLine::Mode::Window)
        return std::unexpected(std::string("--frames goes with the window mode only"));
    return cmd;
}

std::string usage_text(LaunchConfig const& config, std::string_view program)
{
    std::string s;
    s += "Usage: " + std::string(program) + " [OPTION]...\n";
    s += "Opens the " + config.app_id + " window, or renders a screenshot scenario.\n\n";
    s += "  --shot NAME          render scenario NAME instead of opening a window\n";
    s += "  -o, --output PATH    where the scenario's PNG goes\n";
    s += "  --size WxH           scenario size in pixels (default 1280x800)\n";
    s += "  --theme dark|light   scenario theme (default dark)\n";
    s += "  --list-shots         print the scenario names, one a line\n";
    s += "  --automation         run without a window, answering JSON commands on stdin\n";
    s += "  --frames N           close the window after N frames\n";
    s += "  -h, --help           show this help\n";
    s += "  --version            show the version\n";
    return s;
}

int run(LaunchConfig const& config, std::span<char const* const> args)
{
    std::string program = args.empty() || !args[0]
                              ? std::string("app")
                              : std::filesystem::path(args[0]).filename().string();
    auto cmd = parse_command_line(args);
    if (!cmd) {
        std::cerr << program << ": " << cmd.error() << "\n";
        std::cerr << "Try '" << program << " --help' for more information.\n";
        return 2;
    }
    switch (cmd->mode) {
    case CommandLine::Mode::Help:
        std::cout << usage_text(config, program);
        return 0;
    case CommandLine::Mode::Version:
        std::cout << program << " " << VEMO_VERSION << "\n";
        return 0;
    case CommandLine::Mode::ListShots:
        for (auto const& name : config.screenshot_scenarios) std::cout << name << "\n";
        return 0;
    case CommandLine::Mode::Shot: {
        if (!config.screenshot_writer) {
            std::cerr << program << ": this program has no screenshot scenarios\n";
            return 1;
        }
        auto written = config.screenshot_writer(cmd->shot);
        if (!written) {
            std::cerr << program << ": " << written.error() << "\n";
            return 1;
        }
        return 0;
    }
    case CommandLine::Mode::Automation:
        return detail::run_automation(config, program);
    case CommandLine::Mode::Window:
        detail::adopt_desktop_locale();
        return detail::run_window(config, *cmd, program);
    }
    return 2;
}

void run_or_exit(LaunchConfig const& config, int argc, char** argv)
{
    detail::take_toolkit_args(argc, argv, config.app_id);
    int status = run(config, std::span<char const* const>(argv, size_t(argc)));
    std::cout.flush();
    std::exit(status);
}

}  // namespace vemo_ui::launch
