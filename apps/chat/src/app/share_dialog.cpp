// Sharing in the window: the status in the identity bar, and the dialogue that hands out an
// invite or joins the workspace of one.
#include "app/chat_app.hpp"
#include "app/draw_support.hpp"
#include "vemo_ui/clipboard.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/share/sharing.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

using vemo_ui::DrawContext;
using vemo_ui::FontWeight;
using vemo_ui::Rect;

namespace {

constexpr double dialog_width = 560;
constexpr double dialog_height = 390;
constexpr double pad = 24;

void button(DrawContext& ctx, Rect r, std::string const& label, bool primary) {
    auto const& t = ctx.theme;
    ctx.painter.fill_rounded_rect(r, 8, primary ? t.accent : t.hover_fill);
    if (!primary) ctx.painter.stroke_rounded_rect(r, 8, t.hairline_strong, 1);
    auto size = ctx.text.measure(label, 14, FontWeight::Semibold);
    ctx.text.draw_text_weighted(ctx.painter, label,
                                {r.center().x - size.width / 2, r.center().y - size.height / 2}, 14,
                                FontWeight::Semibold, primary ? t.accent_text : t.text_primary);
}

}  // namespace

std::string ChatApp::sharing_summary() const {
    return m_sharing ? m_sharing->status().summary() : std::string();
}

void ChatApp::draw_share_button(DrawContext& ctx, Rect bar) {
    if (!m_sharing) return;
    auto const& t = ctx.theme;
    Rect r{bar.right() - 40, bar.center().y - 14, 28, 28};
    auto status = m_sharing->status();
    auto dot = status.connected_devices() > 0 ? t.success
               : status.devices.empty()       ? t.text_tertiary
                                              : t.warning;
    ctx.painter.fill_rounded_rect(r, 8, t.hover_fill);
    auto size = ctx.text.measure("+", 18, FontWeight::Semibold);
    ctx.text.draw_text_weighted(ctx.painter, "+",
                                {r.center().x - size.width / 2, r.center().y - size.height / 2}, 18,
                                FontWeight::Semibold, t.text_primary);
    ctx.painter.fill_ellipse(Rect{r.right() - 8, r.y - 2, 10, 10}.inset(-2), t.sidebar_fill);
    ctx.painter.fill_ellipse(Rect{r.right() - 8, r.y - 2, 10, 10}, dot);
    hit(r, {HitKind::ShareOpen});
}

void ChatApp::draw_share_dialog(DrawContext& ctx, Rect content) {
    if (!m_share_dialog || !m_sharing) return;
    auto const& t = ctx.theme;
    auto const& d = *m_share_dialog;
    ctx.painter.fill_rect(content, t.scrim);
    hit(content, {HitKind::Dismiss});
    double w = std::min(dialog_width, content.width - 32);
    Rect card{content.center().x - w / 2, content.center().y - dialog_height / 2, w, dialog_height};
    vemo_ui::surface::card(ctx.painter, t, card, 14, t.elevated_fill,
                           vemo_ui::surface::Elevation::High);
    hit(card, {HitKind::FocusMain});  // clicks on the card stay in it
    double x = card.x + pad, y = card.y + pad, inner = w - 2 * pad;

    ctx.text.draw_text_weighted(ctx.painter, "Invite people", {x, y}, 18, FontWeight::Semibold,
                                t.text_primary);
    Rect close{card.right() - 44, card.y + 16, 28, 28};
    ctx.text.draw_text_weighted(ctx.painter, "✕", {close.x + 7, close.y + 4}, 15,
                                FontWeight::Regular, t.text_secondary);
    hit(close, {HitKind::ShareClose});
    y += 32;
    ctx.text.draw_text_weighted(
        ctx.painter,
        "Send this invite to one person. It lets one device in, once, within 24 hours.", {x, y}, 13,
        FontWeight::Regular, t.text_secondary, inner);
    y += 26;
    Rect box{x, y, inner, 66};
    ctx.painter.fill_rounded_rect(box, 8, t.input_fill);
    ctx.painter.push_clip(box);
    ctx.text.draw_text_weighted(ctx.painter, d.invite, {box.x + 10, box.y + 8}, 11,
                                FontWeight::Regular, t.text_primary, box.width - 20);
    ctx.painter.pop_clip();
    // A screen reader reads the invite itself, not only the button that copies it.
    m_access_boxes.push_back({"share", "share-invite", d.invite, box, "The invite to send"});
    y += 78;
    Rect copy{x, y, 96, 34};
    button(ctx, copy, "Copy", true);
    hit(copy, {HitKind::ShareCopy});
    if (m_sharing->status().server_url)
        ctx.text.draw_text_weighted(
            ctx.painter,
            "Through the sync server, anyone who has the document's address can read it.",
            {copy.right() + 14, y + 2}, 12, FontWeight::Regular, t.warning,
            inner - copy.width - 14);
    y += 52;
    vemo_ui::surface::separator(ctx.painter, t, {x, y}, inner);
    y += 14;
    ctx.text.draw_text_weighted(ctx.painter, "Join a workspace…", {x, y}, 15, FontWeight::Semibold,
                                t.text_primary);
    y += 24;
    ctx.text.draw_text_weighted(
        ctx.painter,
        "Paste an invite you were sent. This device's workspace is kept in a file beside the "
        "new one.",
        {x, y}, 13, FontWeight::Regular, t.text_secondary, inner);
    y += 42;
    Rect join{card.right() - pad - 96, y, 96, 34};
    Rect field{x, y, join.x - 12 - x, 34};
    ctx.painter.fill_rounded_rect(field, 8, t.input_fill);
    vemo_ui::surface::focus_ring(ctx.painter, t, field, 8);
    m_invite_input.set_draws_frame(false);
    m_invite_input.set_text_size(12);
    m_invite_input.set_padding(10, 8);
    m_invite_input.set_placeholder("vemo-invite:…");
    ctx.painter.push_clip(field);
    m_invite_input.draw(ctx, field);
    ctx.painter.pop_clip();
    button(ctx, join, "Join", false);
    hit(join, {HitKind::ShareJoin});
    if (!d.note.empty())
        ctx.text.draw_text_weighted(ctx.painter, d.note, {x, card.bottom() - pad - 4}, 12,
                                    FontWeight::Regular, t.text_secondary, inner, true);
}

