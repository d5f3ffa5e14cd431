// The window's side of attachments: the picker popover's state, starting imports and
// collecting their results once per frame.
#include <cstdio>
#include <fstream>

#include "app/chat_app.hpp"
#include "app/desktop_files.hpp"
#include "doc/ids.hpp"

namespace chat {

namespace {

struct NamedBlob {
    std::string name;
    std::string blob;
};

NamedBlob named_blob(Attachment const& a) {
    return std::visit([](auto const& v) { return NamedBlob{v.name, v.blob}; }, a);
}

std::optional<Attachment> attachment_of(std::vector<Message> const& messages, std::string_view id) {
    auto it = std::ranges::find(messages, id, &Message::id);
    if (it == messages.end()) return std::nullopt;
    return it->attachment;
}

}  // namespace

std::string attachment_source(std::string_view blob) {
    if (blob.starts_with("vemo-demo://")) return std::string(blob);
    return std::string(vemo_ui::ImageStore::blob_scheme) + std::string(blob);
}

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
    begin_import(m_nav.channel_id, std::move(path), thread ? m_nav.thread_root : std::nullopt);
}

// An operation's import is refused while another runs or waits (its caller is told so) rather
// than queued.
bool ChatApp::start_attachment_import(std::string const& channel, std::string const& path) {
    if (import_busy()) return false;
    return can_write() && begin_import(channel, path, std::nullopt);
}

bool ChatApp::begin_import(std::string const& channel, std::filesystem::path path,
                           std::optional<std::string> parent) {
    return begin_import(channel, AttachmentJobs::existing_file(std::move(path)), std::move(parent));
}

bool ChatApp::begin_import(std::string const& channel, AttachmentJobs::FileMaker make,
                           std::optional<std::string> parent, bool pasted) {
    WaitingImport job{channel, std::move(make), std::move(parent), pasted};
    // One import runs at a time: the others wait their turn in the order they came.
    if (import_busy()) {
        if (pasted && std::ranges::count(m_waiting_imports, true, &WaitingImport::pasted) >=
                          ptrdiff_t(max_waiting_pictures)) {
            m_status =
                "Pasted picture not attached: too many attachments are waiting to be "
                "imported";
            return false;
        }
        m_waiting_imports.push_back(std::move(job));
        return true;
    }
    return start_import_now(std::move(job));
}

