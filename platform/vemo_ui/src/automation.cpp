// The headless automation host: an application run without a window, driven by JSON
// commands on standard input, one answer per line on standard output. Everything goes
// through the same widget operations a click or a screen reader uses.
#include <nlohmann/json.hpp>

#include <chrono>
#include <iostream>
#include <thread>
#include <string>
#include <thread>

#include "app_session.hpp"
#include "automation_share.hpp"
#include "doc_json.hpp"
#include "vemo_actions/resource_json.hpp"
#include "vemo_ui/cairo_painter.hpp"
#include "vemo_ui/launch.hpp"
#include "vemo_ui/search/provider.hpp"
#include "vemo_ui/text_renderer.hpp"
#include "vemo_ui/theme.hpp"

namespace vemo_ui::launch::detail {

namespace {

using nlohmann::json;
using Answer = std::expected<json, std::string>;

constexpr int automation_width = 1280;
constexpr int automation_height = 800;
constexpr int max_frames_per_command = 10000;
constexpr size_t search_default_limit = 20;
constexpr int64_t search_max_limit = 1000;
constexpr auto search_settle_time = std::chrono::seconds(60);

json rect_json(Rect const& r) { return {{"x", r.x}, {"y", r.y}, {"w", r.width}, {"h", r.height}}; }

json access_json(a11y::AccessNode const& node)
{
    json children = json::array();
    for (auto const& c : node.children) children.push_back(access_json(c));
    return {{"role", a11y::role_name(node.role)},
            {"id", node.id},
            {"label", node.label},
            {"description", node.description},
            {"rect", rect_json(node.rect)},
            {"states",
             {{"pressed", node.states.pressed},
              {"selected", node.states.selected},
              {"expanded", node.states.expanded},
              {"focused", node.states.focused},
              {"disabled", node.states.disabled}}},
            {"children", std::move(children)}};
}

std::string required_string(json const& cmd, char const* name)
{
    auto it = cmd.find(name);
    if (it == cmd.end() || !it->is_string()) throw std::invalid_argument(std::string("'") + name + "' must be a string");
    return it->get<std::string>();
}

class AutomationHost {
public:
    explicit AutomationHost(vemo_ui::detail::AppSession& session)
        : m_session(session), m_canvas(automation_width, automation_height)
    {
    }

    void frame(bool draw)
    {
        m_session.sync(vemo_ui::detail::monotonic_seconds(), 1.0);
        (void)m_session.widget().take_layout_changed();
        if (auto laid = m_session.driver().layout(Size{double(automation_width), double(automation_height)}); !laid)
            std::cerr << "layout failed: " << laid.error().message << "\n";
        if (!draw) return;
        m_canvas.clear(Theme::dark().window_fill);
        DrawContext ctx{m_canvas.painter(), m_text, Theme::dark(), vemo_ui::detail::monotonic_seconds(), 1.0};
        m_session.driver().draw(ctx, nullptr);
    }

