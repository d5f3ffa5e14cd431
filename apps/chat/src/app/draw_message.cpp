#include <algorithm>
#include <cmath>

#include "app/chat_app.hpp"
#include "app/draw_markup.hpp"
#include "app/draw_support.hpp"
#include "app/localisation.hpp"
#include "vemo_ui/avatar.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/painter.hpp"
#include "vemo_ui/surface.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace chat {

using vemo_ui::Color;
using vemo_ui::DrawContext;
using vemo_ui::FontWeight;
using vemo_ui::Point;
using vemo_ui::Rect;

namespace {

constexpr double avatar_size = 36;
constexpr double text_size = 15;
constexpr double max_text_width = 760;

std::string work_state_text(AgentWork const& work) {
    return std::visit(
        [](auto const& s) -> std::string {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, AgentWorkState::Taken>)
                return "Working on it";
            else if constexpr (std::is_same_v<S, AgentWorkState::Waiting>)
                return "Waiting for " + s.app;
            else if constexpr (std::is_same_v<S, AgentWorkState::Doing>)
                return s.about.empty() ? s.did : s.did + " — " + s.about;
            else if constexpr (std::is_same_v<S, AgentWorkState::Done>)
                return "Done: " + s.did;
            else
                return "Declined";
        },
        work.state.value);
}

std::string step_outcome_text(AgentStepOutcome const& o) {
    return std::visit(
        [](auto const& s) -> std::string {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, AgentStepOutcome::Asked>)
                return "asked";
            else if constexpr (std::is_same_v<S, AgentStepOutcome::Applied>)
                return "applied";
            else if constexpr (std::is_same_v<S, AgentStepOutcome::NoChange>)
                return "no change";
            else
                return "refused: " + s.why;
        },
        o.value);
}

}  // namespace

void row_focus_ring(DrawContext& ctx, Rect const& row) {
    // The ring lies 4 points outside the rectangle it goes round.
    vemo_ui::surface::focus_ring(ctx.painter, ctx.theme, row.inset(8, 1), ctx.theme.radius_small);
}

