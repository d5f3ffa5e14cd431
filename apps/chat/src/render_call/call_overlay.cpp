// The call on top of the chat window: the floating call window and the expanded call view.
#include "render_call/call_overlay.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "render_call/call_icons.hpp"
#include "vemo_ui/avatar.hpp"
#include "vemo_ui/colors.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"
#include "vemo_ui/video_player.hpp"

namespace chat::render_call {

using vemo_ui::Color;
using vemo_ui::DrawContext;
using vemo_ui::FontWeight;
using vemo_ui::Point;
using vemo_ui::Rect;

namespace {

constexpr double tile_radius = 14;
constexpr double ring_width = 2.5;
constexpr double list_reveal_seconds = 0.18;

double smoothstep(double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v * v * (3 - 2 * v);
}

size_t others_of(CallScene const& scene) {
    return size_t(std::ranges::count_if(scene.tiles, [](CallTile const& t) { return !t.local; }));
}

double list_height(CallScene const& scene, double window_width) {
    if (scene.tiles.size() < 2) return 0;
    size_t cols = std::max<size_t>(1, size_t(std::floor((window_width - 28) / participant_cell)));
    size_t rows = (others_of(scene) + cols - 1) / cols;
    return double(rows) * participant_cell + 8;
}

// The small screen glyph of a participant who shares a screen.
void screen_badge(vemo_ui::Painter& p, Rect r, Color fill, Color line) {
    Rect badge{r.right() - 30, r.y + 8, 22, 17};
    p.fill_rounded_rect(badge, 5, fill);
    Rect screen{badge.x + 4, badge.y + 3, 14, 9};
    p.stroke_rounded_rect(screen, 1.5, line, 1.4);
    p.draw_line({badge.center().x, screen.bottom()}, {badge.center().x, badge.bottom() - 2}, line,
                1.4);
}

void name_label(DrawContext& ctx, Rect r, std::string_view name) {
    if (name.empty()) return;
    double s = std::max(ctx.ui_scale, 1.0);
    auto size = ctx.text.measure(name, 11.5, FontWeight::Medium);
    double w = std::min(size.width + 14, r.width - 16);
    if (w <= 14) return;
    Rect pill{r.x + 8, r.bottom() - 8 - 20 * s / s, w, 20};
    ctx.painter.fill_rounded_rect(pill, 10, Color::rgb(0x000000, 0.5f));
    ctx.painter.push_clip(pill.inset(7, 0));
    ctx.text.draw_text_weighted(ctx.painter, name, {pill.x + 7, pill.center().y - size.height / 2},
                                11.5, FontWeight::Medium, Color::rgb(0xffffff));
    ctx.painter.pop_clip();
}

struct Button {
    HitKind kind;
    std::optional<CallIcon> icon;
    std::string label;
    bool pressed = false;
    bool danger = false;
};

void draw_button(DrawContext& ctx, CallScene const& scene, Rect r, Button const& b, double size,
                 std::vector<HitRegion>& hits) {
    auto const& t = ctx.theme;
    HitTarget target{b.kind};
    bool hovered = scene.hover && *scene.hover == target;
    Color fill = b.danger    ? (hovered ? t.danger.mix(Color::rgb(0xffffff), 0.22f) : t.danger)
                 : b.pressed ? t.accent_soft
                             : t.card_fill;
    // On the dark theme the accent alone is too dim on its own soft fill.
    Color pressed_ink =
        t.kind == vemo_ui::ThemeKind::Dark ? t.accent.mix(Color::rgb(0xffffff), 0.4f) : t.accent;
    Color ink = b.danger ? t.danger_text : b.pressed ? pressed_ink : t.text_primary;
    ctx.painter.fill_rounded_rect(r, t.radius_medium, fill);
    if (!b.danger) {
        if (hovered) ctx.painter.fill_rounded_rect(r, t.radius_medium, t.hover_fill);
        vemo_ui::surface::soft_outline(ctx.painter, t, r, t.radius_medium);
    }
    // The icon, then the label when both fit; the icon alone when they do not.
    double icon = b.icon ? std::round(size * 1.15) : 0, icon_gap = b.icon ? 5 : 0;
    auto m = ctx.text.measure(b.label, size, FontWeight::Medium);
    bool label = !b.icon || icon + icon_gap + m.width <= r.width - 8;
    double total = label ? icon + icon_gap + m.width : icon;
    double x = r.center().x - total / 2;
    ctx.painter.push_clip(r);
    if (b.icon) draw_call_icon(ctx.painter, *b.icon, {x, r.center().y - icon / 2, icon, icon}, ink);
    if (label)
        ctx.text.draw_text_weighted(ctx.painter, b.label,
                                    {x + icon + icon_gap, r.center().y - m.height / 2}, size,
                                    FontWeight::Medium, ink);
    ctx.painter.pop_clip();
    if (scene.focus && *scene.focus == target)
        vemo_ui::surface::focus_ring(ctx.painter, t, r, t.radius_medium);
    hits.push_back({r, target});
}

// Applies the placement's presentation to the body rectangle.
Rect presented(Rect body, vemo_ui::PresentationTransform const& t) {
    Point c = body.center();
    double w = body.width * t.scale, h = body.height * t.scale;
    return {c.x - w / 2 + t.offset.x, c.y - h / 2 + t.offset.y, w, h};
}

}  // namespace

void CallOverlay::reset() {
    expanded = false;
    participants_open = false;
    reveal = reveal_target = 0;
    reveal_time = -1;
}

void CallOverlay::toggle_participants(double now) {
    participants_open = !participants_open;
    reveal_target = participants_open ? 1 : 0;
    reveal_time = now;
}

bool CallOverlay::tick(double now) {
    if (reveal == reveal_target) return false;
    double dt = reveal_time < 0 ? 0 : std::max(0.0, now - reveal_time);
    reveal_time = now;
    double step = dt / list_reveal_seconds;
    reveal = reveal < reveal_target ? std::min(reveal_target, reveal + step)
                                    : std::max(reveal_target, reveal - step);
    return true;
}

std::string status_text(CallScene const& scene) {
    bool open = scene.participants_open && scene.tiles.size() < 13;
    size_t n = std::max<size_t>(scene.participants, 1);
    return std::string(open ? "▾" : "▸") + " " + std::to_string(n) + " in call · " +
           (scene.participants >= 4 ? "host relay" : "peer-to-peer");
}

std::vector<HitKind> floating_controls(double window_width) {
    if (window_width < 300) return {HitKind::CallMute, HitKind::CallDeafen};
    return {HitKind::CallMute, HitKind::CallDeafen, HitKind::CallExpand, HitKind::CallLeave};
}

std::string expanded_subtitle(CallScene const& scene) {
    size_t n = scene.tiles.size();
    if (!scene.presenter || *scene.presenter >= scene.tiles.size())
        return std::to_string(n) + " in the call";
    auto const& p = scene.tiles[*scene.presenter];
    std::string who = p.local ? "You are" : p.name + " is";
    return std::to_string(n) + " in the call · " + who + " sharing a screen";
}

Rect floating_window_rect(Rect body, CallScene const& scene) {
    double width = body.width + 2 * floating_frame_side;
    double list = list_height(scene, width) * smoothstep(scene.reveal);
    return Rect::from_edges(body.x - floating_frame_side, body.y - floating_header,
                            body.right() + floating_frame_side, body.bottom() + 30 + list + 42);
}

void draw_call_tile(DrawContext& ctx, CallTile const& tile, Rect r) {
    if (r.is_empty()) return;
    auto const& t = ctx.theme;
    auto& p = ctx.painter;
    Color backdrop = t.kind == vemo_ui::ThemeKind::Dark ? vemo_ui::Colors::lift(t.card_fill, 0.04f)
                                                        : Color::rgb(0x2b3040);
    if (tile.camera) {
        vemo_ui::widget::video_player::paint_cover(p, *tile.camera, r, tile_radius);
    } else {
        p.fill_rounded_rect(r, tile_radius, backdrop);
        double s = std::max(ctx.ui_scale, 1.0);
        double d = std::min(std::max(0.22 * r.height, 16 * s), 46 * s);
        auto caption = tile.audio_only ? std::string_view("Camera off") : "No video";
        auto cm = ctx.text.measure(caption, 11.5);
        double block = d + 6 + cm.height;
        double top = r.center().y - block / 2;
        // The caption only where the name label below leaves it room.
        bool caption_fits = top + block <= r.bottom() - 32 && cm.width < r.width - 8;
        if (!caption_fits) top = r.center().y - d / 2 - (r.height >= 48 ? 8 : 0);
        vemo_ui::widget::avatar::Avatar::draw(p, t, ctx.text, {r.center().x - d / 2, top, d, d},
                                              tile.initials, tile.color);
        if (caption_fits)
            ctx.text.draw_text(p, caption, {r.center().x - cm.width / 2, top + d + 6}, 11.5,
                               Color::rgb(0xc9cedb));
    }
    if (tile.talking)
        p.stroke_rounded_rect(r.inset(1.25), tile_radius - 1.25, t.accent, ring_width);
    if (r.height >= 48) name_label(ctx, r, tile.name);
    if (tile.sharing && r.width >= 48)
        screen_badge(p, r, Color::rgb(0x000000, 0.55f), Color::rgb(0xffffff));
    p.stroke_rounded_rect(r.inset(0.5), tile_radius - 0.5, vemo_ui::Colors::hairline_on(backdrop),
                          1);
}

namespace {

void draw_tiles(DrawContext& ctx, CallScene const& scene, Rect area) {
    bool presenting = scene.presenter && *scene.presenter < scene.tiles.size();
    auto layout = layout_call_tiles(area, scene.tiles.size(), presenting);
    if (layout.featured) {
        Rect f = *layout.featured;
        if (scene.screen) {
            ctx.painter.fill_rounded_rect(f, tile_radius, Color::rgb(0x0b0d12));
            // A shared screen is shown whole, letterboxed: cropping it would hide its edges.
            vemo_ui::widget::video_player::paint_contain(ctx.painter, *scene.screen, f,
                                                         tile_radius);
        } else {
            ctx.painter.fill_rounded_rect(f, tile_radius, Color::rgb(0x161922));
            auto const& who = scene.tiles[*scene.presenter];
            std::string text = who.local ? "Your screen" : who.name + "'s screen";
            auto m = ctx.text.measure(text, 13);
            ctx.text.draw_text(ctx.painter, text,
                               {f.center().x - m.width / 2, f.center().y - m.height / 2}, 13,
                               Color::rgb(0xc9cedb));
        }
        ctx.painter.stroke_rounded_rect(f.inset(0.5), tile_radius - 0.5, ctx.theme.hairline, 1);
    }
    for (size_t i = 0; i < layout.tiles.size() && i < scene.tiles.size(); ++i)
        draw_call_tile(ctx, scene.tiles[i], layout.tiles[i]);
}

void draw_participants_list(DrawContext& ctx, CallScene const& scene, Rect window, double y) {
    double v = scene.reveal;
    if (scene.tiles.size() < 2 || v <= 0.001) return;
    auto const& t = ctx.theme;
    auto& p = ctx.painter;
    p.push_layer(float(smoothstep(v)));
    p.push_clip(Rect::from_edges(window.x + 8, y + 20, window.right() - 8, window.bottom() - 48));
    size_t cols = std::max<size_t>(1, size_t(std::floor((window.width - 28) / participant_cell)));
    size_t i = 0;
    for (auto const& tile : scene.tiles) {
        if (tile.local) continue;
        size_t col = i % cols, row = i / cols;
        ++i;
        Point c{window.x + 29 + participant_cell * double(col),
                y + 41 + participant_cell * double(row)};
        double d = 30;
        vemo_ui::widget::avatar::Avatar::draw(p, t, ctx.text, {c.x - d / 2, c.y - d / 2, d, d},
                                              tile.initials, tile.color);
        if (tile.talking)
            p.stroke_rounded_rect({c.x - d / 2 - 2, c.y - d / 2 - 2, d + 4, d + 4}, d / 2 + 2,
                                  t.accent, 2);
        if (tile.muted || tile.audio_only) {
            Rect b{c.x + 10.8 - 6, c.y + 10.8 - 6, 12, 12};
            p.fill_ellipse(b, tile.muted ? t.danger : t.warning);
            // A slash for muted, a dot for the camera that is off.
            if (tile.muted)
                p.draw_line({b.x + 3.5, b.y + 3.5}, {b.right() - 3.5, b.bottom() - 3.5},
                            Color::rgb(0xffffff), 1.5);
            else
                p.fill_ellipse(b.inset(3.5), Color::rgb(0x1a1a1a));
        }
    }
    p.pop_clip();
    p.pop_layer();
}

}  // namespace

void draw_floating_call(DrawContext& ctx, CallScene const& scene,
                        vemo_ui::FloatingPlacement const& placement, std::vector<HitRegion>& hits) {
    auto const& t = ctx.theme;
    auto& p = ctx.painter;
    auto transform =
        placement.presentation_transform(placement.rect(), placement.attached_chrome());
    Rect body = presented(placement.rect(), transform);
    Rect window = floating_window_rect(body, scene);
    double radius = transform.attached_chrome ? t.radius_large : 12;

    // Frame.
    vemo_ui::surface::shadow(p, t, window, radius, vemo_ui::surface::Elevation::Medium);
    vemo_ui::surface::soft_outline(p, t, window, radius);
    p.fill_rounded_rect(window, radius, t.elevated_fill);
    if (transform.attached_chrome) {
        // The shell's top border, bent round the panel's corners instead of running straight
        // across above them.
        double w = p.scale() < 1.5 ? 1 / p.scale() : 1.0;
        p.push_clip({window.x - 1, window.y - 1, window.width + 2, radius + 1});
        p.stroke_rounded_rect(window.inset(w / 2), radius - w / 2, t.hairline, w);
        p.pop_clip();
    } else
        p.stroke_rounded_rect(window.inset(0.5), radius - 0.5, t.hairline_strong, 1);

    // Header.
    Rect grip{window.x + 8, window.y, window.width - 16, 14};
    vemo_ui::surface::floating_drag_grip(p, t, {window.center().x - 40, window.y + 2, 80, 10});
    hits.push_back(
        {Rect{window.x, window.y, window.width, 30}, HitTarget{HitKind::CallDragHandle}});
    (void)grip;
    std::string count = std::to_string(std::max<size_t>(scene.participants, 1));
    p.push_clip(Rect::from_edges(window.x + 16, window.y, window.right() - 66, window.y + 30));
    ctx.text.draw_text_weighted(p, scene.title, {window.x + 16, window.y + 10}, 13,
                                FontWeight::Semibold, t.text_primary);
    p.pop_clip();
    ctx.text.draw_text(p, count, {window.right() - 48, window.y + 10}, 11.5, t.text_secondary);
    p.fill_ellipse({window.right() - 58 - 3.5, window.y + 17 - 3.5, 7, 7}, t.accent);

    // Video area.
    p.fill_rounded_rect(body, 10, Color::rgb(0x11131a));
    p.push_clip(body, 10);
    draw_tiles(ctx, scene, body.inset(6));
    p.pop_clip();
    if (scene.muted)
        p.stroke_rounded_rect(body.inset(0.5), 10, t.hairline.with_alpha(0x33 / 255.0f), 1);
    else
        p.stroke_rounded_rect(body.inset(1.25), 10, t.accent, 2.5);
    if (scene.notice)
        ctx.text.draw_text(p, *scene.notice, {body.x + 10, body.y + 12}, 10, t.warning);

    // Status line and the participants list.
    double y = body.bottom() + 10;
    ctx.text.draw_text(p, status_text(scene), {window.x + 14, y + 3}, 11.5, t.text_secondary);
    hits.push_back({Rect::from_edges(window.x + 12, y - 2, window.right() - 12, y + 20),
                    HitTarget{HitKind::CallParticipantsToggle}});
    draw_participants_list(ctx, scene, window, y);

    // Controls.
    auto kinds = floating_controls(window.width);
    double gap = t.control_gap;
    double k = double(kinds.size());
    double bw = std::max((window.width - 24 - (k - 1) * gap) / k, 24.0);
    double x = window.x + 12;
    for (auto kind : kinds) {
        Button b{kind, {}, ""};
        switch (kind) {
            case HitKind::CallMute:
                b = scene.muted ? Button{kind, CallIcon::MicrophoneOff, "Unmute", true}
                                : Button{kind, CallIcon::Microphone, "Mute"};
                break;
            case HitKind::CallDeafen:
                b = scene.deafened ? Button{kind, CallIcon::HeadphonesOff, "Undeafen", true}
                                   : Button{kind, CallIcon::Headphones, "Deafen"};
                break;
            case HitKind::CallExpand:
                b = Button{kind, CallIcon::Expand, "Expand"};
                break;
            default:
                b = Button{kind, CallIcon::Leave, "Leave", false, true};
                break;
        }
        draw_button(ctx, scene, {x, window.bottom() - 34, bw, 28}, b, 11.5, hits);
        x += bw + gap;
    }
}

void draw_expanded_call(DrawContext& ctx, CallScene const& scene, Rect area,
                        std::function<std::string(std::string_view)> const& translate,
                        std::vector<HitRegion>& hits) {
    auto const& t = ctx.theme;
    auto& p = ctx.painter;
    p.fill_rect(area, t.window_fill);
    double pad = 24;
    ctx.text.draw_text_weighted(p, scene.title, {area.x + pad, area.y + 18}, 20,
                                FontWeight::Semibold, t.text_primary);
    ctx.text.draw_text(p, expanded_subtitle(scene), {area.x + pad, area.y + 50}, 12,
                       t.text_secondary);

    // Controls, flowed into centred rows from the bottom of the view.
    std::vector<Button> buttons{
        {HitKind::CallMute,
         {},
         translate(scene.muted ? "chat-call-unmute" : "chat-call-mute"),
         scene.muted},
        {HitKind::CallDeafen,
         {},
         translate(scene.deafened ? "chat-call-undeafen" : "chat-call-deafen"),
         scene.deafened},
        {HitKind::CallAudioOnly, {}, translate("chat-call-audio-only"), scene.audio_only},
        {HitKind::CallExpand, {}, translate("chat-call-collapse")},
        {HitKind::CallLeave, {}, translate("chat-call-leave"), false, true},
    };
    double gap = t.control_gap, height = 36;
    double max_row = std::max(120.0, area.width - 2 * t.bar_margin);
    std::vector<std::vector<std::pair<Button, double>>> rows(1);
    double row_w = 0;
    for (auto& b : buttons) {
        double w = std::min(ctx.text.measure(b.label, 13, FontWeight::Medium).width + 32, max_row);
        double next = rows.back().empty() ? w : row_w + gap + w;
        if (!rows.back().empty() && next > max_row) {
            rows.emplace_back();
            next = w;
        }
        rows.back().emplace_back(b, w);
        row_w = next;
    }
    double bar_bottom = area.bottom() - 18;
    double bar_top = bar_bottom - double(rows.size()) * height - double(rows.size() - 1) * gap;
    double ry = bar_top;
    for (auto const& row : rows) {
        double total = -gap;
        for (auto const& [b, w] : row) total += w + gap;
        double x = area.center().x - total / 2;
        for (auto const& [b, w] : row) {
            draw_button(ctx, scene, {x, ry, w, height}, b, 13, hits);
            x += w + gap;
        }
        ry += height + gap;
    }

    Rect video = Rect::from_edges(area.x + pad, area.y + 80, area.right() - pad, bar_top - 18);
    if (!video.is_empty()) draw_tiles(ctx, scene, video);
}

}  // namespace chat::render_call
