// Renders every paint primitive in both themes, for looking at: paint_sheet [dir] [scale]
// writes dir/paint_sheet_dark.png and dir/paint_sheet_light.png.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vemo_ui/avatar.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/colors.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

using namespace vemo_ui;

namespace {

Image sample_photo(int w, int h) {
    Image img{w, h, w * 4, std::vector<uint8_t>(size_t(w) * h * 4)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t r = 40 + 180 * x / w, g = 90 + 120 * y / h, b = 200 - 120 * x / w;
            if ((x / 16 + y / 16) % 2) r = r * 3 / 4, g = g * 3 / 4, b = b * 3 / 4;
            uint32_t v = 0xffu << 24 | r << 16 | g << 8 | b;
            std::memcpy(img.pixels.data() + size_t(y) * img.stride + size_t(x) * 4, &v, 4);
        }
    return img;
}

void badge(Painter& p, TextRenderer& text, Theme const& t, Point at, std::string const& label,
           bool muted) {
    Size s = text.measure(label, 9, FontWeight::Bold);
    double h = 16, w = std::max(h, s.width + 10);
    p.fill_rounded_rect({at.x, at.y, w, h}, h / 2, muted ? t.badge_muted_fill : t.badge_fill);
    text.draw_text_weighted(p, label, {at.x + (w - s.width) / 2, at.y + (h - s.height) / 2}, 9,
                            FontWeight::Bold, muted ? t.badge_muted_text : t.badge_text);
}

void shell(Painter& p, TextRenderer& text, Theme const& t, double W, double H) {
    namespace av = widget::avatar;
    using chrome::shell::Edge;
    using chrome::shell::panel_border;
    // Rail.
    p.fill_rect({0, 0, 68, H}, t.rail_fill);
    p.fill_rounded_rect({10, 16, 48, 48}, 16, t.accent);
    Size env = text.measure("✉", 20);
    text.draw_text(p, "✉", {34 - env.width / 2, 40 - env.height / 2}, 20, t.accent_text);
    badge(p, text, t, {44, 12}, "3", false);
    surface::separator(p, t, {22, 76}, 24);
    p.fill_rounded_rect({10, 88, 48, 48}, 24, t.card_fill);
    Size ws = text.measure("AC", 17, FontWeight::Semibold);
    text.draw_text_weighted(p, "AC", {34 - ws.width / 2, 112 - ws.height / 2}, 17,
                            FontWeight::Semibold, t.text_primary);
    // Sidebar.
    Rect side{68, 0, 248, H};
    p.fill_rect(side, t.sidebar_fill);
    panel_border(p, t, side, Edge::Right);
    text.draw_text_weighted(p, "Acme Studio", {84, 18}, 15, FontWeight::Semibold, t.text_primary);
    Size chip = text.measure("＋ Category", 12, FontWeight::Medium);
    Rect chip_r{84, 44, chip.width + 18, 24};
    p.fill_rounded_rect(chip_r, 12, t.accent_soft);
    text.draw_text_weighted(p, "＋ Category", {93, 44 + (24 - chip.height) / 2}, 12,
                            FontWeight::Medium, t.link);
    surface::separator(p, t, {68, 80}, 247);
    text.draw_text_weighted(p, "▾  DESIGN", {84, 94}, 11.5, FontWeight::Semibold, t.text_tertiary);
    struct Row {
        char const* label;
        int unread;
        bool selected;
    } rows[] = {{"# general", 0, true},
                {"# announcements", 4, false},
                {"# a-very-long-channel-name-that-ellipsizes", 120, false},
                {"🔊 Standup", 0, false}};
    double y = 116;
    for (auto& row : rows) {
        Rect rr{76, y, 232, 30};
        if (row.selected) p.fill_rounded_rect(rr, t.radius_small, t.selected_fill);
        if (row.unread == 4) p.fill_rounded_rect(rr, t.radius_small, t.hover_fill);
        Color c = row.selected || row.unread ? t.text_primary : t.text_secondary;
        text.draw_text_weighted(p, row.label, {88, y + (30 - text.line_height(14)) / 2}, 14,
                                row.unread ? FontWeight::Semibold : FontWeight::Regular, c, 170,
                                true);
        if (row.unread)
            badge(p, text, t, {268, y + 7}, row.unread > 99 ? "99+" : std::to_string(row.unread),
                  row.unread < 10);
        y += 32;
    }
    text.draw_text_weighted(p, "▸  ARCHIVE", {84, y + 8}, 11.5, FontWeight::Semibold,
                            t.text_tertiary);
    // Identity bar.
    Rect bar{68, H - 60, 248, 60};
    panel_border(p, t, bar, Edge::Top);
    av::Avatar::draw(p, t, text, {80, H - 48, 36, 36}, av::Avatar::initials_for_name("Ana Lopez"),
                     2);
    p.fill_ellipse({106, H - 22, 12, 12}, t.sidebar_fill);
    p.fill_ellipse({108, H - 20, 8, 8}, t.success);
    text.draw_text_weighted(p, "Ana Lopez", {126, H - 48}, 14, FontWeight::Semibold,
                            t.text_primary);
    text.draw_text(p, "Available", {126, H - 29}, 12, t.text_secondary);
    // Conversation.
    Rect main{316, 0, W - 316 - 300, H};
    p.fill_rect(main, t.window_fill);
    Rect heading{main.x, 0, main.width, 60};
    panel_border(p, t, heading, Edge::Bottom);
    text.draw_text_weighted(p, "# general", {main.x + 20, 12}, 16, FontWeight::Semibold,
                            t.text_primary);
    text.draw_text(p, "Company-wide announcements and chatter", {main.x + 20, 34}, 12.5,
                   t.text_secondary);
    double mx = main.x + 20, mw = main.width - 40;
    Size day = text.measure("Yesterday", 11.5, FontWeight::Semibold);
    surface::separator(p, t, {mx, 86}, mw / 2 - day.width / 2 - 10);
    surface::separator(p, t, {mx + mw / 2 + day.width / 2 + 10, 86}, mw / 2 - day.width / 2 - 10);
    text.draw_text_weighted(p, "Yesterday", {mx + mw / 2 - day.width / 2, 86 - day.height / 2},
                            11.5, FontWeight::Semibold, t.text_tertiary);
    // A message with mention and link.
    double my = 104;
    p.fill_rect({main.x, my - 6, main.width, 92}, t.hover_fill);
    av::Avatar::draw(p, t, text, {mx, my, 36, 36}, av::Avatar::initials_for_name("mika häkkinen"),
                     4);
    text.draw_text_weighted(p, "Mika Häkkinen", {mx + 48, my}, 14, FontWeight::Semibold,
                            t.text_primary);
    text.draw_text(
        p, "09:41",
        {mx + 48 + text.measure("Mika Häkkinen", 14, FontWeight::Semibold).width + 8, my + 2}, 11.5,
        t.text_tertiary);
    std::vector<TextSpan> spans{
        {"Hey ", t.text_primary},
        {"@Ana Lopez", t.mention_text, FontWeight::Medium, false, false, t.mention_fill},
        {", the new mock-ups are in ", t.text_primary},
        {"design/review", t.link, FontWeight::Regular, false, true, std::nullopt},
        {" — ", t.text_primary},
        {"please", t.text_primary, FontWeight::Regular, true},
        {" have a look before Friday 🎉 and ship it", t.text_primary, FontWeight::Bold},
    };
    Size rich = text.draw_rich(p, spans, {mx + 48, my + 20}, mw - 48, 14);
    // Reactions.
    double rx = mx + 48, ry = my + 24 + rich.height;
    for (auto label : {"👍 3", "🎉 1"}) {
        Size s = text.measure(label, 12.5, FontWeight::Medium);
        Rect chip_rect{rx, ry, s.width + 16, 24};
        p.fill_rounded_rect(chip_rect, 12,
                            label[0] == '\xf0' && rx == mx + 48 ? t.accent_soft : t.card_fill);
        surface::soft_outline(p, t, chip_rect, 12);
        text.draw_text_weighted(p, label, {rx + 8, ry + (24 - s.height) / 2}, 12.5,
                                FontWeight::Medium, t.text_secondary);
        rx += chip_rect.width + 6;
    }
    // Card with an image.
    Rect img_card{mx + 48, 216, 260, 150};
    surface::card(p, t, img_card, t.radius_large);
    Image photo = sample_photo(240, 110);
    p.draw_image(photo, {img_card.x + 10, img_card.y + 10, 240, 110}, 10);
    text.draw_text(p, "mockup.png · 24 KB", {img_card.x + 12, img_card.y + 126}, 12,
                   t.text_secondary);
    // Notice card.
    Rect notice{mx, 386, mw, 44};
    surface::card(p, t, notice, 14, t.notice);
    text.draw_text(p, "🔒 View-only access to this workspace",
                   {notice.x + 16, notice.y + (44 - text.line_height(14)) / 2}, 14, t.notice_text);
    // Text ramp.
    double ty = 446;
    for (double size : {9.0, 11.5, 13.0, 15.0, 17.0, 22.0}) {
        std::string label =
            std::to_string(int(size * 10) / 10.0).substr(0, 4) + " The quick brown fox 😀";
        double x = mx;
        for (FontWeight w :
             {FontWeight::Regular, FontWeight::Medium, FontWeight::Semibold, FontWeight::Bold}) {
            x += text.draw_text_weighted(p, size < 12 ? "Aa 9 ✓" : "Aa ✓", {x, ty}, size, w,
                                         t.text_primary)
                     .width +
                 14;
        }
        text.draw_text_weighted(p, label, {x + 10, ty}, size, FontWeight::Regular, t.text_secondary,
                                mw - (x - mx) - 10, true);
        ty += text.line_height(size) + 6;
    }
    Color levels[] = {t.text_primary, t.text_secondary, t.text_tertiary, t.text_disabled,
                      t.link,         t.danger,         t.success,       t.warning};
    double lx = mx;
    for (Color c : levels) {
        lx +=
            text.draw_text_weighted(p, "Level", {lx, ty + 4}, 13, FontWeight::Medium, c).width + 12;
    }
    ty += 28;
    text.draw_text(
        p,
        "Wrapped: Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
        "incididunt ut labore et dolore magna aliqua 🚀✨ — Ut enim ad minim veniam, quis nostrud.",
        {mx, ty}, 13.5, t.text_secondary);
    text.draw_text_weighted(
        p,
        "Wrapped: Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
        "incididunt ut labore et dolore magna aliqua 🚀✨ — Ut enim ad minim veniam, quis nostrud.",
        {mx, ty + 22}, 13.5, FontWeight::Regular, t.text_secondary, mw);
    // Composer.
    Rect composer{mx, H - 64, mw, 46};
    p.fill_rounded_rect(composer, t.radius_large, t.input_fill);
    surface::soft_outline(p, t, composer, t.radius_large);
    surface::focus_ring(p, t, composer, t.radius_large);
    text.draw_text(p, "Message #general",
                   {composer.x + 14, composer.y + (46 - text.line_height(14)) / 2}, 14,
                   t.text_tertiary);
    Rect send{composer.right() - 40, composer.y + 7, 32, 32};
    p.fill_rounded_rect(send, 10, t.accent);
    Size arrow = text.measure("↑", 16, FontWeight::Bold);
    text.draw_text_weighted(p, "↑",
                            {send.center().x - arrow.width / 2, send.center().y - arrow.height / 2},
                            16, FontWeight::Bold, t.accent_text);
    // Jump to latest.
    Size jl = text.measure("↓ Jump to latest", 12.5, FontWeight::Medium);
    Rect jump{mx + mw / 2 - (jl.width + 28) / 2, H - 108, jl.width + 28, 30};
    surface::card(p, t, jump, 15, t.accent, surface::Elevation::Medium);
    text.draw_text_weighted(p, "↓ Jump to latest", {jump.x + 14, jump.y + (30 - jl.height) / 2},
                            12.5, FontWeight::Medium, t.accent_text);
    // Right panel.
    Rect right{W - 300, 0, 300, H};
    p.fill_rect(right, t.panel_fill);
    panel_border(p, t, right, Edge::Left);
    text.draw_text_weighted(p, "People", {right.x + 20, 20}, 15, FontWeight::Semibold,
                            t.text_primary);
    char const* people[] = {"Ana Lopez",    "Björn Ölberg", "李 小龙",      "Zoë d'Arc",
                            "Ümit Özdemir", "😀 Emoji Fan",  "Ωmega Person", "x"};
    for (int i = 0; i < 8; ++i) {
        double py = 56 + i * 40;
        if (i == 1)
            p.fill_rounded_rect({right.x + 8, py - 4, 284, 40}, t.radius_small, t.hover_fill);
        av::Avatar::draw(p, t, text, {right.x + 20, py, 32, 32},
                         av::Avatar::initials_for_name(people[i]), size_t(i));
        text.draw_text_weighted(p, people[i], {right.x + 62, py + 7}, 14, FontWeight::Medium,
                                t.text_primary);
    }
    // Context menu floating over the panel.
    Rect menu{right.x + 40, 390, 220, 176};
    surface::card(p, t, menu, 12, t.elevated_fill, surface::Elevation::High);
    char const* items[] = {"Rename", "Move up", "Move down", "Archive / unarchive", "Delete"};
    for (int i = 0; i < 5; ++i) {
        Rect item{menu.x + 6, menu.y + 6 + i * 32, 208, 30};
        if (i == 1) p.fill_rounded_rect(item, t.radius_small, t.hover_fill);
        if (i == 4) surface::separator(p, t, {item.x + 4, item.y - 1}, item.width - 8);
        text.draw_text_weighted(p, items[i],
                                {item.x + 10, item.y + (30 - text.line_height(13.5)) / 2}, 13.5,
                                FontWeight::Regular, i == 4 ? t.danger : t.text_primary);
    }
    // Floating call tile with grip, layer opacity and gradient.
    Rect tile{right.x + 30, 590, 240, 150};
    surface::shadow(p, t, tile, 16, surface::Elevation::Medium);
    p.push_clip(tile, 16);
    p.fill_gradient(tile, 0, Color::rgb(0x312e81), Color::rgb(0x0f766e));
    p.push_layer(0.5f);
    p.fill_rect({tile.x, tile.bottom() - 40, tile.width, 40}, Color::rgb(0x000000));
    p.pop_layer();
    surface::floating_drag_grip(p, t, {tile.x, tile.y, tile.width, 16});
    text.draw_text_weighted(p, "🔊 Standup · 3", {tile.x + 12, tile.bottom() - 30}, 13,
                            FontWeight::Medium, Color::rgb(0xffffff));
    p.pop_clip();
    surface::edge_on(p, tile, 16, Color::rgb(0x1e1b4b));
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    double scale = argc > 2 ? std::stod(argv[2]) : 1.0;
    TextRenderer text;
    int W = 1280, H = 800;
    for (auto [name, theme] :
         {std::pair{"dark", &Theme::dark()}, std::pair{"light", &Theme::light()}}) {
        ImageCanvas canvas(int(W * scale), int(H * scale), scale);
        canvas.clear(theme->window_fill);
        shell(canvas.painter(), text, *theme, W, H);
        std::string path = dir + "/paint_sheet_" + name + ".png";
        if (auto r = canvas.write_png(path); !r) {
            std::fprintf(stderr, "%s\n", r.error().c_str());
            return 1;
        }
        std::printf("wrote %s\n", path.c_str());
    }
    return 0;
}