bool ChatApp::start_import_now(WaitingImport job) {
    switch (m_attachment_jobs.start_import(job.channel, m_identity.id, std::move(job.make),
                                           std::move(job.parent))) {
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
    if (done) {
        auto concluded = conclude_import(*done, can_write(), new_id("m_"), now_seconds());
        m_status = std::move(concluded.status);
        if (concluded.message) dispatch(*concluded.message);
    }
    start_next_waiting_import();
}

void ChatApp::start_next_waiting_import() {
    if (m_waiting_imports.empty()) return;
    // Without write access nothing waiting may be shared any more.
    if (!can_write()) return m_waiting_imports.clear();
    if (m_attachment_jobs.pending_import()) return;  // the next frame tries again
    auto next = std::move(m_waiting_imports.front());
    m_waiting_imports.pop_front();
    // Refused with every import number used up: the rest would be refused alike.
    if (!start_import_now(std::move(next))) m_waiting_imports.clear();
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

bool ChatApp::open_attachment_at(vemo_ui::Point p, std::optional<HitTarget> const& target) {
    // Only where nothing but the message row itself is under the pointer.
    if (target && target->kind != HitKind::MessageMenu) return false;
    for (auto it = m_attachment_boxes.rbegin(); it != m_attachment_boxes.rend(); ++it) {
        if (!it->rect.contains(p)) continue;
        open_attachment(it->attachment);
        return true;
    }
    return false;
}

void ChatApp::open_attachment(Attachment const& attachment) {
    auto [name, blob] = named_blob(attachment);
    if (!qdoc::blobstore::normalize_reference(blob)) {
        m_status = "This attachment is not stored on this device";
        return;
    }
    export_attachment(blob, name, desktop::cached_attachment_path(blob, name), true);
}

void ChatApp::save_attachment_as(Attachment const& attachment) {
    auto [name, blob] = named_blob(attachment);
    if (!qdoc::blobstore::normalize_reference(blob)) {
        m_status = "This attachment is not stored on this device";
        return;
    }
    std::weak_ptr<int> alive = m_alive;
    bool asked =
        desktop::choose_save_path(name, [this, alive, blob, name](std::filesystem::path p) {
            if (alive.lock()) export_attachment(blob, name, std::move(p), false);
        });
    if (!asked) m_status = "Could not save attachment: no desktop to ask where";
}

void ChatApp::export_attachment(std::string blob, std::string name, std::filesystem::path path,
                                bool open) {
    if (m_attachment_export.running()) {
        m_status = "Still writing the previous attachment";
        return;
    }
    m_status = (open ? "Opening " : "Saving ") + name + "…";
    m_attachment_export.start([blob = std::move(blob), name = std::move(name), path, open] {
        return AttachmentExport{path, name, open, desktop::write_blob_to(blob, path)};
    });
}

void ChatApp::poll_attachment_export() {
    auto done = m_attachment_export.poll();
    if (!done) return;
    if (!done->result) {
        m_status = (done->open ? "Could not open attachment: " : "Could not save attachment: ") +
                   done->result.error();
    } else if (done->open) {
        desktop::open_with_default_app(done->path);
        m_status = "Opened " + done->name;
    } else {
        m_status = "Saved " + done->name + " to " + done->path.parent_path().string();
    }
}

void ChatApp::add_attachment_menu_items(MenuTarget const& target) {
    if (!attachment_of(m_view.messages, target.id)) return;
    m_menu.push("Open attachment", int(MenuCode::OpenAttachment), false);
    m_menu.push("Save as…", int(MenuCode::SaveAttachmentAs), false);
}

bool ChatApp::run_attachment_menu_item(int code, MenuTarget const& target) {
    auto menu_code = MenuCode(code);
    if (menu_code != MenuCode::OpenAttachment && menu_code != MenuCode::SaveAttachmentAs)
        return false;
    if (auto attachment = attachment_of(m_view.messages, target.id)) {
        if (menu_code == MenuCode::OpenAttachment)
            open_attachment(*attachment);
        else
            save_attachment_as(*attachment);
    }
    return true;
}

void ChatApp::paste_picture_on(vemo_ui::KeyEvent const& key) {
    bool paste = key.key == vemo_ui::Key::Character && key.mods.control && !key.mods.alt &&
                 (key.character == 'v' || key.character == 'V');
    bool thread = m_thread_composer.is_focused();
    if (!paste || !(thread || m_composer.is_focused()) || !can_write()) return;
    std::weak_ptr<int> alive = m_alive;
    desktop::request_clipboard_picture([this, alive, thread](desktop::ClipboardPicture picture) {
        if (alive.lock()) attach_pasted_picture(std::move(picture), thread);
    });
}

void ChatApp::attach_pasted_picture(desktop::ClipboardPicture picture, bool thread) {
    if (m_nav.channel_id.empty() || !can_write()) return;
    // Pasted pictures go through the same import as picked files, from a file of their own
    // that the import's worker encodes and writes first.
    auto path = desktop::cached_attachment_path(
        "pasted", "pasted-image-" + std::to_string(now_seconds()) + ".png");
    auto make = [picture = std::move(picture),
                 path]() -> std::expected<std::filesystem::path, std::string> {
        auto png = desktop::encode_png(picture);
        if (!png) return std::unexpected(png.error());
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        // Two pictures pasted within a second share a name: the later one gets a number
        // instead of replacing the earlier one's file (imports run one at a time).
        auto target = path;
        for (int n = 2; std::filesystem::exists(target, ec) && n < 10000; ++n)
            target = path.parent_path() /
                     (path.stem().string() + "-" + std::to_string(n) + path.extension().string());
        std::ofstream out(target, std::ios::binary);
        out.write(reinterpret_cast<char const*>(png->data()), std::streamsize(png->size()));
        out.close();
        if (!out) return std::unexpected(std::string("could not keep the pasted picture"));
        return target;
    };
    begin_import(m_nav.channel_id, std::move(make), thread ? m_nav.thread_root : std::nullopt,
                 true);
}

bool ChatApp::drop_files(std::vector<std::string> const& paths, vemo_ui::Point at) {
    if (paths.empty() || m_nav.channel_id.empty() || !can_write()) return false;
    // Dropped on the open thread, the file is a reply; anywhere else it goes to the channel.
    bool thread = m_nav.thread_root && m_regions.right_shown && m_regions.right.contains(at);
    auto parent = thread ? m_nav.thread_root : std::nullopt;
    for (auto const& path : paths) begin_import(m_nav.channel_id, path, parent);
    return true;
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
