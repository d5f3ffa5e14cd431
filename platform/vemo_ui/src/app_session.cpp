#include "app_session.hpp"

#include <iostream>
#include <utility>

namespace vemo_ui::detail {

AppSession::AppSession(std::unique_ptr<Widget> widget, std::unique_ptr<persist::DocumentStore> store)
    : m_widget(std::move(widget)), m_driver(*m_widget), m_store(std::move(store))
{
}

AppSession::~AppSession()
{
    hand_over_realtime_session();
    (void)flush();
    m_sharing.reset();
}

std::expected<std::unique_ptr<AppSession>, std::string> AppSession::start(launch::LaunchConfig const& config)
{
    std::unique_ptr<persist::DocumentStore> store;
    if (config.open_store) {
        auto opened = config.open_store(config.app_id, persist::StoreOptions{});
        if (!opened) return std::unexpected("cannot open the document: " + opened.error());
        store = std::move(*opened);
    }
    if (!config.factory) return std::unexpected(std::string("nothing to run (no application factory)"));
    auto widget = config.factory();
    if (!widget) return std::unexpected(std::string("the application could not be built"));
    auto session = std::unique_ptr<AppSession>(new AppSession(std::move(widget), std::move(store)));
    if (config.register_actions) config.register_actions(session->m_app);
    if (auto shared = session->start_sharing(config); !shared) return std::unexpected(shared.error());
    if (session->m_store) {
        if (auto status = session->m_store->status()) std::cerr << *status << "\n";
        auto beside = session->m_store->path();
        beside += ".realtime";
        session->m_handover.emplace(beside);
        session->m_kept_session = session->m_handover->take(realtime_continuity::wall_seconds());
    }
    return session;
}

automerge::AutoCommit& AppSession::document()
{
    return m_store ? m_store->document() : m_memory_document;
}

std::expected<void, std::string> AppSession::start_sharing(launch::LaunchConfig const& config)
{
    if (!m_store || !config.sharing) return {};
    auto options = config.sharing();
    if (!options) return {};
    bool joining = options->join.has_value();
    auto started = share::Sharing::start(*m_store, std::move(*options));
    if (!started) {
        // Without a network the document still works locally; a join cannot.
        if (joining) return std::unexpected(started.error());
        std::cerr << "sharing is off: " << started.error() << "\n";
        return {};
    }
    m_sharing = std::move(*started);
    return {};
}

bool AppSession::poll_sharing()
{
    if (!m_sharing) return false;
    return m_sharing->poll();
}

bool AppSession::adopting() const
{
    if (!m_sharing) return false;
    auto state = m_sharing->join_state();
    return state == share::JoinState::Waiting || state == share::JoinState::Failed;
}

void AppSession::sync(double now, double ui_scale)
{
    poll_sharing();
    m_driver.sync(adopting() ? nullptr : &document(), now, ui_scale, m_sharing.get());
    commit();
    if (!adopting()) take_back_realtime_session();
    if (m_store) {
        m_store->tick(std::chrono::steady_clock::now());
        auto status = m_store->status().value_or("");
        if (status != m_last_status) {
            if (!status.empty()) std::cerr << status << "\n";
            m_widget->set_document_status(status);
        }
        m_last_status = status;
    }
}

void AppSession::commit()
{
    if (m_store)
        m_store->commit_frame();
    else
        m_memory_document.commit();
}

std::expected<void, std::string> AppSession::flush()
{
    if (!m_store) return {};
    auto flushed = m_store->flush();
    if (!flushed) std::cerr << "could not save the document: " << flushed.error() << "\n";
    return flushed;
}

std::expected<void, std::string> AppSession::wait_written()
{
    if (!m_store) return {};
    return m_store->wait_written();
}

std::optional<std::string> AppSession::save_failure() const
{
    return m_store ? m_store->save_failure() : std::nullopt;
}

std::optional<std::string> AppSession::store_status() const
{
    return m_store ? m_store->status() : std::nullopt;
}

size_t AppSession::waiting_changes() const
{
    return m_store ? m_store->waiting_changes() : 0;
}

void AppSession::take_back_realtime_session()
{
    auto kept = std::exchange(m_kept_session, std::nullopt);
    auto* participant = m_widget->realtime_participant();
    if (kept && participant && !realtime_continuity::take_back(*participant, *kept))
        std::cerr << "the call of the previous run could not be resumed\n";
}

void AppSession::hand_over_realtime_session()
{
    auto* participant = m_widget->realtime_participant();
    if (!m_handover || !participant) return;
    auto kept = realtime_continuity::hand_over(*participant, *m_handover, realtime_continuity::wall_seconds());
    if (!kept) std::cerr << "could not keep the running call for the next start: " << kept.error() << "\n";
}

bool AppSession::request_realtime_leave()
{
    auto* participant = m_widget->realtime_participant();
    if (!participant || !participant->export_continuation()) return false;
    participant->request_leave();
    return true;
}

}  // namespace vemo_ui::detail
