// The screen-capture request against a stand-in for the desktop portal on a private session
// bus (ctest runs this under dbus-run-session).
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "vemo_ui/screen_capture.hpp"

using namespace vemo_ui::capture;
using namespace std::chrono_literals;

namespace {

std::string read_file(std::string const& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Turns the main loop until `done` holds; a stuck dialogue fails the test instead of hanging.
template <typename F>
bool spin_until(F done, std::chrono::seconds guard = 20s) {
    auto end = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(2ms);
    }
    return true;
}

bool portal_owned(GDBusConnection* bus) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", "org.freedesktop.portal.Desktop"),
        G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    gboolean owned = false;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned;
}

class ScreenCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            GTEST_SKIP() << "needs a private session bus (run under dbus-run-session)";
        m_bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        ASSERT_NE(m_bus, nullptr);
        ASSERT_FALSE(portal_owned(m_bus)) << "a portal already runs on this bus";
        m_log = (std::filesystem::temp_directory_path() /
                 ("vemo-fake-portal-" + std::to_string(getpid()) + ".log"))
                    .string();
        std::filesystem::remove(m_log);
    }
    void TearDown() override {
        stop_portal();
        if (m_bus) g_object_unref(m_bus);
        std::filesystem::remove(m_log);
    }

    void start_portal(std::string const& mode) {
        std::string script = std::string(VEMO_FAKE_PORTAL);
        m_portal = fork();
        ASSERT_GE(m_portal, 0);
        if (m_portal == 0) {
            setenv("VEMO_FAKE_PORTAL_LOG", m_log.c_str(), 1);
            execl("/usr/bin/python3", "python3", script.c_str(), mode.c_str(), "42", nullptr);
            _exit(127);
        }
        ASSERT_TRUE(spin_until([&] { return portal_owned(m_bus); }))
            << "the stand-in never started";
    }
    void stop_portal() {
        if (m_portal <= 0) return;
        kill(m_portal, SIGTERM);
        waitpid(m_portal, nullptr, 0);
        m_portal = -1;
        spin_until([&] { return !portal_owned(m_bus); }, 5s);
    }

    ScreenCaptureRequest::Answer answer_of(ScreenCaptureRequest& request) {
        std::optional<ScreenCaptureRequest::Answer> answer;
        EXPECT_TRUE(spin_until([&] { return (answer = request.poll()).has_value(); }))
            << "no answer";
        if (answer) return std::move(*answer);
        return std::unexpected(std::string("no answer"));
    }

    GDBusConnection* m_bus = nullptr;
    pid_t m_portal = -1;
    std::string m_log;
};

TEST_F(ScreenCaptureTest, AGrantedCastYieldsTheNodeAndARemote) {
    start_portal("grant");
    auto request = request_screen_capture({});
    EXPECT_FALSE(request->poll().has_value());  // the dialogue takes at least a turn of the loop
    auto answer = answer_of(*request);
    ASSERT_TRUE(answer.has_value()) << answer.error();
    EXPECT_EQ(answer->node, 42u);
    EXPECT_EQ(answer->width, 1280);
    EXPECT_EQ(answer->height, 960);
    struct stat st {};
    ASSERT_TRUE(answer->pipewire_remote);
    EXPECT_EQ(fstat(answer->pipewire_remote.get(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    // Monitors and windows offered, the pointer drawn into the stream.
    EXPECT_NE(read_file(m_log).find("SelectSources types=3 cursor_mode=2"), std::string::npos);
    // Answered once only.
    auto again = request->poll();
    ASSERT_TRUE(again.has_value());
    EXPECT_FALSE(again->has_value());

    // The cast ends with the capture: its session is closed at the desktop.
    EXPECT_EQ(read_file(m_log).find("Session.Close"), std::string::npos);
    answer = std::unexpected(std::string("dropped"));
    EXPECT_TRUE(
        spin_until([&] { return read_file(m_log).find("Session.Close") != std::string::npos; }));
}

struct FailureCase {
    char const* mode;
    char const* text;  // the failure text, or its beginning
};

class ScreenCaptureFailure : public ScreenCaptureTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ScreenCaptureFailure, ReportsWhyAsText) {
    start_portal(GetParam().mode);
    auto request = request_screen_capture({});
    auto answer = answer_of(*request);
    ASSERT_FALSE(answer.has_value());
    EXPECT_EQ(answer.error().rfind(GetParam().text, 0), 0u) << answer.error();
}

INSTANTIATE_TEST_SUITE_P(Modes, ScreenCaptureFailure,
                         ::testing::Values(FailureCase{"cancel", "screen sharing was cancelled"},
                                           FailureCase{"fail", "screen capture failed: "},
                                           FailureCase{"vanish", closed_without_answer},
                                           FailureCase{"close", closed_without_answer}),
                         [](auto const& info) { return std::string(info.param.mode); });

TEST_F(ScreenCaptureTest, WithoutAPortalTheRequestFailsInsteadOfHanging) {
    auto request = request_screen_capture({});
    auto answer = answer_of(*request);
    ASSERT_FALSE(answer.has_value());
    EXPECT_EQ(answer.error().rfind("screen capture failed: ", 0), 0u) << answer.error();
}

TEST_F(ScreenCaptureTest, DroppingAPendingRequestWithdrawsIt) {
    start_portal("hold");
    auto request = request_screen_capture({});
    ASSERT_TRUE(spin_until([&] { return read_file(m_log).find("Start") != std::string::npos; }));
    EXPECT_FALSE(request->poll().has_value());
    request.reset();
    // The portal going away afterwards reaches nobody.
    stop_portal();
    for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
}

}  // namespace