    Answer run(json const& cmd)
    {
        std::string name = required_string(cmd, "cmd");
        Widget& w = m_session.widget();
        if (name == "resources") {
            json out = json::array();
            for (auto const& r : w.list_resources()) out.push_back(vemo_actions::resource::to_json(r));
            return out;
        }
        if (name == "describe") {
            std::string address = required_string(cmd, "address");
            auto r = w.describe_resource(address);
            if (!r) return std::unexpected("no resource at '" + address + "'");
            return vemo_actions::resource::to_json(*r);
        }
        if (name == "invoke") return invoke(cmd);
        if (name == "search") return search(cmd);
        if (name == "dispatch") {
            vemo_actions::EncodedAction action{required_string(cmd, "kind"), payload_text(cmd), std::nullopt};
            return run_encoded(action);
        }
        if (name == "operation") {
            auto kinds = w.operation_kinds();
            if (kinds.empty()) return std::unexpected(std::string("the application takes no operations"));
            auto type = vemo_actions::parse_operation_type(required_string(cmd, "type"));
            if (!type) return std::unexpected(std::string("'type' must be \"view\" or \"effect\""));
            return run_encoded(vemo_actions::EncodedAction{kinds.front(), payload_text(cmd), *type});
        }
        if (name == "semantic") {
            std::string id = required_string(cmd, "id");
            std::string action = cmd.contains("action") ? required_string(cmd, "action") : "activate";
            bool done = w.perform_semantic_action(id, action);
            m_session.commit();
            if (!done) return std::unexpected("no control '" + id + "' took the action '" + action + "'");
            return json(true);
        }
        if (name == "accessibility") {
            frame(true);
            return access_json(w.accessibility());
        }
        if (name == "frames") {
            int count = cmd.value("count", 1);
            if (count < 0 || count > max_frames_per_command)
                return std::unexpected("'count' must be between 0 and " + std::to_string(max_frames_per_command));
            for (int i = 0; i < count; ++i) frame(true);
            return json(count);
        }
        if (name == "settle") {
            // Frames, without drawing, until the application has no background work left.
            int limit = cmd.value("frames", 3000);
            int count = 0;
            do {
                if (count > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                frame(false);
                ++count;
            } while (count < limit && w.needs_animation_frame());
            return json(count);
        }
        if (name == "document") {
            auto exported = amdoc::export_json(m_session.document());
            if (!exported) return std::unexpected(exported.error().message);
            return *exported;
        }
        if (auto shared = run_share_command(m_session, cmd, [this] { frame(false); })) return *shared;
        if (name == "heads") {
            json out = json::array();
            for (auto const& h : m_session.document().get_heads()) out.push_back(h.to_hex());
            return out;
        }
        if (auto state = w.automation_state(name)) return json::parse(*state);
        return std::unexpected("unknown command '" + name + "'");
    }

private:
    // "json" may be given as the payload object itself or as its text.
    static std::string payload_text(json const& cmd)
    {
        auto it = cmd.find("json");
        if (it == cmd.end()) throw std::invalid_argument("'json' is missing");
        return it->is_string() ? it->get<std::string>() : it->dump();
    }

    Answer invoke(json const& cmd)
    {
        std::string address = required_string(cmd, "address");
        std::string action_id = required_string(cmd, "action");
        auto resource = m_session.widget().describe_resource(address);
        if (!resource) return std::unexpected("no resource at '" + address + "'");
        auto const* spec = resource->find_action(action_id);
        if (!spec) return std::unexpected("no action '" + action_id + "' on '" + address + "'");
        vemo_actions::ActionArgs args;
        if (auto v = cmd.find("value"); v != cmd.end() && v->is_string()) args.set_text("value", v->get<std::string>());
        auto encoded = spec->resolve(args);
        if (!encoded) return std::unexpected(encoded.error().display());
        return run_encoded(*encoded);
    }

    // The providers' results in rank order, once each has indexed what it was handed.
    Answer search(json const& cmd)
    {
        std::string query = required_string(cmd, "query");
        size_t limit = search_default_limit;
        if (auto it = cmd.find("limit"); it != cmd.end()) {
            if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > search_max_limit)
                return std::unexpected("'limit' must be an integer from 1 to " + std::to_string(search_max_limit));
            limit = it->get<size_t>();
        }
        json out = json::array();
        for (auto const& provider : m_session.widget().search_providers()) {
            if (!provider) continue;
            auto deadline = std::chrono::steady_clock::now() + search_settle_time;
            while (provider->indexing() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            auto page = provider->query_page({query, std::nullopt, std::nullopt}, std::nullopt, {limit});
            if (page.status == search::provider::PageStatus::Failed) return std::unexpected(page.error);
            auto optional = [](std::optional<std::string> const& s) { return s ? json(*s) : json(nullptr); };
            for (auto const& r : page.results) {
                if (out.size() >= limit) break;
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

    Answer run_encoded(vemo_actions::EncodedAction const& action)
    {
        Widget& w = m_session.widget();
        auto kinds = w.operation_kinds();
        bool is_operation = std::find(kinds.begin(), kinds.end(), action.kind) != kinds.end();
        auto done = is_operation ? w.handle_operation(action) : w.dispatch_encoded(action);
        m_session.commit();
        if (!done) return std::unexpected(done.error());
        json result = {{"kind", action.kind}, {"json", action.json}};
        if (auto report = w.take_dispatch_report()) {
            json heads = json::array();
            for (auto const& h : report->heads_after) heads.push_back(h.to_hex());
            result["heads"] = std::move(heads);
        }
        return result;
    }

    vemo_ui::detail::AppSession& m_session;
    ImageCanvas m_canvas;
    TextRenderer m_text;
};

void answer(Answer const& a)
{
    json line = a ? json{{"ok", true}, {"result", *a}} : json{{"ok", false}, {"error", a.error()}};
    std::cout << line.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
}

}  // namespace

int run_automation(LaunchConfig const& config, std::string const& program)
{
    auto session = vemo_ui::detail::AppSession::start(config);
    if (!session) {
        std::cerr << program << ": " << session.error() << "\n";
        return 1;
    }
    AutomationHost host(**session);
    host.frame(false);
    for (std::string line; std::getline(std::cin, line);) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        json cmd;
        try {
            cmd = json::parse(line);
        } catch (std::exception const& e) {
            answer(std::unexpected(std::string("malformed command: ") + e.what()));
            continue;
        }
        if (!cmd.is_object()) {
            answer(std::unexpected(std::string("malformed command: expected a JSON object")));
            continue;
        }
        if (cmd.value("cmd", "") == "quit") {
            answer(json(nullptr));
            break;
        }
        try {
            host.frame(false);
            answer(host.run(cmd));
        } catch (std::exception const& e) {
            answer(std::unexpected(std::string("malformed command: ") + e.what()));
        }
    }
    (*session)->flush();
    return 0;
}

}  // namespace vemo_ui::launch::detail
