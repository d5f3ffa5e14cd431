#pragma once

#include <functional>
#include <memory>

struct _GSource;

// Runs work on the UI thread as soon as another thread says there is some, instead of at the
// next timer tick: the UI thread's main loop (GLib's default context) dispatches it. Wakes
// that come before the work ran are merged into one run.
namespace chat::media {

class MainLoopWakeup {
  public:
    // `run` is called on the thread that iterates the default main context. A host that
    // never iterates it simply never runs it.
    explicit MainLoopWakeup(std::function<void()> run);
    // After this, `run` is never called again, and wakes from other threads do nothing.
    ~MainLoopWakeup();
    MainLoopWakeup(MainLoopWakeup const&) = delete;
    MainLoopWakeup& operator=(MainLoopWakeup const&) = delete;

    // A function any thread may call, even after this object is gone; it never waits.
    std::function<void()> waker() const;

  private:
    ::_GSource* m_source;
};

}  // namespace chat::media
