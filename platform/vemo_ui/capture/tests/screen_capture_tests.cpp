// The screen-capture request against a stand-in for the desktop portal on a private session
// bus (ctest runs this under dbus-run-session).
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "portal_stand_in.hpp"
#include "vemo_ui/screen_capture.hpp"

using namespace vemo_ui::capture;
using namespace std::chrono_literals;

namespace {

using vemo_ui::capture::testing::portal_owned;
using vemo_ui::capture::testing::PortalStandIn;
using vemo_ui::capture::testing::spin_until;

class ScreenCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            GTEST_SKIP() << "needs a private session bus (run under dbus-run-session)";
        m_bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        ASSERT_NE(m_bus, nullptr);
        ASSERT_FALSE(portal_owned(m_bus)) << "a portal already runs on this bus";
        m_portal = std::make_unique<PortalStandIn>(m_bus);
    }
    void TearDown() override {
        m_portal.reset();
        if (m_bus) g_object_unref(m_bus);
    }

    void start_portal(std::string const& mode) {
        ASSERT_TRUE(m_portal->start(mode)) << "the stand-in never started";
    }
    void stop_portal() { m_portal->stop(); }
    std::string portal_log() const { return m_portal->log(); }

    ScreenCaptureRequest::Answer answer_of(ScreenCaptureRequest& request) {
        std::optional<ScreenCaptureRequest::Answer> answer;
        EXPECT_TRUE(spin_until([&] { return (answer = request.poll()).has_value(); }))
            << "no answer";
        if (answer) return std::move(*answer);
        return std::unexpected(std::string("no answer"));
    }

    GDBusConnection* m_bus = nullptr;
    std::unique_ptr<PortalStandIn> m_portal;
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
    EXPECT_NE(portal_log().find("SelectSources types=3 cursor_mode=2"), std::string::npos);
    // Answered once only.
    auto again = request->poll();
    ASSERT_TRUE(again.has_value());
    EXPECT_FALSE(again->has_value());

    // The cast ends with the capture: its session is closed at the desktop.
    EXPECT_EQ(portal_log().find("Session.Close"), std::string::npos);
    answer = std::unexpected(std::string("dropped"));
    EXPECT_TRUE(
        spin_until([&] { return portal_log().find("Session.Close") != std::string::npos; }));
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
    ASSERT_TRUE(spin_until([&] { return portal_log().find("Start") != std::string::npos; }));
    EXPECT_FALSE(request->poll().has_value());
    request.reset();
    // The dialogue is closed at the desktop.
    EXPECT_TRUE(
        spin_until([&] { return portal_log().find("Request.Close") != std::string::npos; }));
    // The portal going away afterwards reaches nobody.
    stop_portal();
    for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
}

}  // namespace
