#pragma once

#include <string>
#include <vector>

#include "app/local_identity.hpp"
#include "vemo_ui/permission.hpp"
#include "vemo_ui/widget.hpp"

namespace chat {

// The application object: the framework owns it and drives it once per frame.
class ChatApp final : public vemo_ui::Widget {
public:
    // A screenshot instance: not interactive, identity left at its default.
    ChatApp();
    // The interactive application, with the local identity determined from the environment.
    static std::unique_ptr<ChatApp> create_interactive();

    void sync(vemo_ui::FrameContext& ctx) override;
    vemo_ui::LayoutNode build_layout() override;
    void apply_layout(vemo_ui::Layout const& layout, double origin_x, double origin_y) override;
    void draw(vemo_ui::DrawContext& ctx) override;
    std::vector<std::string> operation_kinds() const override { return {"chat.operation"}; }
    std::string debug_name() const override { return "ChatApp"; }
    vemo_ui::Rect content_bounds() const override
    {
        return vemo_ui::Rect::from_edges(m_x0, m_y0, m_x1, m_y1);
    }
    bool accepts_keyboard_focus() const override { return true; }
    bool exposes_accessibility() const override { return true; }
    bool exposes_automation() const override { return true; }

    bool interactive() const { return m_interactive; }
    LocalIdentity const& identity() const { return m_identity; }
    float ui_scale() const { return m_ui_scale; }

private:
    void draw_rail(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_sidebar(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_main(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);

    LocalIdentity m_identity{"", "You", "Y", 0};
    std::vector<std::string> m_seen_ids;
    vemo_ui::PermissionContext m_permissions = vemo_ui::PermissionContext::permissive();
    bool m_interactive = false;
    std::string m_workspace_id = "ws_acme";
    std::string m_view_workspace_id = "ws_acme";
    std::string m_channel_id = "c_crit";
    double m_x0 = 0, m_y0 = 0, m_x1 = 0, m_y1 = 0;
    float m_ui_scale = 1.0f;
};

}  // namespace chat