double ChatApp::layout_message(DrawContext& ctx, Message const& m, bool grouped, Rect r,
                               bool in_thread, bool draw) {
    auto const& t = ctx.theme;
    double pad_x = in_thread ? 16 : row_pad_x;
    double content_x = r.x + pad_x + avatar_size + 12;
    double width = std::max(40.0, std::min(max_text_width, r.right() - pad_x - content_x));
    double y = r.y + (grouped ? 2 : 12);
    bool hovered = m_hover_message == m.id;
    HitTarget row_stop{HitKind::MessageMenu, m.id, in_thread ? thread_row_tag : ""};
    // The keyboard reaches the row and its toolbar; the toolbar stays while focus is in it.
    bool row_focused =
        m_focused && (*m_focused == row_stop || (!in_thread && m_focused->a == m.id &&
                                                 m_focused->kind != HitKind::EmojiChoice &&
                                                 m_focused->kind != HitKind::MessageMenu));
    if (draw) {
        if (hovered || row_focused) ctx.painter.fill_rect(r, t.hover_fill);
        hit(r, row_stop);
        if (m_focused && *m_focused == row_stop) row_focus_ring(ctx, r);
    }
    if (!grouped) {
        if (draw) {
            auto const* p = model::find_person(m_view.directory, m.author);
            vemo_ui::widget::avatar::Avatar::draw(ctx.painter, t, ctx.text,
                                                  {r.x + pad_x, y + 2, avatar_size, avatar_size},
                                                  p ? p->initials : "?", p ? p->color_idx : 0);
            auto name = model::person_name(m_view.directory, m.author);
            auto size =
                ctx.text.draw_text_weighted(ctx.painter, name, {content_x, y}, 15,
                                            FontWeight::Semibold, t.text_primary, width - 60, true);
            double nx = content_x + size.width + 8;
            if (p && p->agent) {
                auto tag = ctx.text.measure("AGENT", 9.5, FontWeight::Bold);
                Rect pill{nx, y + 3, tag.width + 10, 16};
                ctx.painter.fill_rounded_rect(pill, 4, t.accent_soft);
                ctx.text.draw_text_weighted(ctx.painter, "AGENT",
                                            {pill.x + 5, pill.center().y - tag.height / 2}, 9.5,
                                            FontWeight::Bold, t.link);
                nx = pill.right() + 8;
            }
            ctx.text.draw_text(ctx.painter, clock_time(m.ts), {nx, y + 3}, 12, t.text_tertiary);
            if (m.pinned)
                ctx.text.draw_text(ctx.painter, "📌", {nx + 44, y + 2}, 11, t.text_tertiary);
        }
        y += 22;
    } else if (draw && hovered) {
        ctx.text.draw_text(ctx.painter, clock_time(m.ts), {r.x + pad_x - 2, y + 3}, 11,
                           t.text_tertiary);
    }

    bool editing = m_editing && m_editing->message == m.id;
    if (editing) {
        m_edit_input.set_draws_frame(false);
        m_edit_input.set_text_size(text_size);
        m_edit_input.set_padding(12, 9);
        double h = std::clamp(m_edit_input.preferred_height(width), 40.0, 200.0);
        Rect field{content_x, y + 2, width, h};
        if (draw) {
            ctx.painter.fill_rounded_rect(field, t.radius_medium, t.input_fill);
            vemo_ui::surface::focus_ring(ctx.painter, t, field, t.radius_medium);
            m_edit_input.draw(ctx, field);
            m_edit_rect = field;
            hit(field, {HitKind::FocusEdit});
        }
        y = field.bottom() + 8;
        if (draw) {
            auto hint = ctx.text.draw_text(ctx.painter, "Enter to save · Esc to cancel",
                                           {content_x, y + 5}, 12, t.text_tertiary);
            double bx = content_x + hint.width + 16;
            auto button = [&](char const* label, HitKind kind, bool primary) {
                auto size = ctx.text.measure(label, 12.5, FontWeight::Semibold);
                Rect b{bx, y, size.width + 24, 26};
                HitTarget target{kind};
                bool hov = m_hover && *m_hover == target;
                ctx.painter.fill_rounded_rect(b, t.radius_small,
                                              primary ? (hov ? t.accent_hover : t.accent)
                                                      : (hov ? t.pressed_fill : t.hover_fill));
                ctx.text.draw_text_weighted(
                    ctx.painter, label, {b.x + 12, b.center().y - size.height / 2}, 12.5,
                    FontWeight::Semibold, primary ? t.accent_text : t.text_primary);
                if (m_focused && *m_focused == target)
                    vemo_ui::surface::focus_ring(ctx.painter, t, b, t.radius_small);
                hit(b, target);
                bx = b.right() + 8;
            };
            button("Save", HitKind::EditSave, true);
            button("Cancel", HitKind::EditCancel, false);
        }
        y += 30;
    } else {
        MarkupFrame frame{m.id, m_hover, m_focused,
                          [this](Rect r, HitTarget target) { hit(r, std::move(target)); }};
        y += draw_markup(ctx, message_blocks(m), content_x, y, width, draw, frame);
        if (m.edited) {
            std::string edited = "(edited) · view history";
            auto es = ctx.text.measure(edited, 12);
            Rect link{content_x, y + 2, es.width, es.height};
            if (draw) {
                HitTarget history{HitKind::EditHistory, m.id, "", link};
                bool hov = m_hover && *m_hover == history;
                auto first = ctx.text.draw_text(ctx.painter, "(edited) · ", {link.x, link.y}, 12,
                                                t.text_tertiary);
                ctx.text.draw_text_weighted(ctx.painter, "view history",
                                            {link.x + first.width, link.y}, 12, FontWeight::Regular,
                                            hov ? t.accent_hover : t.link, std::nullopt, false);
                hit(link, history);
            }
            y = link.bottom() + 2;
        }
    }
    if (m.attachment) y += draw_attachment(ctx, *m.attachment, content_x, y + 6, width, draw) + 6;
    if (m.work) y += draw_agent_work(ctx, *m.work, content_x, y + 6, width, draw) + 6;
    if (!m.reactions.empty()) y += draw_reactions(ctx, m, content_x, y + 6, width, draw) + 6;
    if (!in_thread) {
        auto it = m_reply_counts.find(m.id);
        if (it != m_reply_counts.end()) {
            std::string label =
                std::to_string(it->second) + (it->second == 1 ? " reply" : " replies");
            auto size = ctx.text.measure(label, 13, FontWeight::Semibold);
            Rect link{content_x - 6, y + 4, size.width + 34, 26};
            if (draw) {
                HitTarget open{HitKind::OpenThread, m.id};
                bool hov = (m_hover && *m_hover == open) || m_nav.thread_root == m.id;
                if (hov) ctx.painter.fill_rounded_rect(link, t.radius_small, t.hover_fill);
                ctx.text.draw_text(ctx.painter, "💬", {link.x + 6, link.center().y - 8}, 12,
                                   t.text_secondary);
                ctx.text.draw_text_weighted(ctx.painter, label,
                                            {link.x + 26, link.center().y - size.height / 2}, 13,
                                            FontWeight::Semibold, t.link);
                if (m_focused && *m_focused == open)
                    vemo_ui::surface::focus_ring(ctx.painter, t, link, t.radius_small);
                hit(link, open);
            }
            y = link.bottom();
        }
    }
    // Hover toolbar: react and reply without hunting for the controls.
    if (draw && (hovered || row_focused) && !editing && !in_thread) {
        // Inside the row: rows are painted bottom-up, so the one above would cover it.
        Rect bar{r.right() - pad_x - 76, r.y + 4, 76, 32};
        vemo_ui::surface::card(ctx.painter, t, bar, 8, t.elevated_fill,
                               vemo_ui::surface::Elevation::Low);
        Rect react{bar.x + 4, bar.y + 2, 32, 28};
        icon_button(ctx, react, "☺", {HitKind::AddReaction, m.id, "", react}, 16);
        icon_button(ctx, {bar.x + 40, bar.y + 2, 32, 28}, "💬", {HitKind::OpenThread, m.id}, 14);
    }
    return y + 6 - r.y;
}

