#pragma once

#include <array>
#include <cstddef>

#include "vemo_ui/color.hpp"

namespace vemo_ui {

enum class ThemeKind { Dark, Light };

// The named colours and metrics everything is drawn with. Fills go from the darkest (the
// workspace rail) to the most raised (menus) in the dark theme, and the other way round in
// the light one. Fills marked "overlay" are translucent and meant to be drawn over a fill.
struct Theme {
    ThemeKind kind = ThemeKind::Dark;

    // Surfaces.
    Color window_fill;    // the conversation's background
    Color rail_fill;      // the workspace rail
    Color sidebar_fill;   // channel list
    Color panel_fill;     // right-hand panel (people, thread)
    Color card_fill;      // cards, message hover blocks, notices' base
    Color elevated_fill;  // menus, popovers, tooltips
    Color input_fill;     // text fields and the composer
    Color hover_fill;     // overlay
    Color pressed_fill;   // overlay
    Color selected_fill;  // overlay, tinted by the accent
    Color scrim;          // overlay behind a flap drawn over the content

    // Lines.
    Color hairline;         // overlay, 1-px separators and card edges
    Color hairline_strong;  // overlay, outlines of inputs and chips
    Color focus_ring;

    // Accent.
    Color accent;
    Color accent_hover;
    Color accent_text;  // text and icons on the accent
    Color accent_soft;  // overlay, a quiet accent tint (chips, selected rail button)
    Color link;         // links and accent-coloured text on the window fill

    // Status.
    Color danger;
    Color danger_text;  // text on danger
    Color success;
    Color warning;
    Color notice;       // fill of a notice card (view-only access and the like)
    Color notice_text;  // text on notice

    // Text levels.
    Color text_primary;
    Color text_secondary;
    Color text_tertiary;
    Color text_disabled;

    // Mentions and badges.
    Color mention_fill;  // overlay, pill behind an @mention
    Color mention_text;
    Color badge_fill;  // unread badge
    Color badge_text;
    Color badge_muted_fill;  // counts that do not ask for attention
    Color badge_muted_text;

    // Avatars: eight background colours, all readable under avatar_text.
    std::array<Color, 8> avatar_colors;
    Color avatar_text;

    Color shadow;  // colour of cast shadows

    // Metrics in logical points.
    double control_gap = 8;     // between controls in a row
    double bar_margin = 12;     // inner margin of bars and headers
    double radius_small = 6;    // chips, badges' corners, menu items
    double radius_medium = 10;  // buttons, inputs
    double radius_large = 14;   // cards, menus, panels

    Color avatar_color(size_t index) const { return avatar_colors[index % avatar_colors.size()]; }

    static Theme const& dark();
    static Theme const& light();
    static Theme const& of(ThemeKind kind) { return kind == ThemeKind::Dark ? dark() : light(); }
};

}  // namespace vemo_ui