std::optional<std::pair<std::string, std::string>> ChatApp::share_dialog_texts() const {
    if (!m_share_dialog) return std::nullopt;
    return std::pair{m_share_dialog->invite, m_share_dialog->note};
}

void ChatApp::open_share_dialog() {
    if (!m_sharing) return;
    auto invite = m_sharing->create_invite();
    m_share_dialog = ShareDialog{invite ? *invite : std::string(),
                                 invite ? std::string() : "No invite: " + invite.error()};
    m_invite_input.set_text("");
}

void ChatApp::join_invite(std::string const& text) {
    if (!m_share_dialog || !m_sharing) return;
    auto invite = trimmed(text);
    if (invite.empty()) {
        m_share_dialog->note = "Paste the invite you were sent into the field first.";
        return;
    }
    auto begun = m_sharing->begin_join(invite);
    m_share_dialog->note = begun ? "Joining… the workspace appears once it has arrived."
                                 : "Cannot join: " + begun.error();
}

bool ChatApp::handle_share_key(vemo_ui::KeyEvent const& key) {
    if (!m_share_dialog) return false;
    if (key.key == vemo_ui::Key::Escape) {
        m_share_dialog.reset();
        apply_focus_rule();
        refresh();
        return true;
    }
    // Tab and Enter on the dialogue's buttons still go to them.
    if (key.key == vemo_ui::Key::Tab) return false;
    if ((key.key == vemo_ui::Key::Enter || key.key == vemo_ui::Key::Space) && m_focused &&
        m_focused->kind != HitKind::FocusMain)
        return false;
    m_invite_input.handle_event(key);
    if (m_invite_input.take_submit()) join_invite(m_invite_input.text());
    m_invite_input.take_dirty();
    return true;
}

void ChatApp::activate_share(HitTarget const& target) {
    if (!m_sharing) return;
    switch (target.kind) {
        case HitKind::ShareOpen:
            open_share_dialog();
            break;
        case HitKind::ShareCopy:
            if (m_share_dialog && !m_share_dialog->invite.empty()) {
                vemo_ui::Clipboard::system()->set_text(m_share_dialog->invite);
                m_share_dialog->note = "Invite copied.";
            }
            break;
        case HitKind::ShareJoin:
            join_invite(m_invite_input.text());
            break;
        case HitKind::ShareClose:
            m_share_dialog.reset();
            break;
        default:
            break;
    }
}

}  // namespace chat
