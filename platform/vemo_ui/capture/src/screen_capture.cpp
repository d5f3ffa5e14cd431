#include "vemo_ui/screen_capture.hpp"

#include <gio/gio.h>
#include <libportal-gtk3/portal-gtk3.h>
#include <libportal/portal.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace vemo_ui::capture {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (m_fd >= 0) ::close(m_fd);
}

namespace {

constexpr char const* portal_bus_name = "org.freedesktop.portal.Desktop";

// What the request's callbacks share with its handle. The dialogue's callbacks run on the
// UI thread's main context; the PipeWire remote is opened on a short-lived worker, so the
// answer is guarded.
struct State {
    std::mutex mutex;
    std::optional<ScreenCaptureRequest::Answer> answer;
    bool withdrawn = false;    // the handle was dropped; nobody wants the answer
    bool portal_seen = false;  // the portal's name had an owner at some point
    bool answering = false;    // granted; the worker is fetching the remote

    void finish(ScreenCaptureRequest::Answer result) {
        std::lock_guard lock(mutex);
        if (answer || withdrawn) return;
        answer = std::move(result);
    }
    bool wanted() {
        std::lock_guard lock(mutex);
        return !withdrawn && !answer;
    }
};

using StateRef = std::shared_ptr<State>;

// Session handles are shared by the request (until answered) and the granted capture (for
// as long as the cast runs); the last owner closes the desktop's session.
std::shared_ptr<void> keep_session(XdpSession* session) {
    return std::shared_ptr<void>(g_object_ref(session), [](void* s) {
        auto* session = static_cast<XdpSession*>(s);
        if (xdp_session_get_session_state(session) != XDP_SESSION_CLOSED)
            xdp_session_close(session);
        g_object_unref(session);
    });
}

std::string failure_text(GError const* error) {
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return "screen sharing was cancelled";
    return std::string("screen capture failed: ") + (error ? error->message : "unknown error");
}

// The first stream of the session: its node and, when reported, its size.
std::optional<ScreenCapture> first_stream(XdpSession* session) {
    GVariant* streams = xdp_session_get_streams(session);
    if (!streams || !g_variant_is_of_type(streams, G_VARIANT_TYPE("a(ua{sv})")) ||
        g_variant_n_children(streams) == 0)
        return std::nullopt;
    ScreenCapture capture;
    GVariant* props = nullptr;
    g_variant_get_child(streams, 0, "(u@a{sv})", &capture.node, &props);
    int32_t w = 0, h = 0;
    if (props && g_variant_lookup(props, "size", "(ii)", &w, &h) && w > 0 && h > 0) {
        capture.width = w;
        capture.height = h;
    }
    if (props) g_variant_unref(props);
    return capture;
}

void session_closed(XdpSession*, gpointer data) {
    // libportal also marks the session closed just before it reports a refused or failed
    // start; that report is the better answer, so the closing is judged a turn later.
    auto state = static_cast<std::weak_ptr<State>*>(data)->lock();
    if (!state) return;
    g_idle_add_full(
        G_PRIORITY_LOW,
        [](gpointer d) -> gboolean {
            auto& state = *static_cast<StateRef*>(d);
            if (!state->answering)
                state->finish(std::unexpected(std::string(closed_without_answer)));
            return G_SOURCE_REMOVE;
        },
        new StateRef(state), [](gpointer d) { delete static_cast<StateRef*>(d); });
}

void on_started(GObject* source, GAsyncResult* result, gpointer data) {
    StateRef state = std::move(*static_cast<StateRef*>(data));
    delete static_cast<StateRef*>(data);
    auto* session = XDP_SESSION(source);
    GError* error = nullptr;
    bool ok = xdp_session_start_finish(session, result, &error);
    if (!state->wanted()) {
        g_clear_error(&error);
        return;
    }
    if (!ok) {
        state->finish(std::unexpected(failure_text(error)));
        g_error_free(error);
        return;
    }
    auto capture = first_stream(session);
    if (!capture) {
        state->finish(std::unexpected(std::string("the desktop granted no screen to capture")));
        return;
    }
    capture->session = keep_session(session);
    state->answering = true;
    // Opening the remote is a blocking D-Bus call in libportal; it must not hold up the UI.
    std::thread([state, capture = std::move(*capture)]() mutable {
        int fd = xdp_session_open_pipewire_remote(static_cast<XdpSession*>(capture.session.get()));
        capture.pipewire_remote = UniqueFd(fd);
        state->finish(std::move(capture));
    }).detach();
}

struct StartContext {
    StateRef state;
    XdpParent* parent;
    GCancellable* cancellable;
};

void on_created(GObject* source, GAsyncResult* result, gpointer data) {
    auto* context = static_cast<StartContext*>(data);
    StateRef state = std::move(context->state);
    XdpParent* parent = context->parent;
    GCancellable* cancellable = context->cancellable;
    delete context;
    GError* error = nullptr;
    XdpSession* session =
        xdp_portal_create_screencast_session_finish(XDP_PORTAL(source), result, &error);
    if (!state->wanted() || !session) {
        if (session) {
            xdp_session_close(session);
            g_object_unref(session);
        } else if (state->wanted()) {
            state->finish(std::unexpected(failure_text(error)));
        }
        g_clear_error(&error);
        if (parent) xdp_parent_free(parent);
        g_object_unref(cancellable);
        return;
    }
    g_signal_connect_data(
        session, "closed", G_CALLBACK(session_closed), new std::weak_ptr<State>(state),
        [](gpointer d, GClosure*) { delete static_cast<std::weak_ptr<State>*>(d); },
        GConnectFlags(0));
    xdp_session_start(session, parent, cancellable, on_started, new StateRef(state));
    if (parent) xdp_parent_free(parent);
    g_object_unref(cancellable);
    g_object_unref(session);  // the start call holds its own reference
}

void portal_appeared(GDBusConnection*, char const*, char const*, gpointer data) {
    if (auto state = static_cast<std::weak_ptr<State>*>(data)->lock()) {
        std::lock_guard lock(state->mutex);
        state->portal_seen = true;
    }
}

void portal_vanished(GDBusConnection*, char const*, gpointer data) {
    auto state = static_cast<std::weak_ptr<State>*>(data)->lock();
    if (!state) return;
    bool seen;
    {
        std::lock_guard lock(state->mutex);
        seen = state->portal_seen;
    }
    // Before the portal first appears it may still be started on demand by our call.
    if (seen && !state->answering)
        state->finish(std::unexpected(std::string(closed_without_answer)));
}

class PortalRequest final : public ScreenCaptureRequest {
  public:
    explicit PortalRequest(StateRef state) : m_state(std::move(state)) {}
    PortalRequest(StateRef state, GDBusConnection* bus, XdpPortal* portal)
        : m_state(std::move(state)),
          m_bus(bus),
          m_portal(portal),
          m_cancellable(g_cancellable_new()) {
        m_watch = g_bus_watch_name_on_connection(
            bus, portal_bus_name, G_BUS_NAME_WATCHER_FLAGS_NONE, portal_appeared, portal_vanished,
            new std::weak_ptr<State>(m_state),
            [](gpointer d) { delete static_cast<std::weak_ptr<State>*>(d); });
    }
    GCancellable* cancellable() const { return m_cancellable; }

