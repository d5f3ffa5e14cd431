// The person's settings in the window: a button in the identity bar and a small popover with
// the theme (system, light, dark), desktop notifications and sound cues, kept in their own
// settings file.
#include "app/chat_app.hpp"
#include "app/draw_support.hpp"
#include "audio/call_audio.hpp"
#include "media/call_session.hpp"
#include "vemo_ui/desktop.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

using vemo_ui::DrawContext;
using vemo_ui::FontWeight;
using vemo_ui::Rect;

namespace {

constexpr double popover_width = 280;
constexpr double popover_height = 214;
constexpr double pad = 16;

struct ThemeOption {
    char const* key;
    char const* label;
    ThemeChoice choice;
};
constexpr ThemeOption theme_options[] = {{"system", "System", ThemeChoice::System},
                                         {"light", "Light", ThemeChoice::Light},
                                         {"dark", "Dark", ThemeChoice::Dark}};

void centred(DrawContext& ctx, Rect r, std::string const& text, double size, vemo_ui::Color c) {
    auto m = ctx.text.measure(text, size, FontWeight::Semibold);
    ctx.text.draw_text_weighted(ctx.painter, text,
                                {r.center().x - m.width / 2, r.center().y - m.height / 2}, size,
                                FontWeight::Semibold, c);
}

void switch_control(DrawContext& ctx, Rect r, bool on) {
    auto const& t = ctx.theme;
    ctx.painter.fill_rounded_rect(r, r.height / 2, on ? t.accent : t.hover_fill);
    if (!on) ctx.painter.stroke_rounded_rect(r, r.height / 2, t.hairline_strong, 1);
    double knob = r.height - 6;
    double x = on ? r.right() - knob - 3 : r.x + 3;
    ctx.painter.fill_ellipse(Rect{x, r.y + 3, knob, knob}, on ? t.accent_text : t.text_secondary);
}

}  // namespace

void ChatApp::draw_settings_button(DrawContext& ctx, Rect bar) {
    if (!m_interactive) return;
    auto const& t = ctx.theme;
    double right = bar.right() - (m_sharing ? 74 : 40);
    Rect r{right, bar.center().y - 14, 28, 28};
    ctx.painter.fill_rounded_rect(r, 8, m_settings_open ? t.selected_fill : t.hover_fill);
    centred(ctx, r, "⚙", 16, t.text_primary);
    m_settings_anchor = r;
    hit(r, {HitKind::SettingsOpen});
}

void ChatApp::draw_settings_popover(DrawContext& ctx, Rect content) {
    if (!m_settings_open) return;
    auto const& t = ctx.theme;
    hit(content, {HitKind::Dismiss});
    double x = std::max(content.x + 8, m_settings_anchor.x - 16);
    double y = std::max(content.y + 8, m_settings_anchor.y - popover_height - 8);
    Rect card{x, y, popover_width, popover_height};
    vemo_ui::surface::card(ctx.painter, t, card, 12, t.elevated_fill,
                           vemo_ui::surface::Elevation::High);
    hit(card, {HitKind::FocusMain});  // clicks on the card stay in it
    double ix = card.x + pad, iy = card.y + pad, inner = card.width - 2 * pad;
    ctx.text.draw_text_weighted(ctx.painter, "Settings", {ix, iy}, 16, FontWeight::Semibold,
                                t.text_primary);
    Rect close{card.right() - 40, card.y + 10, 28, 28};
    centred(ctx, close, "✕", 14, t.text_secondary);
    hit(close, {HitKind::SettingsClose});

    iy += 32;
    ctx.text.draw_text_weighted(ctx.painter, "Theme", {ix, iy}, 12, FontWeight::Semibold,
                                t.text_secondary);
    iy += 20;
    double seg = inner / 3;
    for (size_t i = 0; i < std::size(theme_options); ++i) {
        auto const& o = theme_options[i];
        Rect r{ix + double(i) * seg, iy, seg - 4, 30};
        bool on = m_settings.theme == o.choice;
        ctx.painter.fill_rounded_rect(r, 7, on ? t.accent : t.hover_fill);
        centred(ctx, r, o.label, 13, on ? t.accent_text : t.text_primary);
        hit(r, {HitKind::SettingsTheme, o.key});
    }
    iy += 46;
    auto row = [&](char const* label, bool on, HitKind kind) {
        ctx.text.draw_text_weighted(ctx.painter, label, {ix, iy + 4}, 14, FontWeight::Regular,
                                    t.text_primary);
        Rect sw{card.right() - pad - 44, iy, 44, 24};
        switch_control(ctx, sw, on);
        hit(Rect{ix, iy - 4, inner, 32}, {kind});
        iy += 40;
    };
    row("Desktop notifications", m_settings.notifications, HitKind::SettingsNotifications);
    row("Sound cues", m_settings.sounds, HitKind::SettingsSounds);
}

void ChatApp::activate_settings(HitTarget const& target) {
    switch (target.kind) {
        case HitKind::SettingsOpen:
            m_settings_open = !m_settings_open;
            return;
        case HitKind::SettingsClose:
            m_settings_open = false;
            return;
        case HitKind::SettingsTheme:
            for (auto const& o : theme_options)
                if (target.a == o.key) m_settings.theme = o.choice;
            apply_theme_setting();
            break;
        case HitKind::SettingsNotifications:
            m_settings.notifications = !m_settings.notifications;
            break;
        case HitKind::SettingsSounds:
            m_settings.sounds = !m_settings.sounds;
            m_call->set_cues_enabled(audio::gstreamer_available() && m_settings.sounds);
            break;
        default:
            return;
    }
    store_user_settings();
}

bool ChatApp::settings_control_pressed(HitTarget const& target) const {
    switch (target.kind) {
        case HitKind::SettingsTheme:
            for (auto const& o : theme_options)
                if (target.a == o.key) return m_settings.theme == o.choice;
            return false;
        case HitKind::SettingsNotifications:
            return m_settings.notifications;
        case HitKind::SettingsSounds:
            return m_settings.sounds;
        default:
            return false;
    }
}

}  // namespace chat
