// The window's attention: desktop notifications for mentions and replies, the unread count in
// the title, the channel menu's mute, and the person's own settings file.
#include <algorithm>

#include "app/chat_app.hpp"
#include "app/notification_body.hpp"
#include "vemo_ui/desktop.hpp"

namespace chat {

namespace {

std::optional<vemo_ui::ThemeKind> theme_preference(ThemeChoice choice) {
    switch (choice) {
        case ThemeChoice::Light:
            return vemo_ui::ThemeKind::Light;
        case ThemeChoice::Dark:
            return vemo_ui::ThemeKind::Dark;
        case ThemeChoice::System:
            break;
    }
    return std::nullopt;
}

}  // namespace

void ChatApp::load_user_settings_file() {
    m_settings_path = user_settings_path();
    if (m_settings_path) m_settings = load_user_settings(*m_settings_path);
    apply_theme_setting();
}

void ChatApp::apply_theme_setting() {
    vemo_ui::desktop::set_theme_preference(theme_preference(m_settings.theme));
}

void ChatApp::store_user_settings() {
    if (!m_settings_path) return;
    if (auto saved = save_user_settings(*m_settings_path, m_settings); !saved)
        m_status = saved.error();
}

void ChatApp::update_attention() {
    if (!m_interactive) return;
    while (auto target = vemo_ui::desktop::take_activated_target()) open_notified_message(*target);
    if (m_heads == m_attention_heads) return;
    m_attention_heads = m_heads;
    ShownConversation shown{m_nav.channel_id, m_nav.thread_root, vemo_ui::desktop::window_active()};
    auto alerts =
        m_attention.update(m_view, m_nav.local.id, shown, m_settings.muted_channels, now_seconds());
    for (auto const& alert : alerts) {
        if (!m_settings.notifications) break;
        vemo_ui::desktop::notify({alert.message, alert.title,
                                  notification_body(alert.body, notification_server_reads_markup()),
                                  alert.message});
        if (alert.mention) vemo_ui::desktop::request_attention();
    }
    vemo_ui::desktop::set_unread_count(total_unread(m_view));
}

void ChatApp::open_notified_message(std::string const& id) {
    auto it = std::ranges::find(m_view.all_messages, id, &Message::id);
    if (it == m_view.all_messages.end()) return;
    auto const* channel = find_channel(it->channel);
    if (!channel) return;
    reveal_message(channel->workspace, channel->id, it->id, it->parent);
    vemo_ui::desktop::withdraw(id);
}

void ChatApp::add_mute_menu_item(MenuTarget const& target) {
    // Still pictures show the channel menu as it always was; muting is the window's.
    if (!m_interactive) return;
    bool muted = m_settings.muted_channels.contains(target.id);
    m_menu.push(muted ? "Unmute notifications" : "Mute notifications", int(MenuCode::MuteToggle),
                false);
}

bool ChatApp::run_mute_menu_item(int code, MenuTarget const& target) {
    if (MenuCode(code) != MenuCode::MuteToggle) return false;
    if (target.kind != MenuKind::Channel || !find_channel(target.id)) return true;
    if (!m_settings.muted_channels.erase(target.id)) m_settings.muted_channels.insert(target.id);
    store_user_settings();
    return true;
}

}  // namespace chat