    ~PortalRequest() override {
        std::optional<Answer> untaken;
        {
            std::lock_guard lock(m_state->mutex);
            m_state->withdrawn = true;
            untaken = std::move(m_state->answer);
            m_state->answer.reset();
        }
        // An answer nobody took closes its session here, outside the lock: closing emits the
        // session's "closed" signal, whose handler takes the lock.
        untaken.reset();
        // Withdraws a dialogue that is still open on the desktop.
        if (m_cancellable) {
            g_cancellable_cancel(m_cancellable);
            g_object_unref(m_cancellable);
        }
        stop_watching();
        if (m_portal) g_object_unref(m_portal);
        if (m_bus) g_object_unref(m_bus);
    }

    std::optional<Answer> poll() override {
        std::lock_guard lock(m_state->mutex);
        if (m_taken)
            return Answer(
                std::unexpected(std::string("the screen-capture answer was already collected")));
        if (!m_state->answer) return std::nullopt;
        m_taken = true;
        auto answer = std::move(*m_state->answer);
        m_state->answer.reset();
        m_state->withdrawn = true;
        return answer;
    }

  private:
    void stop_watching() {
        if (m_watch) g_bus_unwatch_name(m_watch);
        m_watch = 0;
    }

    StateRef m_state;
    GDBusConnection* m_bus = nullptr;
    XdpPortal* m_portal = nullptr;
    GCancellable* m_cancellable = nullptr;
    guint m_watch = 0;
    bool m_taken = false;
};

}  // namespace

std::unique_ptr<ScreenCaptureRequest> request_screen_capture(ScreenCaptureOptions const& options) {
    auto state = std::make_shared<State>();
    GError* error = nullptr;
    // libportal assumes a session bus and crashes without one, so look first.
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        state->finish(std::unexpected(std::string("screen capture needs a desktop session: ") +
                                      (error ? error->message : "no session bus")));
        g_clear_error(&error);
        return std::make_unique<PortalRequest>(state);
    }
    XdpPortal* portal = xdp_portal_new();
    auto request = std::make_unique<PortalRequest>(state, bus, portal);

    int outputs =
        (options.monitors ? XDP_OUTPUT_MONITOR : 0) | (options.windows ? XDP_OUTPUT_WINDOW : 0);
    if (outputs == 0) outputs = XDP_OUTPUT_MONITOR;
    XdpParent* parent =
        options.parent_window ? xdp_parent_new_gtk(GTK_WINDOW(options.parent_window)) : nullptr;
    xdp_portal_create_screencast_session(
        portal, XdpOutputType(outputs), XDP_SCREENCAST_FLAG_NONE,
        options.show_cursor ? XDP_CURSOR_MODE_EMBEDDED : XDP_CURSOR_MODE_HIDDEN,
        XDP_PERSIST_MODE_NONE, nullptr, request->cancellable(), on_created,
        new StartContext{state, parent, G_CANCELLABLE(g_object_ref(request->cancellable()))});
    return request;
}

}  // namespace vemo_ui::capture
