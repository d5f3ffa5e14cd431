#include "vemo_ui/theme.hpp"

namespace vemo_ui {

namespace {

// Deep enough for white initials on every one of them, distinct in hue from each other.
constexpr std::array<Color, 8> avatar_palette{
    Color::rgb(0x5b4fd6),  // indigo
    Color::rgb(0x0f766e),  // teal
    Color::rgb(0xc2410c),  // burnt orange
    Color::rgb(0xa21caf),  // magenta
    Color::rgb(0x1d4ed8),  // blue
    Color::rgb(0x15803d),  // green
    Color::rgb(0xbe123c),  // rose
    Color::rgb(0x92400e),  // amber brown
};

Theme make_dark() {
    Theme t;
    t.kind = ThemeKind::Dark;
    t.rail_fill = Color::rgb(0x0b0d12);
    t.sidebar_fill = Color::rgb(0x12151c);
    t.window_fill = Color::rgb(0x171a22);
    t.panel_fill = Color::rgb(0x14171f);
    t.card_fill = Color::rgb(0x1e222c);
    t.elevated_fill = Color::rgb(0x242935);
    t.input_fill = Color::rgb(0x1c2029);
    t.hover_fill = Color::rgb(0xffffff, 0.05f);
    t.pressed_fill = Color::rgb(0xffffff, 0.09f);
    t.selected_fill = Color::rgb(0x8b7cf8, 0.18f);
    t.scrim = Color::rgb(0x05060a, 0.55f);

    t.hairline = Color::rgb(0xffffff, 0.08f);
    t.hairline_strong = Color::rgb(0xffffff, 0.14f);
    t.focus_ring = Color::rgb(0x9d91ff, 0.9f);

    t.accent = Color::rgb(0x6c5ce7);
    t.accent_hover = Color::rgb(0x5d4ed8);
    t.accent_text = Color::rgb(0xffffff);
    t.accent_soft = Color::rgb(0x8b7cf8, 0.16f);
    t.link = Color::rgb(0xa99eff);

    t.danger = Color::rgb(0xf76a6e);
    t.danger_text = Color::rgb(0x1a0607);
    t.success = Color::rgb(0x3dd68c);
    t.warning = Color::rgb(0xf5b841);
    t.notice = Color::rgb(0x2b2518);
    t.notice_text = Color::rgb(0xf3d590);

    t.text_primary = Color::rgb(0xe9ebf1);
    t.text_secondary = Color::rgb(0xa9afbc);
    t.text_tertiary = Color::rgb(0x80879a);
    t.text_disabled = Color::rgb(0x565c6a);

    t.mention_fill = Color::rgb(0x8b7cf8, 0.22f);
    t.mention_text = Color::rgb(0xcdc6ff);
    t.badge_fill = Color::rgb(0xd63a40);
    t.badge_text = Color::rgb(0xffffff);
    t.badge_muted_fill = Color::rgb(0x353a47);
    t.badge_muted_text = Color::rgb(0xdce0e8);

    t.avatar_colors = avatar_palette;
    t.avatar_text = Color::rgb(0xffffff);
    t.shadow = Color::rgb(0x000000, 0.45f);
    return t;
}

Theme make_light() {
    Theme t;
    t.kind = ThemeKind::Light;
    t.rail_fill = Color::rgb(0xe6e8ef);
    t.sidebar_fill = Color::rgb(0xf3f4f8);
    t.window_fill = Color::rgb(0xffffff);
    t.panel_fill = Color::rgb(0xf8f9fb);
    t.card_fill = Color::rgb(0xffffff);
    t.elevated_fill = Color::rgb(0xffffff);
    t.input_fill = Color::rgb(0xf4f5f8);
    t.hover_fill = Color::rgb(0x0f172a, 0.045f);
    t.pressed_fill = Color::rgb(0x0f172a, 0.08f);
    t.selected_fill = Color::rgb(0x5b4cdb, 0.11f);
    t.scrim = Color::rgb(0x0f172a, 0.32f);

    t.hairline = Color::rgb(0x0f172a, 0.09f);
    t.hairline_strong = Color::rgb(0x0f172a, 0.16f);
    t.focus_ring = Color::rgb(0x5b4cdb, 0.85f);

    t.accent = Color::rgb(0x5b4cdb);
    t.accent_hover = Color::rgb(0x4e3fce);
    t.accent_text = Color::rgb(0xffffff);
    t.accent_soft = Color::rgb(0x5b4cdb, 0.10f);
    t.link = Color::rgb(0x4536c7);

    t.danger = Color::rgb(0xc8313a);
    t.danger_text = Color::rgb(0xffffff);
    t.success = Color::rgb(0x15803d);
    t.warning = Color::rgb(0xb45309);
    t.notice = Color::rgb(0xfff4d6);
    t.notice_text = Color::rgb(0x6b4200);

    t.text_primary = Color::rgb(0x14161c);
    t.text_secondary = Color::rgb(0x4b5160);
    t.text_tertiary = Color::rgb(0x6b7180);
    t.text_disabled = Color::rgb(0xa3a8b3);

    t.mention_fill = Color::rgb(0x5b4cdb, 0.13f);
    t.mention_text = Color::rgb(0x3f30c0);
    t.badge_fill = Color::rgb(0xd63a40);
    t.badge_text = Color::rgb(0xffffff);
    t.badge_muted_fill = Color::rgb(0xe1e4eb);
    t.badge_muted_text = Color::rgb(0x3b4150);

    t.avatar_colors = avatar_palette;
    t.avatar_text = Color::rgb(0xffffff);
    t.shadow = Color::rgb(0x0f172a, 0.22f);
    return t;
}

}  // namespace

Theme const& Theme::dark() {
    static Theme const theme = make_dark();
    return theme;
}

Theme const& Theme::light() {
    static Theme const theme = make_light();
    return theme;
}

}  // namespace vemo_ui
