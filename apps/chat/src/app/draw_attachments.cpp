// Attachments on screen: the attach button, the picker popover, the status line and the
// attachments inside messages.
#include <algorithm>
#include <cmath>

#include "app/chat_app.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

using vemo_ui::Color;
using vemo_ui::DrawContext;
using vemo_ui::FontWeight;
using vemo_ui::Rect;

namespace {

constexpr double picker_width = 340;
constexpr double picker_row = 52;
constexpr double picker_header = 44;
constexpr size_t picker_visible_rows = 6;
constexpr double status_height = 22;

std::string_view type_icon(std::string_view name) {
    switch (extension_class(name)) {
        case ExtensionClass::Image:
            return "🖼";
        case ExtensionClass::Video:
            return "🎬";
        case ExtensionClass::Other:
            break;
    }
    return "📄";
}

bool is_failure_status(std::string_view status) {
    return status.find("failed") != std::string_view::npos ||
           status.find("cancelled") != std::string_view::npos ||
           status.find("unavailable") != std::string_view::npos;
}

void centered_text(DrawContext& ctx, std::string_view text, Rect r, double size, Color c) {
    auto g = ctx.text.measure(text, size);
    ctx.text.draw_text(ctx.painter, text, {r.center().x - g.width / 2, r.center().y - g.height / 2},
                       size, c);
}

// The first of `visible` rows shown so that `selected` is among them.
size_t first_shown_row(size_t selected, size_t count, size_t visible) {
    if (count <= visible) return 0;
    return std::min(selected >= visible / 2 ? selected - visible / 2 : 0, count - visible);
}

}  // namespace

void ChatApp::draw_attach_button(DrawContext& ctx, Rect r, bool thread) {
    HitTarget target{HitKind::Attach, thread ? "thread" : "", "", r};
    icon_button(ctx, r, "📎", target, 17);
}

double ChatApp::draw_status_line(DrawContext& ctx, Rect composer_box) {
    if (m_status.empty()) return 0;
    auto const& t = ctx.theme;
    Color c = is_failure_status(m_status) ? t.danger : t.text_secondary;
    ctx.text.draw_text_weighted(ctx.painter, m_status,
                                {composer_box.x + 4, composer_box.y - status_height + 2}, 12,
                                FontWeight::Regular, c, composer_box.width - 8, true);
    return status_height;
}

void ChatApp::draw_attachment_picker(DrawContext& ctx) {
    if (!m_picker.open) return;
    auto const& t = ctx.theme;
    Rect content = content_bounds();
    hit(content, {HitKind::Dismiss});
    size_t count = m_picker.entries.size();
    size_t rows = std::min(std::max<size_t>(count, 1), picker_visible_rows);
    double h = picker_header + double(rows) * picker_row + 10;
    Rect anchor = m_picker.anchor;
    // Opened without a control to point at (automation, a still picture): sit over the composer.
    if (anchor.is_empty()) anchor = {m_composer_rect.right() + 4, m_composer_rect.y, 34, 32};
    double x = std::clamp(anchor.right() - picker_width, content.x + 8,
                          std::max(content.x + 8, content.right() - picker_width - 8));
    double y = std::max(content.y + 8, anchor.y - h - 8);
    Rect card{x, y, picker_width, h};
    vemo_ui::surface::card(ctx.painter, t, card, t.radius_large, t.elevated_fill,
                           vemo_ui::surface::Elevation::High);
    ctx.text.draw_text_weighted(ctx.painter, "Workspace files", {card.x + 16, card.y + 14}, 14,
                                FontWeight::Semibold, t.text_primary);
    if (count > 0) {
        std::string total = std::to_string(count) + (count == 1 ? " file" : " files");
        auto g = ctx.text.measure(total, 12);
        ctx.text.draw_text(ctx.painter, total, {card.right() - 16 - g.width, card.y + 16}, 12,
                           t.text_tertiary);
    }
    Rect body{card.x + 6, card.y + picker_header, card.width - 12, double(rows) * picker_row};
    if (count == 0) {
        centered_text(ctx, m_picker.waiting ? "Loading attachments…" : "No files to attach", body,
                      13, t.text_secondary);
        return;
    }
    size_t first = first_shown_row(m_picker.selected, count, picker_visible_rows);
    for (size_t i = first; i < count && i < first + picker_visible_rows; ++i) {
        auto const& entry = m_picker.entries[i];
        Rect row{body.x, body.y + double(i - first) * picker_row, body.width, picker_row - 4};
        HitTarget target{HitKind::AttachPick, entry.path.string(), entry.name, row};
        bool hovered = m_hover && *m_hover == target;
        if (i == m_picker.selected)
            ctx.painter.fill_rounded_rect(row, 10, t.selected_fill);
        else if (hovered)
            ctx.painter.fill_rounded_rect(row, 10, t.hover_fill);
        Rect thumb{row.x + 8, row.y + 4, 40, 40};
        draw_picker_preview(ctx, entry, thumb);
        ctx.text.draw_text_weighted(ctx.painter, entry.name, {thumb.right() + 12, row.y + 6}, 14,
                                    FontWeight::Semibold, t.text_primary,
                                    row.right() - thumb.right() - 20, true);
        std::string size = entry.size ? file_size_text(*entry.size) : std::string("Size unknown");
        ctx.text.draw_text(ctx.painter, size, {thumb.right() + 12, row.y + 26}, 12,
                           t.text_tertiary);
        if (m_focused && *m_focused == target)
            vemo_ui::surface::focus_ring(ctx.painter, t, row, 10);
        hit(row, target);
    }
}

