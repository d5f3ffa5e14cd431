// Runs the real program binary and checks what a user sees: exit statuses, messages, files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

Run run_chat(std::string const& args)
{
    char const* bin = std::getenv("VEMO_CHAT_BIN");
    if (!bin) return {};
    fs::path err_file = fs::temp_directory_path() / ("chat-launch-err-" + std::to_string(getpid()));
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY VEMO_CHAT_DATA=" +
                      (fs::temp_directory_path() / "chat-launch-data").string() + " '" + bin +
                      "' " + args + " 2>" + err_file.string();
    Run r;
    FILE* p = popen(cmd.c_str(), "r");
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream e(err_file);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    fs::remove(err_file);
    return r;
}

std::pair<uint32_t, uint32_t> png_size(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::array<unsigned char, 24> h{};
    in.read(reinterpret_cast<char*>(h.data()), h.size());
    if (!in || h[1] != 'P' || h[2] != 'N' || h[3] != 'G') return {0, 0};
    auto be = [&](int i) { return uint32_t(h[i]) << 24 | uint32_t(h[i + 1]) << 16 | uint32_t(h[i + 2]) << 8 | h[i + 3]; };
    return {be(16), be(20)};
}

}  // namespace

TEST(ChatCommandLine, ListsTheScenarios)
{
    ASSERT_NE(std::getenv("VEMO_CHAT_BIN"), nullptr);
    auto r = run_chat("--list-shots");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> names;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) names.push_back(line);
    ASSERT_EQ(names.size(), 21u);
    EXPECT_EQ(names.front(), "narrow");
    EXPECT_EQ(names.back(), "floating-call-returned");
}

TEST(ChatCommandLine, ErrorsAndStatuses)
{
    struct Case {
        std::string args;
        int status;
        std::string err_part;
        std::string out_part;
    };
    std::vector<Case> cases = {
        {"--bogus", 2, "vemo-chat: unknown option '--bogus'", ""},
        {"--shot compact --size 800", 2, "malformed size '800'", ""},
        {"--shot compact", 1, "vemo-chat: missing screenshot output", ""},
        {"--help", 0, "", "--shot NAME"},
        {"--version", 0, "", "vemo-chat "},
        {"", 1, "no display", ""},
        // The toolkit's own options are taken; ours are still checked after them.
        {"--class Chat --name chat --version", 0, "", "vemo-chat "},
        {"--gtk-debug=misc --gdk-debug events --version", 0, "", "vemo-chat "},
        {"--gtk-debug --bogus", 2, "vemo-chat: unknown option '--bogus'", ""},
        {"--display=:4242 --bogus", 2, "vemo-chat: unknown option '--bogus'", ""},
        {"--display :4242", 1, "no display", ""},
    };
    for (auto const& c : cases) {
        auto r = run_chat(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << c.args << ": " << r.err;
        EXPECT_NE(r.out.find(c.out_part), std::string::npos) << c.args << ": " << r.out;
        // A usage error is one line plus the hint, never a dump.
        if (c.status == 2) {
            EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2);
        }
    }
}

TEST(ChatCommandLine, WritesScreenshotsAtTheRequestedSize)
{
    fs::path dir = fs::temp_directory_path() / ("chat-shots-" + std::to_string(getpid()));
    fs::create_directories(dir);
    struct Case {
        std::string args;
        std::pair<uint32_t, uint32_t> size;
    };
    std::vector<Case> cases = {
        {"--shot compact", {1280, 800}},
        {"--shot narrow --size 700x900 --theme light", {700, 900}},
        {"--shot no-such-scenario --size 320x200", {320, 200}},
    };
    int i = 0;
    for (auto const& c : cases) {
        fs::path out = dir / ("shot" + std::to_string(i++) + ".png");
        auto r = run_chat(c.args + " --output " + out.string());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "chat: wrote shot to " + out.string() + "\n");
        EXPECT_EQ(png_size(out), c.size) << c.args;
    }
    fs::remove_all(dir);
}
