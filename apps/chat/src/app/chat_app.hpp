#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "actions/attachment_jobs.hpp"
#include "actions/dispatch.hpp"
#include "actions/operations.hpp"
#include "app/access_rows.hpp"
#include "app/attachment_picker.hpp"
#include "app/attention.hpp"
#include "app/composer_text.hpp"
#include "app/desktop_files.hpp"
#include "app/hit_target.hpp"
#include "app/list_scroll.hpp"
#include "app/local_identity.hpp"
#include "app/search_window.hpp"
#include "app/user_settings.hpp"
#include "app/window_layout.hpp"
#include "media/call_continuation.hpp"
#include "media/main_loop_wakeup.hpp"
#include "model/live_view.hpp"
#include "model/view_model.hpp"
#include "render_call/call_overlay.hpp"
#include "search/chat_search.hpp"
#include "vemo_ui/context_menu.hpp"
#include "vemo_ui/image_store.hpp"
#include "vemo_ui/permission.hpp"
#include "vemo_ui/screen_capture.hpp"
#include "vemo_ui/text_input.hpp"
#include "vemo_ui/tooltip_host.hpp"
#include "vemo_ui/transition.hpp"
#include "vemo_ui/widget.hpp"

namespace chat::call {
class CallSession;
struct CallEnv;
}  // namespace chat::call
namespace chat::media {
class CallTransport;
}

