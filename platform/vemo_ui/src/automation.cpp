// The headless automation host: an application run without a window, driven by JSON
// commands on standard input, one answer per line on standard output. Everything goes
// through the same widget operations a click or a screen reader uses.
//
// What an answer promises: every change the command made has been handed to the file (the
// kernel has the bytes, so killing the process loses none of them) and reaches the disk
// within half the store's flush interval unless the disk fails. While saving fails, every
// answer carries the reason in "unsaved", and the session ends with status 1.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "automation_host.hpp"
#include "automation_io.hpp"
#include "automation_share.hpp"
#include "automerge/json.hpp"
#include "vemo_actions/resource_json.hpp"
#include "vemo_ui/launch.hpp"
#include "vemo_ui/search/provider.hpp"
#include "vemo_ui/theme.hpp"

namespace vemo_ui::automation {

namespace {

using nlohmann::json;

constexpr int automation_width = 1280;
constexpr int automation_height = 800;
constexpr int max_frames_per_command = 10000;
// Generous for any real command (a message is at most 64 KiB of text, a few times that
// escaped); a longer line is skipped with an error answer instead of filling memory.
constexpr size_t max_line_bytes = 8u << 20;
constexpr int64_t search_default_limit = 20;
constexpr int64_t search_max_limit = 1000;
constexpr auto search_settle_time = std::chrono::seconds(60);
constexpr int64_t settle_default_frames = 3000;

json rect_json(Rect const& r) {
    return {{"x", r.x}, {"y", r.y}, {"w", r.width}, {"h", r.height}};
}

json access_json(a11y::AccessNode const& node) {
    json children = json::array();
    for (auto const& c : node.children) children.push_back(access_json(c));
    json out = {{"role", a11y::role_name(node.role)},
                {"id", node.id},
                {"label", node.label},
                {"description", node.description},
                {"rect", rect_json(node.rect)},
                {"states",
                 {{"pressed", node.states.pressed},
                  {"selected", node.states.selected},
                  {"expanded", node.states.expanded},
                  {"focused", node.states.focused},
                  {"disabled", node.states.disabled},
                  {"expandable", node.states.expandable},
                  {"offscreen", node.states.offscreen}}},
                {"children", std::move(children)}};
    if (!node.actions.empty()) out["actions"] = node.actions;
    if (!node.live.empty()) out["live"] = node.live;
    if (node.text)
        out["text"] = {{"text", node.text->text},
                       {"caret", node.text->caret},
                       {"selection", {node.text->selection_start, node.text->selection_end}}};
    return out;
}

json heads_json(std::vector<automerge::ChangeHash> const& heads) {
    json out = json::array();
    for (auto const& h : heads) out.push_back(h.to_hex());
    return out;
}

// --- Commands --------------------------------------------------------------------------

Answer cmd_resources(AutomationHost& host, Command const&) {
    json out = json::array();
    for (auto const& r : host.widget().list_resources())
        out.push_back(vemo_actions::resource::to_json(r));
    return out;
}

Answer cmd_describe(AutomationHost& host, Command const& c) {
    auto address = c.string("address");
    if (!address) return std::unexpected(address.error());
    auto r = host.widget().describe_resource(*address);
    if (!r) return std::unexpected("no resource at '" + *address + "'");
    return vemo_actions::resource::to_json(*r);
}

Answer cmd_invoke(AutomationHost& host, Command const& c) {
    auto address = c.string("address");
    if (!address) return std::unexpected(address.error());
    auto action_id = c.string("action");
    if (!action_id) return std::unexpected(action_id.error());
    auto value = c.string_or("value", {});
    if (!value) return std::unexpected(value.error());
    auto resource = host.widget().describe_resource(*address);
    if (!resource) return std::unexpected("no resource at '" + *address + "'");
    auto const* spec = resource->find_action(*action_id);
    if (!spec) return std::unexpected("no action '" + *action_id + "' on '" + *address + "'");
    vemo_actions::ActionArgs args;
    if (c.json().contains("value")) args.set_text("value", *value);
    auto encoded = spec->resolve(args);
    if (!encoded) return std::unexpected(encoded.error().display());
    return host.run_encoded(*encoded);
}

Answer cmd_dispatch(AutomationHost& host, Command const& c) {
    auto kind = c.string("kind");
    if (!kind) return std::unexpected(kind.error());
    auto payload = c.payload_text("json");
    if (!payload) return std::unexpected(payload.error());
    return host.run_encoded(vemo_actions::EncodedAction{*kind, *payload, std::nullopt});
}

Answer cmd_operation(AutomationHost& host, Command const& c) {
    auto kinds = host.widget().operation_kinds();
    if (kinds.empty()) return std::unexpected(std::string("the application takes no operations"));
    auto type_name = c.string("type");
    if (!type_name) return std::unexpected(type_name.error());
    auto type = vemo_actions::parse_operation_type(*type_name);
    if (!type) return std::unexpected(std::string("'type' must be \"view\" or \"effect\""));
    auto payload = c.payload_text("json");
    if (!payload) return std::unexpected(payload.error());
    return host.run_encoded(vemo_actions::EncodedAction{kinds.front(), *payload, *type});
}

Answer cmd_semantic(AutomationHost& host, Command const& c) {
    auto id = c.string("id");
    if (!id) return std::unexpected(id.error());
    auto action = c.string_or("action", "activate");
    if (!action) return std::unexpected(action.error());
    auto heads_before = host.session().document().get_heads();
    (void)host.widget().take_dispatch_report();  // an earlier frame's, not this action's
    bool done = host.widget().perform_semantic_action(*id, *action);
    host.session().commit();
    if (!done) return std::unexpected("no control '" + *id + "' took the action '" + *action + "'");
    // Whether the control wrote to the document, and why not when a check refused its action.
    auto heads_after = host.session().document().get_heads();
    json result = {{"changed", heads_after != heads_before}};
    auto report = host.widget().take_dispatch_report();
    if (heads_after == heads_before && report && !report->unchanged_reason.empty())
        result["reason"] = report->unchanged_reason;
    return result;
}

Answer cmd_accessibility(AutomationHost& host, Command const&) {
    host.frame(true);
    return access_json(host.widget().accessibility());
}

Answer cmd_frames(AutomationHost& host, Command const& c) {
    auto count = c.integer_or("count", 1, 0, max_frames_per_command);
    if (!count) return std::unexpected(count.error());
    for (int64_t i = 0; i < *count; ++i) host.frame(true);
    return json(*count);
}

Answer cmd_document(AutomationHost& host, Command const&) {
    auto exported = automerge::export_json(host.session().document());
    if (!exported) return std::unexpected(exported.error().message);
    return *exported;
}

Answer cmd_heads(AutomationHost& host, Command const&) {
    return heads_json(host.session().document().get_heads());
}

Answer cmd_status(AutomationHost& host, Command const&) {
    auto& s = host.session();
    auto line = s.store_status();
    auto failure = s.save_failure();
    return json{{"status", line ? json(*line) : json(nullptr)},
                {"waiting_changes", s.waiting_changes()},
                {"unsaved", failure ? json(*failure) : json(nullptr)}};
}

// Frames, without drawing, until the application has no background work left.
Answer cmd_settle(AutomationHost& host, Command const& c)
{
    auto limit = c.integer_or("frames", settle_default_frames, 1, max_frames_per_command);
    if (!limit) return std::unexpected(limit.error());
    int64_t count = 0;
    do {
        if (count > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        host.frame(false);
        ++count;
    } while (count < *limit && host.widget().needs_animation_frame());
    return json(count);
}

// The providers' results in rank order, once each has indexed what it was handed.
Answer cmd_search(AutomationHost& host, Command const& c)
{
    auto query = c.string("query");
    if (!query) return std::unexpected(query.error());
    auto limit = c.integer_or("limit", search_default_limit, 1, search_max_limit);
    if (!limit) return std::unexpected(limit.error());
    json out = json::array();
    auto optional = [](std::optional<std::string> const& s) { return s ? json(*s) : json(nullptr); };
    for (auto const& provider : host.widget().search_providers()) {
        if (!provider) continue;
        auto deadline = std::chrono::steady_clock::now() + search_settle_time;
        while (provider->indexing() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        auto page = provider->query_page({*query, std::nullopt, std::nullopt}, std::nullopt, {size_t(*limit)});
        if (page.status == search::provider::PageStatus::Failed) return std::unexpected(page.error);
        for (auto const& r : page.results) {
            if (out.size() >= size_t(*limit)) break;
            out.push_back({{"provider", provider->name()},
                           {"collection", r.collection},
                           {"title", r.title},
                           {"subtitle", optional(r.subtitle)},
                           {"kind", optional(r.kind)},
                           {"address", r.action_address}});
        }
    }
    return out;
}

// "invite", "join" and "sharing" (automation_share.cpp).
Answer cmd_share(AutomationHost& host, Command const& c)
{
    auto answer = launch::detail::run_share_command(host.session(), c, [&] { host.frame(false); });
    if (!answer) return std::unexpected("unknown command '" + c.name() + "'");
    return *answer;
}

// Sorted by name. "quit" is not here: it ends the session in run_session. A name not in the
// table is offered to the application's automation_state() before it is refused.
// What the desktop asks of the application's live session from outside its own controls:
// "leave" ends a running call, as the next frame carries out.
Answer cmd_realtime(AutomationHost& host, Command const& c) {
    auto request = c.string("request");
    if (!request) return std::unexpected(request.error());
    if (*request != "leave") return std::unexpected("unknown realtime request '" + *request + "'");
    bool accepted = host.session().request_realtime_leave();
    host.frame(false);
    return json{{"accepted", accepted}};
}

constexpr CommandSpec commands[] = {
    {"accessibility", cmd_accessibility},
    {"describe", cmd_describe},
    {"dispatch", cmd_dispatch},
    {"document", cmd_document},
    {"frames", cmd_frames},
    {"heads", cmd_heads},
    {"invite", cmd_share},
    {"invoke", cmd_invoke},
    {"join", cmd_share},
    {"operation", cmd_operation},
    {"realtime", cmd_realtime},
    {"resources", cmd_resources},
    {"search", cmd_search},
    {"semantic", cmd_semantic},
    {"settle", cmd_settle},
    {"sharing", cmd_share},
    {"status", cmd_status},
};

// --- Answers and the session -------------------------------------------------------------

// The answer line; "unsaved" tells that changes are not reaching the disk.
std::string answer_line(Answer const& a, std::optional<std::string> const& unsaved) {
    json line = a ? json{{"ok", true}, {"result", *a}} : json{{"ok", false}, {"error", a.error()}};
    if (unsaved) line["unsaved"] = *unsaved;
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

Answer run_guarded(AutomationHost& host, Command const& command) {
    // Our own code returns errors as values; this catches what a library may still throw.
    try {
        host.frame(false);
        return host.run(command);
    } catch (std::exception const& e) {
        return std::unexpected(std::string("command failed: ") + e.what());
    }
}

struct SessionEnd {
    bool quit = false;
    bool reader_gone = false;
};

SessionEnd run_session(AutomationHost& host, AnswerChannel& out, SignalWatch const& signals) {
    auto& session = host.session();
    LineReader reader(STDIN_FILENO, max_line_bytes);
    for (;;) {
        host.realtime_tick_if_due();
        auto event = reader.next(
            signals, launch::detail::idle_wait_ms(session, host.realtime_wait_ms()));
        if (std::holds_alternative<LineReader::Idle>(event)) {
            launch::detail::share_while_idle(session);
            continue;
        }
        if (std::holds_alternative<LineReader::End>(event) ||
            std::holds_alternative<LineReader::Signalled>(event))
            return {};
        Answer answer = std::unexpected(std::string("malformed command: the line is longer than ") +
                                        std::to_string(max_line_bytes) + " bytes");
        if (auto const* line = std::get_if<LineReader::Line>(&event)) {
            if (line->text.find_first_not_of(" \t\r") == std::string::npos) continue;
            auto command = Command::parse(line->text);
            if (command && command->name() == "quit") return {.quit = true};
            answer =
                command ? run_guarded(host, *command) : Answer(std::unexpected(command.error()));
        }
        auto written = session.wait_written();
        auto unsaved = written ? session.save_failure() : std::optional(written.error());
        if (!out.send(answer_line(answer, unsaved))) return {.reader_gone = true};
    }
}

}  // namespace

AutomationHost::AutomationHost(vemo_ui::detail::AppSession& session)
    : m_session(session), m_canvas(automation_width, automation_height) {}

void AutomationHost::frame(bool draw) {
    m_session.sync(vemo_ui::detail::monotonic_seconds(), 1.0);
    (void)m_session.widget().take_layout_changed();
    if (auto laid =
            m_session.driver().layout(Size{double(automation_width), double(automation_height)});
        !laid)
        std::cerr << "layout failed: " << laid.error().message << "\n";
    if (!draw) return;
    m_canvas.clear(Theme::dark().window_fill);
    DrawContext ctx{m_canvas.painter(), m_text, Theme::dark(), vemo_ui::detail::monotonic_seconds(),
                    1.0};
    m_session.driver().draw(ctx, nullptr);
}

int AutomationHost::realtime_wait_ms() {
    double interval = widget().realtime_interval();
    if (interval <= 0) {
        m_next_realtime_tick.reset();
        return -1;
    }
    double now = vemo_ui::detail::monotonic_seconds();
    if (!m_next_realtime_tick) m_next_realtime_tick = now + interval;
    return int(std::ceil(std::max(0.0, *m_next_realtime_tick - now) * 1000));
}

void AutomationHost::realtime_tick_if_due() {
    double interval = widget().realtime_interval();
    double now = vemo_ui::detail::monotonic_seconds();
    if (interval <= 0 || (m_next_realtime_tick && now < *m_next_realtime_tick)) return;
    m_next_realtime_tick = now + interval;
    FrameContext ctx{&m_session.document(), now, 1.0};
    widget().realtime_tick(ctx);
    m_session.commit();
}

Answer AutomationHost::run(Command const& command) {
    auto table = command_table();
    auto it = std::find_if(table.begin(), table.end(),
                           [&](CommandSpec const& c) { return c.name == command.name(); });
    if (it != table.end()) return it->run(*this, command);
    if (auto state = widget().automation_state(command.name())) {
        auto parsed = json::parse(*state, nullptr, false);
        if (parsed.is_discarded()) return std::unexpected("the application's '" + command.name() + "' is not JSON");
        return parsed;
    }
    return std::unexpected("unknown command '" + command.name() + "'");
}

Answer AutomationHost::run_encoded(vemo_actions::EncodedAction const& action) {
    Widget& w = widget();
    auto kinds = w.operation_kinds();
    bool is_operation = std::find(kinds.begin(), kinds.end(), action.kind) != kinds.end();
    auto heads_before = m_session.document().get_heads();
    auto done = is_operation ? w.handle_operation(action) : w.dispatch_encoded(action);
    m_session.commit();
    if (!done) return std::unexpected(done.error());
    json result = {{"kind", action.kind}, {"json", action.json}};
    if (is_operation) return result;
    // Applying never fails for an action its checks refuse (peers replay the same actions
    // and must agree), so the answer says whether anything happened.
    auto heads_after = m_session.document().get_heads();
    result["changed"] = heads_after != heads_before;
    result["heads"] = heads_json(heads_after);
    auto report = w.take_dispatch_report();
    if (heads_after == heads_before && report && !report->unchanged_reason.empty())
        result["reason"] = report->unchanged_reason;
    return result;
}

std::span<CommandSpec const> command_table() {
    return commands;
}

}  // namespace vemo_ui::automation

namespace vemo_ui::launch::detail {

int run_automation(LaunchConfig const& config, std::string const& program) {
    using namespace vemo_ui::automation;
    // Before anything can log: from here on standard output carries answers only.
    auto out = AnswerChannel::take_stdout();
    if (!out) {
        std::cerr << program << ": " << out.error() << "\n";
        return 1;
    }
    SignalWatch signals;
    auto session = vemo_ui::detail::AppSession::start(config);
    if (!session) {
        std::cerr << program << ": " << session.error() << "\n";
        return 1;
    }
    AutomationHost host(**session);
    host.frame(false);
    auto end = run_session(host, *out, signals);
    if (auto signo = signals.received())
        std::cerr << program << ": " << strsignal(*signo) << ", saving and ending\n";
    auto saved = (*session)->flush();
    if (end.quit) {
        Answer answer =
            saved ? Answer(json(nullptr))
                  : Answer(std::unexpected("the document could not be saved: " + saved.error()));
        (void)out->send(answer_line(answer, saved ? std::nullopt : std::optional(saved.error())));
    }
    if (end.reader_gone) std::cerr << program << ": standard output was closed; ending\n";
    return saved && !end.reader_gone ? 0 : 1;
}

}  // namespace vemo_ui::launch::detail
