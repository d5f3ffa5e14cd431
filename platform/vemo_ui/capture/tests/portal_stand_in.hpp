#pragma once

// Runs fake_screencast_portal.py on the test's session bus and turns the main loop while
// waiting for it, for the screen-capture tests.
#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace vemo_ui::capture::testing {

using namespace std::chrono_literals;

// Turns the default main context until `done` holds; false when the guard ran out, so a
// stuck dialogue fails a test instead of hanging it.
template <typename F>
bool spin_until(F done, std::chrono::seconds guard = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(2ms);
    }
    return true;
}

inline bool portal_owned(GDBusConnection* bus) {
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

class PortalStandIn {
  public:
    explicit PortalStandIn(GDBusConnection* bus)
        : m_bus(bus),
          m_log((std::filesystem::temp_directory_path() /
                 ("vemo-fake-portal-" + std::to_string(getpid()) + ".log"))
                    .string()) {
        std::filesystem::remove(m_log);
    }
    ~PortalStandIn() {
        stop();
        std::filesystem::remove(m_log);
    }

    // False when the stand-in did not come up.
    bool start(std::string const& mode, uint32_t node = 42) {
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            setenv("VEMO_FAKE_PORTAL_LOG", m_log.c_str(), 1);
            std::string node_text = std::to_string(node);
            execl("/usr/bin/python3", "python3", VEMO_FAKE_PORTAL, mode.c_str(), node_text.c_str(),
                  nullptr);
            _exit(127);
        }
        return spin_until([&] { return portal_owned(m_bus); });
    }
    void stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        spin_until([&] { return !portal_owned(m_bus); }, std::chrono::seconds(5));
    }
    // Every call the stand-in received, one line each.
    std::string log() const {
        std::ifstream in(m_log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    GDBusConnection* m_bus;
    std::string m_log;
    pid_t m_pid = -1;
};

}  // namespace vemo_ui::capture::testing
