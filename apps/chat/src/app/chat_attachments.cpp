// The window's side of attachments: the picker popover's state, starting imports and
// collecting their results once per frame.
#include <cstdio>

#include "app/chat_app.hpp"
#include "doc/ids.hpp"

namespace chat {

std::string file_size_text(uint64_t bytes) {
    char buf[32];
    if (bytes >= 1 << 20)
        std::snprintf(buf, sizeof buf, "%.1f MB", double(bytes) / double(1 << 20));
    else if (bytes >= 1024)
        std::snprintf(buf, sizeof buf, "%.1f KB", double(bytes) / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
}

void ChatApp::open_attachment_picker(bool thread, vemo_ui::Rect anchor) {
    if (!can_write()) return;
    auto start = m_attachment_jobs.open_picker(attachment_directory());
    m_status = start.status;
    m_picker.open = true;
    m_picker.thread = thread && m_nav.thread_root.has_value();
    m_picker.anchor = anchor;
    if (!start.started) return;
    m_picker.waiting = true;
    m_picker.entries.clear();
    m_picker.selected = 0;
}

bool ChatApp::dismiss_attachment_picker() {
    if (!m_picker.open) return false;
    m_picker.open = false;
    m_status = std::string(attach_status::picker_cancelled);
    return true;
}

void ChatApp::pick_attachment(std::string const& choice) {
    auto it = std::ranges::find_if(m_picker.entries,
                                   [&](PickerEntry const& e) { return e.path.string() == choice; });
    if (it == m_picker.entries.end()) return;
    auto path = it->path;
    bool thread = m_picker.thread;
    m_picker.open = false;
    if (m_nav.channel_id.empty() || !can_write()) return;
    auto parent = thread ? m_nav.thread_root : std::nullopt;
    auto started =
        m_attachment_jobs.start_import(m_nav.channel_id, m_identity.id, std::move(path), parent);
    if (started == AttachmentJobs::ImportStart::Accepted)
        m_status = std::string(attach_status::preparing);
    else if (started == AttachmentJobs::ImportStart::Exhausted)
        m_status = std::string(attach_status::import_exhausted);
}

bool ChatApp::start_attachment_import(std::string const& channel, std::string const& path) {
    if (!can_write()) return false;
    switch (m_attachment_jobs.start_import(channel, m_identity.id, path)) {
        case AttachmentJobs::ImportStart::Accepted:
            m_status = std::string(attach_status::preparing);
            return true;
        case AttachmentJobs::ImportStart::Exhausted:
            m_status = std::string(attach_status::import_exhausted);
            return false;
        case AttachmentJobs::ImportStart::Busy:
            return false;
    }
    return false;
}

void ChatApp::poll_attachment_listing() {
    auto done = m_attachment_jobs.poll_listing();
    if (!done) return;
    m_picker.waiting = false;
    m_picker.entries = std::move(done->entries);
    m_picker.selected = 0;
    // A listing that arrives after the picker was closed has nothing left to say.
    if (m_picker.open) m_status = std::move(done->status);
}

void ChatApp::poll_attachment_import() {
    auto done = m_attachment_jobs.poll_import();
    if (!done) return;
    auto concluded = conclude_import(*done, can_write(), new_id("m_"), now_seconds());
    m_status = std::move(concluded.status);
    if (concluded.message) dispatch(*concluded.message);
}

bool ChatApp::handle_picker_key(vemo_ui::KeyEvent const& key) {
    using vemo_ui::Key;
    if (!m_picker.open) return false;
    size_t count = m_picker.entries.size();
    switch (key.key) {
        case Key::Escape:
            return dismiss_attachment_picker();
        case Key::Down:
            if (count) m_picker.selected = (m_picker.selected + 1) % count;
            return true;
        case Key::Up:
            if (count) m_picker.selected = (m_picker.selected + count - 1) % count;
            return true;
        case Key::Enter:
            if (m_picker.selected >= count) return count == 0;
            activate({HitKind::AttachPick, m_picker.entries[m_picker.selected].path.string(),
                      m_picker.entries[m_picker.selected].name});
            return true;
        default:
            return false;
    }
}

void ChatApp::show_attachment_picker_for_review(std::vector<PickerEntry> entries) {
    m_picker = AttachmentPicker{};
    m_picker.open = true;
    m_picker.entries = std::move(entries);
}

void ChatApp::set_attachment_picker_waiting_for_review() {
    m_picker.entries.clear();
    m_picker.waiting = true;
    m_status = std::string(attach_status::loading);
}

}  // namespace chat