void ChatApp::draw_picker_preview(DrawContext& ctx, PickerEntry const& entry, Rect r) {
    auto const& t = ctx.theme;
    vemo_ui::ImageRef picture = entry.thumbnail;
    if (!picture && !entry.preview_source.empty()) {
        auto lookup = m_images->get(entry.preview_source);
        if (auto const* ref = std::get_if<vemo_ui::ImageRef>(&lookup)) picture = *ref;
    }
    if (picture && picture->width > 0 && picture->height > 0) {
        // Cover the square: crop the longer side.
        double scale = std::max(r.width / picture->width, r.height / picture->height);
        double w = picture->width * scale, h = picture->height * scale;
        ctx.painter.push_clip(r, 8);
        ctx.painter.draw_image(*picture, {r.center().x - w / 2, r.center().y - h / 2, w, h});
        ctx.painter.pop_clip();
        return;
    }
    ctx.painter.fill_rounded_rect(r, 8, t.accent_soft);
    centered_text(ctx, type_icon(entry.name), r, 18, t.link);
}

double ChatApp::draw_attachment(DrawContext& ctx, Attachment const& a, double x, double y,
                                double width, bool draw) {
    auto const& t = ctx.theme;
    if (auto const* image = std::get_if<ImageAttachment>(&a)) {
        double w = std::min(400.0, width);
        double aspect = image->w > 0 && image->h > 0 ? double(image->h) / double(image->w) : 0.5625;
        // Tall pictures are shown no taller than wide pictures would be at full width.
        double h = std::round(w * aspect);
        if (h > 400) w = std::round(w * 400 / h), h = 400;
        Rect frame{x, y, w, h};
        if (!draw) return h + 22;
        auto lookup = m_images->get(image_source(image->blob));
        if (auto const* ref = std::get_if<vemo_ui::ImageRef>(&lookup); ref && *ref) {
            ctx.painter.draw_image(**ref, frame, 12);
            vemo_ui::surface::edge_on(ctx.painter, frame, 12, t.window_fill);
        } else {
            ctx.painter.fill_rounded_rect(frame, 12, t.card_fill);
            centered_text(ctx,
                          std::holds_alternative<vemo_ui::ImageStore::Pending>(lookup)
                              ? "Loading image…"
                              : "Access not granted",
                          frame, 13, t.text_secondary);
        }
        ctx.text.draw_text_weighted(ctx.painter, image->name, {x, frame.bottom() + 4}, 12,
                                    FontWeight::Regular, t.text_tertiary, w, true);
        m_attachment_boxes.push_back({frame, a});
        return h + 22;
    }
    if (auto const* video = std::get_if<VideoAttachment>(&a)) {
        double w = std::min(400.0, width);
        double h = std::round(
            w * (video->w > 0 && video->h > 0 ? double(video->h) / double(video->w) : 0.5625));
        if (!draw) return h + 22;
        Rect frame{x, y, w, h};
        ctx.painter.fill_gradient(frame, 12, Color::rgb(0x20263a), Color::rgb(0x0d0f16));
        Rect play{frame.center().x - 28, frame.center().y - 28, 56, 56};
        ctx.painter.fill_ellipse(play, Color::rgb(0xffffff, 0.18f));
        auto g = ctx.text.measure("▶", 22);
        ctx.text.draw_text(ctx.painter, "▶",
                           {play.center().x - g.width / 2 + 2, play.center().y - g.height / 2}, 22,
                           Color::rgb(0xffffff));
        std::string info = video->name;
        if (video->w > 0 && video->h > 0)
            info += " · " + std::to_string(video->w) + "×" + std::to_string(video->h);
        if (video->size) info += " · " + file_size_text(video->size);
        ctx.text.draw_text_weighted(ctx.painter, info, {x, frame.bottom() + 4}, 12,
                                    FontWeight::Regular, t.text_tertiary, w, true);
        m_attachment_boxes.push_back({frame, a});
        return h + 22;
    }
    auto const& file = std::get<FileAttachment>(a);
    double w = std::min(340.0, width), h = 56;
    if (!draw) return h;
    Rect card{x, y, w, h};
    vemo_ui::surface::card(ctx.painter, t, card, 12, t.card_fill);
    Rect icon{card.x + 10, card.y + 10, 36, 36};
    ctx.painter.fill_rounded_rect(icon, 8, t.accent_soft);
    centered_text(ctx, type_icon(file.name), icon, 17, t.link);
    ctx.text.draw_text_weighted(ctx.painter, file.name, {icon.right() + 12, card.y + 10}, 14,
                                FontWeight::Semibold, t.text_primary, w - 70, true);
    ctx.text.draw_text(ctx.painter, file.size ? file_size_text(file.size) : std::string("File"),
                       {icon.right() + 12, card.y + 30}, 12, t.text_tertiary);
    m_attachment_boxes.push_back({card, a});
    return h;
}

}  // namespace chat
