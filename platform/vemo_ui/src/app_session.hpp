#pragma once

#include <expected>
#include <memory>
#include <string>

#include <automerge/automerge.hpp>

#include "frame_driver.hpp"
#include "vemo_ui/app.hpp"
#include "vemo_ui/launch.hpp"
#include "vemo_ui/persist.hpp"
#include "vemo_ui/realtime_continuity.hpp"
#include "vemo_ui/share/sharing.hpp"

namespace vemo_ui::detail {

// Everything one run of an application needs besides a window: the widget, its document
// (from the application's store, or in memory when it keeps none) and its registry. The
// window and the automation host both drive an application through this.
class AppSession {
public:
    static std::expected<std::unique_ptr<AppSession>, std::string> start(launch::LaunchConfig const& config);
    ~AppSession();

    Widget& widget() { return *m_widget; }
    app::App& app() { return m_app; }
    automerge::AutoCommit& document();
    FrameDriver& driver() { return m_driver; }

    // The widget's sync, then the frame's commit so every frame's writes become one change.
    void sync(double now, double ui_scale);
    // Commits after a dispatched action, so each action is a change of its own.
    void commit();
    // Everything committed reaches the disk; for closing and termination signals. A failure
    // is also reported on standard error.
    std::expected<void, std::string> flush();
    // Everything committed so far is handed to the file (see DocumentStore::wait_written).
    std::expected<void, std::string> wait_written();
    // Why saving is failing right now, if it is.
    std::optional<std::string> save_failure() const;
    // The store's status line and the count of changes waiting for missing history.
    std::optional<std::string> store_status() const;
    size_t waiting_changes() const;

    // Between frames: takes in what peers sent. True when the document changed (redraw).
    bool poll_sharing();
    // Null when the document is not shared (no store, or sharing could not start).
    share::Sharing* sharing() { return m_sharing.get(); }
    // While a joined document has not arrived, the application must not see the empty one
    // (it would seed it as a workspace of its own).
    bool adopting() const;

    // Ends the widget's live session (a call) from outside; false when it has none to end.
    bool request_realtime_leave();

private:
    AppSession(std::unique_ptr<Widget> widget, std::unique_ptr<persist::DocumentStore> store);
    // A live session the previous run handed over is offered to the widget once its first
    // sync has read the document; this run's is handed over when the session ends.
    void take_back_realtime_session();
    void hand_over_realtime_session();
    std::expected<void, std::string> start_sharing(launch::LaunchConfig const& config);

    std::unique_ptr<Widget> m_widget;
    FrameDriver m_driver;
    std::unique_ptr<persist::DocumentStore> m_store;
    // Declared after the store it shares, so that it stops first.
    std::unique_ptr<share::Sharing> m_sharing;
    automerge::AutoCommit m_memory_document;  // when the application keeps no store
    app::App m_app;
    std::string m_last_status;
    std::optional<realtime_continuity::Store> m_handover;
    std::optional<std::string> m_kept_session;
};

}  // namespace vemo_ui::detail