namespace chat {

// Codes of the context-menu items; what each does is in run_menu_item.
enum class MenuCode : int {
    Rename = 0,
    Delete = 1,
    MoveUp = 2,
    MoveDown = 3,
    NewTextChannel = 4,
    NewVoiceChannel = 5,
    NewCategory = 6,
    CollapseExpand = 7,
    ArchiveToggle = 8,
    EditMessage = 9,
    PinToggle = 10,
    DeleteMessage = 11,
    OpenAttachment = 12,
    SaveAttachmentAs = 13,
    InvitePeople = 14,
    JoinWorkspace = 15,
    MuteToggle = 16,
};

// The application object: the framework owns it and drives it once per frame.
class ChatApp final : public vemo_ui::Widget,
                      public OperationTarget,
                      public vemo_ui::realtime_continuity::Participant {
  public:
    enum class MenuKind { Channel, Category, Workspace, Message };
    struct MenuTarget {
        MenuKind kind = MenuKind::Workspace;
        std::string id;       // channel, category, workspace or message
        std::string channel;  // the message's channel
    };
    struct EditState {
        std::string channel;
        std::string message;
    };
    struct RenameState {
        bool category = false;
        std::string id;
        bool created = false;  // a channel made just now: open it once the name is confirmed
    };
    struct EmojiPicker {
        std::optional<std::string> message;  // none: the composer's picker
        vemo_ui::Rect anchor;
    };
    struct HistoryPopover {
        std::string message;
        vemo_ui::Rect anchor;
    };
    // One message row as the last draw placed it. Rows name their message by id: the list
    // they were drawn from may be replaced by the next sync before the next draw.
    struct RowBox {
        std::string message;
        vemo_ui::Rect rect;
    };
    // Something drawn that assistive technology reads but the pointer does not act on (a
    // person in the people panel, an entry of the edit history), grouped by panel.
    struct AccessBox {
        std::string group;  // "people", "history", or voice_group_prefix + the voice channel
        std::string id;
        std::string label;
        vemo_ui::Rect rect;
        std::string description{};
    };
    static constexpr char const* voice_group_prefix = "voice:";

    // A screenshot instance: not interactive, the demonstration's local person.
    ChatApp();
    ~ChatApp() override;
    // The interactive application, with the local identity determined from the environment.
    static std::unique_ptr<ChatApp> create_interactive();

    // Widget.
    void sync(vemo_ui::FrameContext& ctx) override;
    // Quitting leaves a running call as its Leave button does.
    void closing() override { leave_call(); }
    vemo_ui::LayoutNode build_layout() override;
    void apply_layout(vemo_ui::Layout const& layout, double origin_x, double origin_y) override;
    void draw(vemo_ui::DrawContext& ctx) override;
    bool handle_event(vemo_ui::Event const& event) override;
    std::vector<std::string> operation_kinds() const override { return {"chat.operation"}; }
    std::string debug_name() const override { return "ChatApp"; }
    vemo_ui::Rect content_bounds() const override {
        return vemo_ui::Rect::from_edges(m_x0, m_y0, m_x1, m_y1);
    }
    bool text_input_active() const override;
    vemo_ui::a11y::AccessNode accessibility() const override;
    std::optional<vemo_ui::Rect> synthetic_accessibility_rect(int kind,
                                                              size_t index) const override;
    bool focus_synthetic_accessibility(int kind, size_t index) override;
    bool perform_semantic_action(std::string const& id, std::string const& action) override;
    bool perform_text_edit(std::string const& id, vemo_ui::a11y::TextEdit const& edit) override;
    std::vector<std::string> take_announcements() override;
    bool accepts_keyboard_focus() const override { return true; }
    bool exposes_accessibility() const override { return true; }
    bool exposes_automation() const override { return true; }
    std::vector<vemo_actions::resource::Resource> list_resources() override;
    std::optional<vemo_actions::resource::Resource> describe_resource(
        std::string const& address) override;
    std::optional<vemo_ui::bound_dispatch::DispatchReport> take_dispatch_report() override;
    std::expected<void, std::string> handle_operation(
        vemo_actions::EncodedAction const& operation) override;
    std::expected<void, std::string> dispatch_encoded(
        vemo_actions::EncodedAction const& action) override;
    bool needs_animation_frame() const override;
    bool animation_moves_controls() const override;
    bool drop_files(std::vector<std::string> const& paths, vemo_ui::Point at) override;
    void set_document_status(std::string const& line) override { m_document_status = line; }
    std::optional<vemo_ui::Rect> text_input_caret_rect() const override;
    bool take_layout_changed() override;
    void draw_with_presence(vemo_ui::DrawContext& ctx,
                            vemo_ui::PresenceCtx const& presence) override;
    double realtime_interval() const override;
    void realtime_tick(vemo_ui::FrameContext& ctx) override;
    std::optional<std::string> automation_state(std::string const& topic) override;

    // The call (chat_call.cpp).
    void join_call(std::string const& channel);
    void leave_call();
    call::CallSession& call_session() { return *m_call; }
    call::CallSession const& call_session() const { return *m_call; }
    void set_call_transport(std::unique_ptr<media::CallTransport> transport);
    // Carrying a running call across a hand-over: export while in a call, import keeps a
    // continuation of a known voice channel pending, and the next sync after a resume request
    // re-enters that call without joining again. A leave request is carried out likewise.
    std::optional<std::string> export_call_continuation() const;
    bool import_call_continuation(std::string const& json);
    void request_call_resume() { m_call_resume_requested = true; }
    void request_call_leave();
    // The same, as the framework carries a call across a restart or ends it from outside.
    vemo_ui::realtime_continuity::Participant* realtime_participant() override { return this; }
    std::optional<std::string> export_continuation() const override {
        return export_call_continuation();
    }
    bool import_continuation(std::string const& text) override {
        return import_call_continuation(text);
    }
    void request_resume() override { request_call_resume(); }
    void request_leave() override { request_call_leave(); }
    // Screen sharing in the call: ask the desktop for a screen, collect its answer (run by
    // sync), start and stop the shared stream.
    bool request_screen_share();
    void poll_screen_capture();
    bool start_screen_share(vemo_ui::capture::ScreenCapture capture, int width, int height);
    void stop_screen_share();
    std::vector<std::shared_ptr<vemo_ui::search::provider::SearchProvider>> search_providers()
        override;
    // The call view (render_call/chat_call_view.cpp).
    render_call::CallOverlay& call_overlay() { return m_call_view; }
    render_call::CallOverlay const& call_overlay() const { return m_call_view; }
    render_call::CallScene call_scene() const;
    bool is_dragging_floating_call() const override;
    void draw_floating_surfaces(vemo_ui::DrawContext& ctx) override;
    // The desktop surface that shows the detached call, and the shell taking it back.
    std::string call_surface_id() const;
    bool adopt_desktop_surface(std::string const& surface_id);
    // The detached call on a desktop window of its own.
    void set_desktop_surfaces_available(bool available) override;
    std::vector<vemo_ui::DesktopSurface> desktop_surfaces() const override;
    void draw_desktop_surface(std::string const& id, vemo_ui::DrawContext& ctx) override;
    vemo_ui::a11y::AccessNode desktop_surface_accessibility(std::string const& id) const override;
    void desktop_surface_returned(std::string const& id) override;
    void main_window_moved(vemo_ui::Point by) override;
    std::string status_text_for_access() const;
    // Scenario set-up after layout: the floating call detached, dragged or collapsed.
    void set_up_floating_call_for_review(std::string_view name);

    // OperationTarget.
    void open_workspace(std::string const& workspace) override;
    void open_channel(std::string const& workspace, std::string const& channel) override;
    void open_category(std::string const& workspace, std::string const& category) override;
    void reveal_message(std::string const& workspace, std::string const& channel,
                        std::string const& message,
                        std::optional<std::string> const& parent) override;
    void open_person(std::string const& user) override;
    bool start_attachment_import(std::string const& channel, std::string const& path) override;
    // A picture pasted into the main composer or, with `thread`, the thread's: encoded and
    // imported in the background, then sent to the shown conversation.
    void attach_pasted_picture(desktop::ClipboardPicture picture, bool thread);
    // Pasted pictures waiting for the import before them at most (each keeps its pixels).
    static constexpr size_t max_waiting_pictures = 8;

    // The single activation path of clicks, Enter and semantic actions.
    void activate(HitTarget const& target);
    void send_focused();
    void begin_edit(std::string const& channel, std::string const& message);
    void save_edit();
    void cancel_edit();
    void begin_rename(bool category, std::string const& id, bool created = false);
    void submit_rename();
    void cancel_rename();
    void insert_text(std::string_view text);
    void open_context_menu(MenuTarget target, vemo_ui::Point at);
    void run_menu_item(int code);
    // The search window: over everything, or within the open conversation.
    void open_search(bool in_conversation);
    SearchWindow const& search_window() const { return m_search_window; }

    // What the window shows and holds; read by tests, screenshots and the accessibility tree.
    bool interactive() const { return m_interactive; }
    LocalIdentity const& identity() const { return m_identity; }
    // The colour presence gave a person shown, when it gave one.
    std::optional<vemo_ui::Color> presence_color_of(std::string const& person) const {
        auto it = m_presence_colors.find(person);
        if (it == m_presence_colors.end()) return std::nullopt;
        return it->second;
    }
    float ui_scale() const { return m_ui_scale; }
    model::ViewModel const& view() const { return m_view; }
    model::Navigation const& navigation() const { return m_nav; }
    LayoutModes layout_modes() const { return m_modes; }
    vemo_ui::Flap const& left_flap() const { return m_left_flap; }
    vemo_ui::Flap const& right_flap() const { return m_right_flap; }
    std::vector<HitRegion> const& hit_regions() const { return m_hits; }
    std::optional<HitTarget> const& focused_target() const { return m_focused; }
    bool in_inbox() const { return m_in_inbox; }
    bool thread_composer_focused() const { return m_thread_focus; }
    std::optional<EditState> const& editing() const { return m_editing; }
    std::optional<RenameState> const& renaming() const { return m_renaming; }
    std::optional<EmojiPicker> const& emoji_picker() const { return m_emoji; }
    std::optional<HistoryPopover> const& history_popover() const { return m_history; }
    vemo_ui::ContextMenu const& context_menu() const { return m_menu; }
    std::optional<MenuTarget> const& menu_target() const { return m_menu_target; }
    double scroll_offset() const { return m_scroll.offset(); }
    bool following_latest() const { return m_scroll.following(); }
    // The thread panel's scroll and the rows it drew last, root first.
    ListScroll const& thread_scroll() const { return m_thread_scroll; }
    std::vector<RowBox> const& visible_thread_rows() const { return m_thread_rows; }
    vemo_ui::TextInput& main_composer() { return m_composer; }
    vemo_ui::TextInput& thread_composer() { return m_thread_composer; }
    vemo_ui::TextInput& edit_input() { return m_edit_input; }
    vemo_ui::TextInput& rename_input() { return m_rename_input; }
    vemo_ui::TextInput& invite_input() { return m_invite_input; }
    // The sharing dialogue's invite and its last note; nothing while it is closed.
    std::optional<std::pair<std::string, std::string>> share_dialog_texts() const;
    std::vector<RowBox> const& visible_rows() const { return m_rows; }
    // Where the channel's welcome header was drawn this frame; nothing while it is scrolled away.
    std::optional<vemo_ui::Rect> const& welcome_header() const { return m_welcome_header; }
    // The welcome's badge glyph and title as last drawn.
    std::pair<std::string, std::string> const& welcome_texts() const { return m_welcome_texts; }
    std::vector<MentionCandidate> mention_candidates() const;
    void set_permissions(vemo_ui::PermissionContext permissions) { m_permissions = permissions; }

    // Scenario set-up for screenshots.
    void set_use_home_seed(bool use) { m_use_home_seed = use; }
    void close_panels();
    void close_left_flap();
    void open_people_panel();
    void open_thread(std::string const& root);
    void close_thread();
    void scroll_back(double offset);
    void set_initial_draft(std::string text) { m_initial_draft = std::move(text); }
    void set_thread_focus(bool focused) { m_thread_focus = focused, apply_focus_rule(); }
    void set_edit_text(std::string text);
    // Puts a message into edit mode before the document is read, for a still picture.
    void set_editing_for_review(std::string channel, std::string message, std::string text) {
        m_editing = EditState{std::move(channel), std::move(message)};
        set_edit_text(std::move(text));
        apply_focus_rule();
    }
    vemo_ui::ImageStore& images() { return *m_images; }
    // Image references of the shown conversation and the attachment picker, for preloading.
    std::vector<std::string> shown_image_references() const;

    // Attachments: the picker, the import and the status line.
    void open_attachment_picker(bool thread, vemo_ui::Rect anchor = {});
    bool dismiss_attachment_picker();
    void pick_attachment(std::string const& choice);
    AttachmentPicker const& attachment_picker() const { return m_picker; }
    struct AttachmentBox {
        vemo_ui::Rect rect;
        Attachment attachment;
    };
    std::vector<AttachmentBox> const& attachment_boxes() const { return m_attachment_boxes; }
    // Writes the attachment into the cache directory and opens it with the default application.
    void open_attachment(Attachment const& attachment);
    // Asks where to save the attachment, then writes it there.
    void save_attachment_as(Attachment const& attachment);
    std::string const& status_line() const { return m_status; }
    void set_status_line(std::string text) { m_status = std::move(text); }
    // Scenario set-up: the picker open on these entries, or still waiting for its listing.
    void show_attachment_picker_for_review(std::vector<PickerEntry> entries);
    void set_attachment_picker_waiting_for_review();

    // The person's own settings (theme, notifications, sounds, muted channels).
    UserSettings const& user_settings() const { return m_settings; }
    bool settings_open() const { return m_settings_open; }

  private:
    // Attention and settings (chat_attention.cpp).
    void load_user_settings_file();
    void store_user_settings();
    void update_attention();
    void open_notified_message(std::string const& id);
    void add_mute_menu_item(MenuTarget const& target);
    bool run_mute_menu_item(int code, MenuTarget const& target);
    void apply_theme_setting();
    // The settings popover (settings_popover.cpp).
    void draw_settings_button(vemo_ui::DrawContext& ctx, vemo_ui::Rect bar);
    void draw_settings_popover(vemo_ui::DrawContext& ctx, vemo_ui::Rect content);
    void activate_settings(HitTarget const& target);
    bool settings_control_pressed(HitTarget const& target) const;

    // Frame cycle.
    void seed(automerge::AutoCommit& doc);
    void demo_attachment_pass(automerge::AutoCommit& doc);
    void refresh();
    void mark_shown_read();
    void tick_flaps(double now);
    bool dispatch(ChatAction const& action);
    bool can_write() const { return m_permissions.check(vemo_ui::AccessLevel::Write); }
    void poll_attachment_listing();
    void poll_attachment_import();
    bool handle_picker_key(vemo_ui::KeyEvent const& key);
    bool open_attachment_at(vemo_ui::Point p, std::optional<HitTarget> const& target);
    void add_attachment_menu_items(MenuTarget const& target);
    bool run_attachment_menu_item(int code, MenuTarget const& target);
    void export_attachment(std::string blob, std::string name, std::filesystem::path path,
                           bool open);
    void poll_attachment_export();
    // Ctrl+V in a composer: a picture on the clipboard is attached like a picked file.
    void paste_picture_on(vemo_ui::KeyEvent const& key);
    // Starts importing a file into the channel (a reply when `parent` is set), or queues it
    // behind the import running; false when refused. Queued files (dropped together, picked or
    // pasted while another was imported) are imported one after another, each into the
    // conversation (and thread) they were meant for.
    struct WaitingImport {
        std::string channel;
        AttachmentJobs::FileMaker make;
        std::optional<std::string> parent;
        bool pasted = false;  // holds a pasted picture's pixels until its turn
    };
    void start_next_waiting_import();
    bool begin_import(std::string const& channel, std::filesystem::path path,
                      std::optional<std::string> parent);
    bool begin_import(std::string const& channel, AttachmentJobs::FileMaker make,
                      std::optional<std::string> parent, bool pasted = false);
    bool start_import_now(WaitingImport job);
    // An import runs or others wait their turn.
    bool import_busy() const {
        return m_attachment_jobs.pending_import() || !m_waiting_imports.empty();
    }

    call::CallEnv call_env() const;
    void run_call_step();
    void run_media_step();
    bool call_pictures_new() const;
    void resume_pending_continuation();
    bool activate_call_control(HitTarget const& target);
    bool perform_call_control(std::string const& id);
    void place_call_view();
    bool call_view_animating() const;
    bool call_expanded() const;
    void toggle_call_expanded();
    void toggle_call_participants();
    bool handle_call_drag(vemo_ui::PointerEvent const& pointer);
    void draw_call_overlay(vemo_ui::DrawContext& ctx);

    // Input.
    bool handle_key(vemo_ui::KeyEvent const& key);
    bool handle_pointer(vemo_ui::PointerEvent const& pointer);
    bool handle_wheel(vemo_ui::WheelEvent const& wheel);
    bool key_to_composer(vemo_ui::Event const& event);
    bool edit_last_own_message();
    void move_focus(bool backwards);
    void focus_target(HitTarget const& target);
    void apply_focus_rule();
    void store_draft(bool thread);
    std::optional<HitTarget> target_at(vemo_ui::Point p) const;
    HitRegion const* region_of(std::string const& semantic) const;
    void after_submit(vemo_ui::TextInput& input);
    void select_channel(std::string const& channel);
    void toggle_reaction(std::string const& message, std::string const& emoji);
    void jump_to_latest() { m_scroll.jump_to_latest(); }
    LabelFacts label_facts(HitTarget const& target) const;
    vemo_ui::a11y::States control_states(HitTarget const& target, LabelFacts const& facts) const;
    vemo_ui::a11y::AccessNode panel_nodes() const;
    std::vector<vemo_ui::a11y::AccessNode> box_nodes(std::string_view group,
                                                     vemo_ui::a11y::Role role) const;
    std::optional<bool> perform_row_action(std::string const& id, std::string const& action);
    // The text field a text-field target names.
    vemo_ui::TextInput const& text_field(HitKind kind) const;
    vemo_ui::TextInput& text_field(HitKind kind) {
        return const_cast<vemo_ui::TextInput&>(std::as_const(*this).text_field(kind));
    }
    // The keyboard's stops in screen order, region by region, each control once.
    struct FocusStop {
        HitTarget target;
        int rank;    // the region: rail, sidebar, heading, messages, composer, right panel...
        double row;  // then top to bottom
        double x;    // and left to right
    };
    std::vector<FocusStop> focus_stops() const;
    std::optional<FocusStop> offscreen_row_stop() const;
    std::vector<std::string> row_ids(bool thread) const;
    int region_rank(HitRegion const& region) const;
    void jump_region(bool backwards);
    bool open_menu_for_focus();
    MenuTarget menu_for(HitTarget const& target) const;
    void move_row_focus(vemo_ui::Key key);
    // The open thread: its replies in order, and its root (when loaded) followed by them.
    std::vector<Message const*> thread_replies() const;
    std::vector<Message const*> thread_messages() const;
    bool focus_in_thread() const;
    void add_row_nodes(vemo_ui::a11y::AccessNode& list, std::vector<Message const*> const& messages,
                       std::vector<RowBox> const& drawn, bool thread) const;
    void focus_message_row(std::string const& message, bool thread);
    Channel const* find_channel(std::string_view id) const;
    Category const* find_category(std::string_view id) const;
    Message const* find_message(std::string_view id) const;
    std::string workspace_name(std::string_view id) const;
    uint32_t inbox_unread() const;
    std::string thread_draft_key() const;

    // Drawing.
    void hit(vemo_ui::Rect r, HitTarget target);
    void draw_rail(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_sidebar(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    double draw_channel_entry(vemo_ui::DrawContext& ctx, Channel const& channel, double x, double y,
                              double width, std::string_view from_workspace);
    void draw_identity_bar(vemo_ui::DrawContext& ctx, vemo_ui::Rect bar);
    // Sharing: the identity bar's status and button, the invite/join dialogue (share_dialog.cpp).
    struct ShareDialog {
        std::string invite;
        std::string note;
    };
    std::string sharing_summary() const;
    void draw_share_button(vemo_ui::DrawContext& ctx, vemo_ui::Rect bar);
    void draw_share_dialog(vemo_ui::DrawContext& ctx, vemo_ui::Rect content);
    void activate_share(HitTarget const& target);
    void open_share_dialog();
    // Keys for the dialogue's invite field while it is open; false when the dialogue is closed.
    bool handle_share_key(vemo_ui::KeyEvent const& key);
    void join_invite(std::string const& text);
    void draw_main(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    vemo_ui::Rect draw_document_status(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_heading(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_message_list(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_jump_to_latest(vemo_ui::DrawContext& ctx, vemo_ui::Rect list,
                             vemo_ui::Color background, HitTarget const& jump);
    // Lays out one message row at the top of r (drawing it when `draw` is set); answers its height.
    double layout_message(vemo_ui::DrawContext& ctx, Message const& m, bool grouped,
                          vemo_ui::Rect r, bool in_thread, bool draw);
    bool grouped_with_previous(size_t top_level_pos) const;
    double draw_reactions(vemo_ui::DrawContext& ctx, Message const& m, double x, double y,
                          double width, bool draw);
    double draw_attachment(vemo_ui::DrawContext& ctx, Attachment const& a, double x, double y,
                           double width, bool draw);
    double draw_agent_work(vemo_ui::DrawContext& ctx, AgentWork const& work, double x, double y,
                           double width, bool draw);
    double draw_composer(vemo_ui::DrawContext& ctx, vemo_ui::Rect area, bool thread);
    void draw_right(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_people(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_thread(vemo_ui::DrawContext& ctx, vemo_ui::Rect r);
    void draw_emoji_picker(vemo_ui::DrawContext& ctx);
    void draw_history_popover(vemo_ui::DrawContext& ctx);
    void draw_day_label(vemo_ui::DrawContext& ctx, vemo_ui::Rect list, double y);
    void draw_welcome_header(vemo_ui::DrawContext& ctx, vemo_ui::Rect list, double bottom);
    bool icon_button(vemo_ui::DrawContext& ctx, vemo_ui::Rect r, std::string_view glyph,
                     HitTarget target, double size = 16);
    void register_pictures();
    void settle_after_draw();

    // Search (search_window.cpp).
    std::shared_ptr<search::ChatSearchProvider> const& search_provider();
    void update_search();
    // The open search window's results lag behind the catalog being built (a frame refreshes).
    bool search_behind() const;
    bool handle_search_event(vemo_ui::Event const& event);
    std::optional<bool> perform_search_action(std::string const& id, std::string const& action);
    void choose_search_result(size_t index);
    void page_search_results(bool down);
    double draw_search_field(vemo_ui::DrawContext& ctx, double x, double y, double width);
    void draw_search(vemo_ui::DrawContext& ctx, vemo_ui::Rect content);
    void apply_pending_reveal(vemo_ui::DrawContext& ctx, vemo_ui::Rect list);
    // Measures the conversation's row at a top-level position, for the list in `list`.
    std::function<double(size_t)> conversation_row_height(vemo_ui::DrawContext& ctx,
                                                          vemo_ui::Rect list);
    void draw_attach_button(vemo_ui::DrawContext& ctx, vemo_ui::Rect r, bool thread);
    // Draws the status line over the composer box; answers the height it takes.
    double draw_status_line(vemo_ui::DrawContext& ctx, vemo_ui::Rect composer_box);
    void draw_attachment_picker(vemo_ui::DrawContext& ctx);
    void draw_picker_preview(vemo_ui::DrawContext& ctx, PickerEntry const& entry, vemo_ui::Rect r);

    // Text inputs.
    vemo_ui::TextInput m_composer = vemo_ui::TextInput::local();
    vemo_ui::TextInput m_thread_composer = vemo_ui::TextInput::local();
    vemo_ui::TextInput m_edit_input = vemo_ui::TextInput::local();
    vemo_ui::TextInput m_rename_input = vemo_ui::TextInput::local();
    vemo_ui::TextInput m_invite_input = vemo_ui::TextInput::local();

    // Navigation.
    model::Navigation m_nav;
    bool m_in_inbox = false;
    bool m_thread_focus = false;
    std::optional<EditState> m_editing;
    std::optional<RenameState> m_renaming;

    // Panels.
    vemo_ui::Flap m_left_flap = vemo_ui::Flap::with_default(true);
    vemo_ui::Flap m_right_flap = vemo_ui::Flap::with_default(false);
    ListScroll m_scroll;         // the conversation's
    ListScroll m_thread_scroll;  // the thread panel's
    LayoutModes m_modes;

    // Menus and pickers.
    vemo_ui::ContextMenu m_menu;
    std::optional<MenuTarget> m_menu_target;
    std::optional<EmojiPicker> m_emoji;
    vemo_ui::share::Sharing* m_sharing = nullptr;
    std::optional<ShareDialog> m_share_dialog;
    std::optional<HistoryPopover> m_history;

    // Identity and the document view.
    LocalIdentity m_identity{"u_me", "You", "YU", 0};
    std::vector<std::string> m_seen_ids;
    // Colours the framework's presence gives the people shown, by person id.
    std::map<std::string, vemo_ui::Color> m_presence_colors;
    model::LiveView m_live;  // refreshed by what changed since the last refresh
    model::ViewModel const& m_view = m_live.view();
    std::vector<automerge::ChangeHash> m_heads;
    std::map<std::string, size_t> m_reply_counts;
    // The screen-reader rows of the conversation and of the open thread, kept between builds.
    mutable AccessRows m_access_rows{message_row_prefix};
    mutable AccessRows m_access_thread_rows{thread_row_prefix};
    std::vector<size_t> m_top_level;  // indices of the shown list's top-level messages
    vemo_ui::PermissionContext m_permissions = vemo_ui::PermissionContext::permissive();
    automerge::AutoCommit* m_doc = nullptr;

    std::unique_ptr<vemo_ui::ImageStore> m_images;
    AttachmentJobs m_attachment_jobs;
    std::deque<WaitingImport> m_waiting_imports;
    AttachmentPicker m_picker;
    std::vector<AttachmentBox> m_attachment_boxes;  // where the last draw put attachments
    struct AttachmentExport {
        std::filesystem::path path;
        std::string name;
        bool open = false;
        std::expected<void, std::string> result;
    };
    BackgroundTask<AttachmentExport> m_attachment_export;
    // Callbacks that may outlive this object (a save dialog) hold it weakly.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    ActionState m_actions;
    std::string m_status;
    std::string m_document_status;  // the framework's notice about the document file
    std::optional<std::string> m_initial_draft;

    // Geometry and frame state.
    double m_x0 = 0, m_y0 = 0, m_x1 = 0, m_y1 = 0;
    float m_ui_scale = 1.0f;
    double m_time = 0;
    Regions m_regions;
    std::vector<HitRegion> m_hits;
    std::vector<RowBox> m_rows;
    std::optional<vemo_ui::Rect> m_welcome_header;
    std::pair<std::string, std::string> m_welcome_texts;
    std::vector<RowBox> m_thread_rows;      // the thread panel's rows, root first
    std::vector<AccessBox> m_access_boxes;  // read-only things drawn this frame
    vemo_ui::Rect m_history_card;
    // New messages are announced once: what the shown conversation held when last looked at.
    std::string m_announced_key;
    std::set<std::string> m_announced;
    int64_t m_announced_since = 0;
    std::optional<std::string> m_focused_row;  // message id
    std::optional<HitTarget> m_focused;
    std::optional<HitTarget> m_hover;
    std::optional<std::string> m_hover_message;
    vemo_ui::Point m_pointer;
    std::optional<std::pair<vemo_ui::Point, std::string>> m_channel_press;
    vemo_ui::TooltipHost m_tooltips;
    vemo_ui::Rect m_composer_rect, m_thread_composer_rect, m_edit_rect, m_rename_rect;

    std::unique_ptr<call::CallSession> m_call;
    // Moves call sound as soon as it is there rather than at the next tick (declared after
    // the call, so that it goes first).
    std::unique_ptr<media::MainLoopWakeup> m_media_wakeup;
    bool m_call_leftovers_cleared = false;
    std::optional<call::ChatCallContinuation> m_pending_continuation;
    bool m_call_resume_requested = false;
    double m_voice_view_read_at = 0;
    std::uint64_t m_pictures_shown = 0;  // the call's picture serial the last frame drew
    // Search.
    std::shared_ptr<search::ChatSearchProvider> m_search;
    std::vector<automerge::ChangeHash> m_search_heads;  // what the search last saw
    model::ViewChange m_search_change;                  // what the refreshes changed since then
    SearchWindow m_search_window;
    std::optional<std::string> m_pending_reveal;         // a message to scroll to on the next draw
    std::optional<std::string> m_pending_thread_reveal;  // the same in the thread panel
    vemo_ui::Rect m_thread_list;                         // where the thread's rows went
    bool m_reveal_nearest = false;  // scroll it just into view rather than to the middle
    render_call::CallOverlay m_call_view;
    bool m_call_desktop_surface = false;    // a desktop surface can show the detached call
    std::vector<HitRegion> m_surface_hits;  // the detached call's controls, main-window points

    // Attention and settings.
    Attention m_attention;
    std::vector<automerge::ChangeHash> m_attention_heads;
    UserSettings m_settings;
    std::optional<std::filesystem::path> m_settings_path;
    bool m_settings_open = false;
    vemo_ui::Rect m_settings_anchor;

    // Frame flags.
    bool m_interactive = false;
    bool m_use_home_seed = false;
    bool m_attachment_pass_done = false;
    bool m_layout_changed = false;
    bool m_right_opened_for_thread = false;  // closing the thread closes the panel too
    bool m_pointer_inside = false;
    bool m_hover_stale = false;  // the content under a still pointer changed: draw again
};

}  // namespace chat
