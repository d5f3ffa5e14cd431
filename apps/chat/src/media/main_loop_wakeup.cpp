#include "media/main_loop_wakeup.hpp"

#include <glib.h>

#include <utility>

namespace chat::media {

namespace {

struct WakeSource {
    GSource base;
    std::function<void()>* run;
};

gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
    g_source_set_ready_time(source, -1);
    auto* self = reinterpret_cast<WakeSource*>(source);
    (*self->run)();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs funcs = {nullptr, nullptr, dispatch, nullptr, nullptr, nullptr};

}  // namespace

MainLoopWakeup::MainLoopWakeup(std::function<void()> run)
    : m_source(g_source_new(&funcs, sizeof(WakeSource))) {
    reinterpret_cast<WakeSource*>(m_source)->run = new std::function<void()>(std::move(run));
    // Before drawing and input: a packet waiting here is sound that comes late.
    g_source_set_priority(m_source, G_PRIORITY_HIGH);
    g_source_set_name(m_source, "call media");
    g_source_attach(m_source, nullptr);
}

MainLoopWakeup::~MainLoopWakeup() {
    // Destroyed on the loop's own thread, the source is not dispatched again, so the work
    // can go; the source itself lives on for wakers still held by other threads.
    g_source_destroy(m_source);
    delete std::exchange(reinterpret_cast<WakeSource*>(m_source)->run, nullptr);
    g_source_unref(m_source);
}

std::function<void()> MainLoopWakeup::waker() const {
    // Setting the ready time is safe from any thread and does nothing once the source is
    // destroyed; the reference keeps its memory alive for as long as a waker exists.
    std::shared_ptr<GSource> source(g_source_ref(m_source), g_source_unref);
    return [source] { g_source_set_ready_time(source.get(), 0); };
}

}  // namespace chat::media
