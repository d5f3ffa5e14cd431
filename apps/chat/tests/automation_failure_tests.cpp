// The automation mode under hostile input and failing storage, driven as a separate
// process: malformed lines, termination signals right after an answer, a full disk, log
// lines that must not reach the answers, actions that change nothing, missing history.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "vemo_ui/chunk_recovery.hpp"

using nlohmann::json;
namespace fs = std::filesystem;

extern char** environ;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/chat-automation-failure-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string chat_bin() {
    char const* bin = std::getenv("VEMO_CHAT_BIN");
    return bin ? bin : "vemo-chat";
}

// The program with piped standard input and output and standard error in a file, in an
// environment without a display or session bus.
class Child {
  public:
    Child(std::vector<std::string> argv, fs::path const& data, fs::path const& err) {
        // A child that died early must fail the test, not end it with SIGPIPE.
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string_view v = *e;
            if (v.starts_with("DISPLAY=") || v.starts_with("WAYLAND_DISPLAY=") ||
                v.starts_with("DBUS_SESSION_BUS_ADDRESS=") || v.starts_with("VEMO_CHAT_DATA="))
                continue;
            env.emplace_back(v);
        }
        env.push_back("VEMO_CHAT_DATA=" + data.string());
        env.push_back("VEMO_CHAT_SYNC_LOOPBACK=1");
        std::vector<char*> args, envp;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        for (auto& v : env) envp.push_back(v.data());
        envp.push_back(nullptr);
        int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(e, 2);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(e);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~Child() {
        close_input();
        if (m_out >= 0) ::close(m_out);
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // Writes while taking in what the program answers meanwhile, so that neither side
    // waits on a full pipe.
    void send(std::string const& text) {
        size_t done = 0;
        while (done < text.size()) {
            pollfd p[2] = {{m_in, POLLOUT, 0}, {m_out, POLLIN, 0}};
            if (::poll(p, 2, 60000) <= 0) return;
            if (p[1].revents & POLLIN) read_some();
            if (p[0].revents & (POLLERR | POLLHUP)) return;
            if ((p[0].revents & POLLOUT) == 0) continue;
            ssize_t n =
                ::write(m_in, text.data() + done, std::min<size_t>(text.size() - done, 65536));
            if (n <= 0) return;
            done += size_t(n);
        }
    }
    void close_input() {
        if (m_in >= 0) ::close(m_in);
        m_in = -1;
    }
    // The next answer line; none at the end of output (or after a minute without one).
    std::optional<std::string> line() {
        for (;;) {
            if (auto end = m_buffer.find('\n'); end != std::string::npos) {
                std::string text = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return text;
            }
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 60000) <= 0 || !read_some()) return std::nullopt;
        }
    }
    std::optional<json> answer() {
        auto text = line();
        if (!text) return std::nullopt;
        return json::parse(*text, nullptr, false);
    }
    void signal(int signo) { ::kill(m_pid, signo); }
    int wait() {
        close_input();
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_status = status;
        return status;
    }

  private:
    bool read_some() {
        char buf[65536];
        ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0) return false;
        m_buffer.append(buf, size_t(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    std::optional<int> m_status;
};

bool exited_with(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

json post(std::string const& text) {
    return {{"cmd", "invoke"},
            {"address", "chat.channel:c_general"},
            {"action", "post"},
            {"value", text}};
}

// Every answer of one session over `lines`, which end with "quit" when `quit`.
std::vector<json> run_lines(fs::path const& data, std::vector<std::string> const& lines,
                            fs::path const& err, int* status = nullptr) {
    Child child({chat_bin(), "--automation"}, data, err);
    for (auto const& l : lines) child.send(l + "\n");
    child.close_input();
    std::vector<json> out;
    while (auto a = child.answer()) out.push_back(*a);
    int s = child.wait();
    if (status) *status = s;
    return out;
}

std::string document_text(fs::path const& data, fs::path const& err) {
    auto answers = run_lines(data, {R"({"cmd":"document"})"}, err);
    return answers.empty() ? std::string() : answers[0].dump();
}

class AutomationFailure : public testing::Test {
  protected:
    TempDir dir;
    fs::path data = dir.path / "data";
    fs::path err = dir.path / "stderr.txt";

    std::string stderr_text() const {
        std::ifstream in(err);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(AutomationFailure, EveryMalformedLineGetsAnErrorAndTheSessionGoesOn) {
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::vector<std::string> hostile = {
        R"({"cmd":5})",
        R"({"cmd":null})",
        R"({"cmd":[1,2]})",
        R"({"cmd":{"cmd":"heads"}})",
        "null",
        "[]",
        "42",
        R"("heads")",
        "{}",
        R"({"cmd":"heads")",
        "not json at all",
        "{\"cmd\":\"\xff\"}",
        R"({"cmd":"dispatch","kind":"chat.action","json":)" + deep + "}",
        R"({"cmd":"dispatch","kind":"chat.action","json":")" + std::string(100000, '[') + "\"}",
        R"({"cmd":"dispatch","kind":5,"json":{}})",
        R"({"cmd":"dispatch","kind":"chat.action"})",
        R"({"cmd":"operation","type":[],"json":{}})",
        R"({"cmd":"frames","count":"many"})",
        R"({"cmd":"frames","count":-1})",
        R"({"cmd":"frames","count":1e300})",
        R"({"cmd":"invoke","address":7,"action":"post"})",
        R"({"cmd":"invoke","address":"chat.channel:c_general","action":"post","value":{"a":1}})",
        R"({"cmd":"describe"})",
        R"({"cmd":"semantic","id":[]})",
        R"({"cmd":"nonsense"})",
        R"({"cmd":"heads","pad":")" + std::string(9u << 20, 'x') + "\"}",
        R"({"cmd":"sharing","settle_ms":"soon"})",
        R"({"cmd":"sharing","settle_ms":1.5})",
        R"({"cmd":"sharing","settle_ms":-1})",
        R"({"cmd":"join","invite":"vemo-invite:x","timeout_ms":"1s"})",
        R"({"cmd":"join","invite":"vemo-invite:x","timeout_ms":null})",
        R"({"cmd":"join","invite":5})",
    };
    auto lines = hostile;
    lines.push_back(R"({"cmd":"heads"})");
    int status = 0;
    auto answers = run_lines(data, lines, err, &status);
    EXPECT_TRUE(exited_with(status, 0)) << "status " << status << "\n" << stderr_text();
    ASSERT_EQ(answers.size(), lines.size());
    for (size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(answers[i]["ok"], false) << hostile[i].substr(0, 80);
        EXPECT_TRUE(answers[i]["error"].is_string() &&
                    !answers[i]["error"].get<std::string>().empty())
            << answers[i];
    }
    EXPECT_EQ(answers.back()["ok"], true) << answers.back();
    // Wrong types name the field at fault rather than a library's complaint.
    for (size_t i = 0; i < hostile.size(); ++i) {
        for (auto field : {"settle_ms", "timeout_ms"}) {
            if (hostile[i].find(field) != std::string::npos) {
                EXPECT_NE(answers[i]["error"].get<std::string>().find(field), std::string::npos)
                    << answers[i];
            }
        }
    }
}

class SignalAfterAnswer : public AutomationFailure, public testing::WithParamInterface<int> {};

TEST_P(SignalAfterAnswer, LosesNoAcknowledgedChange) {
    constexpr int posts = 20;
    {
        Child child({chat_bin(), "--automation"}, data, err);
        std::string burst;
        for (int i = 0; i < posts; ++i)
            burst += post("acknowledged " + std::to_string(i)).dump() + "\n";
        child.send(burst);
        for (int i = 0; i < posts; ++i) {
            auto a = child.answer();
            ASSERT_TRUE(a && (*a)["ok"] == true) << (a ? a->dump() : "no answer");
        }
        child.signal(GetParam());
        int status = child.wait();
        if (GetParam() == SIGKILL)
            EXPECT_TRUE(WIFSIGNALED(status));
        else
            EXPECT_TRUE(exited_with(status, 0)) << "status " << status << "\n" << stderr_text();
    }
    auto text = document_text(data, err);
    for (int i = 0; i < posts; ++i)
        EXPECT_NE(text.find("\"acknowledged " + std::to_string(i) + "\""), std::string::npos)
            << "post " << i;
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAfterAnswer,
                         testing::Values(SIGTERM, SIGINT, SIGHUP, SIGKILL),
                         [](auto const& info) { return std::string(sigabbrev_np(info.param)); });

// A small tmpfs in a mount namespace of its own, so the test needs no root on the host.
TEST_F(AutomationFailure, AFullDiskIsInEveryLaterAnswerAndTheExitStatus) {
    fs::path mount = dir.path / "small";
    fs::create_directories(mount);
    if (!fs::exists("/usr/bin/unshare"))
        GTEST_SKIP() << "no unshare(1) to mount a small tmpfs with";
    std::vector<std::string> unshare = {"/usr/bin/unshare", "--mount"};
    if (::geteuid() != 0) unshare.push_back("--map-root-user");
    for (auto const& a :
         std::vector<std::string>{"/bin/sh", "-c",
                                  "mount -t tmpfs -o size=320k tmpfs \"$0\" || exit 77; "
                                  "exec \"$1\" --automation",
                                  mount.string(), chat_bin()})
        unshare.push_back(a);
    Child child(unshare, mount / "data", err);
    child.send(R"({"cmd":"heads"})"
               "\n");
    auto first = child.answer();
    if (!first) {
        int status = child.wait();
        GTEST_SKIP() << "cannot mount a small tmpfs here (status " << status
                     << "): " << stderr_text();
    }
    ASSERT_EQ((*first)["ok"], true);
    EXPECT_FALSE(first->contains("unsaved"));

    std::string big(50000, 'x');
    std::optional<json> failed;
    for (int i = 0; i < 40 && !failed; ++i) {
        big[size_t(i)] = 'y';
        child.send(post(big).dump() + "\n");
        auto a = child.answer();
        ASSERT_TRUE(a);
        if (a->contains("unsaved")) failed = a;
    }
    ASSERT_TRUE(failed) << "the disk never filled";
    EXPECT_NE((*failed)["unsaved"].get<std::string>().find("No space left"), std::string::npos)
        << *failed;

    child.send(post("after the failure").dump() + "\n" + R"({"cmd":"heads"})" + "\n" + "garbage\n" +
               R"({"cmd":"status"})" + "\n");
    for (int i = 0; i < 4; ++i) {
        auto a = child.answer();
        ASSERT_TRUE(a);
        EXPECT_TRUE(a->contains("unsaved")) << *a;
        if (i == 3) {
            EXPECT_NE((*a)["result"]["status"].get<std::string>().find("not being saved"),
                      std::string::npos);
        }
    }
    child.send(R"({"cmd":"quit"})"
               "\n");
    auto quit = child.answer();
    ASSERT_TRUE(quit);
    EXPECT_EQ((*quit)["ok"], false) << *quit;
    EXPECT_TRUE(quit->contains("unsaved")) << *quit;
    EXPECT_TRUE(exited_with(child.wait(), 1));
}

TEST_F(AutomationFailure, StandardOutputCarriesAnswersOnly) {
    run_lines(data, {post("before the damage").dump()}, err);
    {
        std::ofstream out(data / "workspace.automerge", std::ios::binary | std::ios::app);
        out << "garbage tail";
    }
    std::vector<std::string> lines = {
        R"({"cmd":"heads"})",
        R"({"cmd":"dispatch","kind":"chat.action","json":{"SendMessage":{}}})",
        post(std::string(70000, 'z')).dump(),
        R"({"cmd":"frames","count":2})",
    };
    Child child({chat_bin(), "--automation"}, data, err);
    for (auto const& l : lines) child.send(l + "\n");
    child.close_input();
    size_t count = 0;
    while (auto text = child.line()) {
        auto a = json::parse(*text, nullptr, false);
        EXPECT_TRUE(a.is_object() && a.contains("ok"))
            << "not an answer on standard output: " << *text;
        ++count;
    }
    EXPECT_TRUE(exited_with(child.wait(), 0));
    EXPECT_EQ(count, lines.size());
    EXPECT_NE(stderr_text().find("could not be read"), std::string::npos)
        << "the recovery is still logged";
}

TEST_F(AutomationFailure, AnswersSayWhetherTheDocumentChanged) {
    auto send = [](std::string const& channel, std::string const& id, std::string const& text) {
        json action = {{"SendMessage",
                        {{"channel", channel},
                         {"id", id},
                         {"author", "u_agent"},
                         {"ts", 1700000000},
                         {"text", text},
                         {"parent", nullptr},
                         {"mentions", json::array()},
                         {"reference", nullptr},
                         {"attachment", nullptr}}}};
        return json{{"cmd", "dispatch"}, {"kind", "chat.action"}, {"json", action}}.dump();
    };
    auto answers = run_lines(
        data,
        {send("c_general", "m_fixed", "first"), send("c_general", "m_fixed", "again"),
         send("c_nowhere", "m_other", "x"), send("c_general", "m_long", std::string(65537, 'l')),
         R"({"cmd":"operation","type":"view","json":{"OpenChannel":{"workspace":"ws_home","channel":"c_general"}}})"},
        err);
    ASSERT_EQ(answers.size(), 5u);
    for (auto const& a : answers) ASSERT_EQ(a["ok"], true) << a;
    EXPECT_EQ(answers[0]["result"]["changed"], true);
    EXPECT_FALSE(answers[0]["result"].contains("reason"));
    struct Expect {
        size_t index;
        char const* reason;
    };
    for (auto [index, reason] :
         {Expect{1, "taken"}, Expect{2, "no channel 'c_nowhere'"}, Expect{3, "65536"}}) {
        EXPECT_EQ(answers[index]["result"]["changed"], false) << answers[index];
        EXPECT_NE(answers[index]["result"].value("reason", "").find(reason), std::string::npos)
            << answers[index];
    }
    EXPECT_FALSE(answers[4]["result"].contains("changed"))
        << "operations do not touch the document";
}

// Reorder, leave-call and collapse actions that their checks refuse say why; controls
// activated by their semantic ids say whether they wrote anything.
TEST_F(AutomationFailure, RefusedActionsAndSemanticControlsSayWhatHappened) {
    auto dispatch = [](json action) {
        return json{{"cmd", "dispatch"}, {"kind", "chat.action"}, {"json", action}}.dump();
    };
    auto answers = run_lines(
        data,
        {dispatch({{"ReorderChannel", {{"id", "c_general"}, {"up", true}}}}),
         dispatch({{"ReorderChannel", {{"id", "c_nowhere"}, {"up", false}}}}),
         dispatch({{"LeaveCall", {{"channel", "c_lounge"}, {"user", "u_nobody"}}}}),
         dispatch({{"LeaveCall", {{"channel", "c_nowhere"}, {"user", "u_nobody"}}}}),
         dispatch({{"SetCategoryCollapsed", {{"id", "cat_nowhere"}, {"collapsed", true}}}}),
         R"({"cmd":"accessibility"})",
         R"({"cmd":"semantic","id":"chat.category-toggle:cat_home_text"})",
         R"({"cmd":"semantic","id":"chat.channel:c_general"})"},
        err);
    ASSERT_EQ(answers.size(), 8u);
    for (auto const& a : answers) ASSERT_EQ(a["ok"], true) << a;
    struct Expect {
        size_t index;
        char const* reason;
    };
    for (auto [index, reason] : {Expect{0, "first in its category"}, Expect{1, "no channel"},
                                 Expect{2, "not in the call"}, Expect{3, "no call"},
                                 Expect{4, "no category"}}) {
        EXPECT_EQ(answers[index]["result"]["changed"], false) << answers[index];
        EXPECT_NE(answers[index]["result"].value("reason", "").find(reason), std::string::npos)
            << answers[index];
    }
    EXPECT_EQ(answers[6]["result"]["changed"], true) << answers[6];
    EXPECT_EQ(answers[7]["result"]["changed"], false) << answers[7];
    EXPECT_FALSE(answers[7]["result"].contains("reason")) << answers[7];
}

// Drops the first chunk appended after the file had `keep` chunks; every later change
// depends on it.
void drop_chunk(fs::path const& file, size_t keep) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    in.close();
    std::vector<uint8_t> out;
    size_t pos = 0;
    for (size_t index = 0; pos < bytes.size(); ++index) {
        auto extent = vemo_ui::persist::chunk_extent(std::span(bytes).subspan(pos));
        ASSERT_TRUE(extent);
        if (index != keep)
            out.insert(out.end(), bytes.begin() + long(pos), bytes.begin() + long(pos + *extent));
        pos += *extent;
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<char const*>(out.data()), long(out.size()));
}

size_t chunk_count(fs::path const& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    size_t count = 0;
    for (size_t pos = 0; pos < bytes.size(); ++count) {
        auto extent = vemo_ui::persist::chunk_extent(std::span(bytes).subspan(pos));
        if (!extent) break;
        pos += *extent;
    }
    return count;
}

TEST_F(AutomationFailure, ChangesWaitingForMissingHistoryAreShownInTheStatus) {
    run_lines(data, {R"({"cmd":"heads"})"}, err);
    auto file = data / "workspace.automerge";
    size_t before = chunk_count(file);
    run_lines(data, {post("one").dump(), post("two").dump(), post("three").dump()}, err);
    ASSERT_GT(chunk_count(file), before + 2);
    drop_chunk(file, before);

    auto answers = run_lines(data, {R"({"cmd":"status"})"}, err);
    ASSERT_EQ(answers.size(), 1u);
    auto const& status = answers[0]["result"];
    EXPECT_GE(status["waiting_changes"].get<int>(), 2) << status;
    EXPECT_NE(
        status["status"].get<std::string>().find("changes are waiting for history this device does "
                                                 "not have; they will appear when a peer sends it"),
        std::string::npos)
        << status;
}

}  // namespace