double ChatApp::draw_reactions(DrawContext& ctx, Message const& m, double x, double y, double width,
                               bool draw) {
    auto const& t = ctx.theme;
    double cx = x, cy = y, h = 28;
    auto place = [&](double w) {
        if (cx + w > x + width && cx > x) cx = x, cy += h + 6;
        Rect chip{cx, cy, w, h};
        cx += w + 6;
        return chip;
    };
    for (auto const& g : m.reactions) {
        bool mine = std::ranges::find(g.users, m_identity.id) != g.users.end();
        auto count = std::to_string(g.users.size());
        auto cs = ctx.text.measure(count, 12.5, FontWeight::Semibold);
        Rect chip = place(cs.width + 44);
        if (!draw) continue;
        HitTarget target{HitKind::Reaction, m.id, g.emoji};
        bool hov = m_hover && *m_hover == target;
        ctx.painter.fill_rounded_rect(chip, 14,
                                      mine  ? t.accent_soft
                                      : hov ? t.hover_fill
                                            : t.card_fill);
        if (mine)
            ctx.painter.stroke_rounded_rect(chip.inset(0.5), 13.5, t.accent, 1);
        else
            vemo_ui::surface::soft_outline(ctx.painter, t, chip, 14);
        ctx.text.draw_text(ctx.painter, g.emoji,
                           {chip.x + 9, chip.center().y - ctx.text.line_height(14) / 2}, 14,
                           t.text_primary);
        ctx.text.draw_text_weighted(ctx.painter, count,
                                    {chip.x + 31, chip.center().y - cs.height / 2}, 12.5,
                                    FontWeight::Semibold, mine ? t.link : t.text_secondary);
        if (m_focused && *m_focused == target)
            vemo_ui::surface::focus_ring(ctx.painter, t, chip, 14);
        hit(chip, target);
    }
    Rect add = place(40);
    if (draw) {
        HitTarget target{HitKind::AddReaction, m.id, "", add};
        bool hov = m_hover && *m_hover == target;
        ctx.painter.fill_rounded_rect(add, 14, hov ? t.hover_fill : t.card_fill);
        vemo_ui::surface::soft_outline(ctx.painter, t, add, 14);
        auto g = ctx.text.measure("☺＋", 13);
        ctx.text.draw_text(ctx.painter, "☺＋",
                           {add.center().x - g.width / 2, add.center().y - g.height / 2}, 13,
                           hov ? t.text_primary : t.text_secondary);
        if (m_focused && *m_focused == target)
            vemo_ui::surface::focus_ring(ctx.painter, t, add, 14);
        hit(add, target);
    }
    return cy + h - y;
}

double ChatApp::draw_agent_work(DrawContext& ctx, AgentWork const& work, double x, double y,
                                double width, bool draw) {
    auto const& t = ctx.theme;
    double w = std::min(480.0, width);
    auto steps = work.trace;
    std::ranges::stable_sort(steps, [](AgentStep const& a, AgentStep const& b) {
        return a.sequence.value_or(UINT64_MAX) < b.sequence.value_or(UINT64_MAX);
    });
    double h = 34 + (work.reasoning ? 20 : 0) + 20.0 * double(steps.size()) + 8;
    if (!draw) return h;
    Rect card{x, y, w, h};
    ctx.painter.fill_rounded_rect(card, 10, t.card_fill);
    ctx.painter.fill_rounded_rect({card.x, card.y, 3, card.height}, 1.5, t.accent);
    double ty = card.y + 9;
    ctx.text.draw_text_weighted(ctx.painter, "🤖 " + work_state_text(work), {card.x + 14, ty}, 13,
                                FontWeight::Semibold, t.text_primary, w - 28, true);
    ty += 25;
    if (work.reasoning) {
        std::string why = (work.reasoning->route == AgentRoute::Model ? "Reasoned: " : "Rule: ") +
                          work.reasoning->why;
        ctx.text.draw_text_weighted(ctx.painter, why, {card.x + 14, ty}, 12, FontWeight::Regular,
                                    t.text_secondary, w - 28, true);
        ty += 20;
    }
    for (auto const& step : steps) {
        ctx.text.draw_text_weighted(
            ctx.painter, "• " + step.label + " — " + step_outcome_text(step.outcome),
            {card.x + 14, ty}, 12, FontWeight::Regular, t.text_secondary, w - 28, true);
        ty += 20;
    }
    return h;
}

}  // namespace chat
