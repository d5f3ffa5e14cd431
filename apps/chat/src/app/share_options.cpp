#include "app/share_options.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "app/instance_id.hpp"
#include "app/local_identity.hpp"

namespace chat {

namespace {

std::optional<std::string> env(char const* name) {
    if (char const* v = std::getenv(name); v && *v) return std::string(v);
    return std::nullopt;
}

std::string device_name() {
    if (auto host = env("HOSTNAME")) return *host;
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) == 0 && buf[0]) return buf;
    return "this computer";
}

}  // namespace

std::expected<SplitArgs, std::string> take_share_args(int argc, char** argv) {
    SplitArgs out;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i] ? argv[i] : "";
        std::optional<std::string>* slot = nullptr;
        std::string_view name = arg.substr(0, arg.find('='));
        if (i > 0 && name == "--join") slot = &out.share.join;
        if (i > 0 && name == "--sync-server") slot = &out.share.sync_server;
        // A link the desktop hands over (the launcher's %U) joins like --join.
        if (i > 0 && !arg.starts_with("-")) {
            auto invite = invite_from_link(arg);
            if (!invite) return std::unexpected(invite.error());
            if (*invite) {
                if (out.share.join) return std::unexpected(std::string("only one invite at a time"));
                out.share.join = std::move(*invite);
                continue;
            }
        }
        if (!slot) {
            out.rest.push_back(argv[i]);
            continue;
        }
        if (auto eq = arg.find('='); eq != std::string_view::npos) {
            *slot = std::string(arg.substr(eq + 1));
        } else if (i + 1 < argc && argv[i + 1]) {
            *slot = std::string(argv[++i]);
        } else {
            return std::unexpected("option '" + std::string(name) + "' needs a value");
        }
        if ((*slot)->empty())
            return std::unexpected("option '" + std::string(name) + "' needs a value");
    }
    out.rest.push_back(nullptr);
    out.rest.pop_back();
    return out;
}

std::optional<vemo_ui::share::Options> sharing_options(ShareArgs const& args) {
    if (env("VEMO_CHAT_SHARING") == "off") return std::nullopt;
    vemo_ui::share::Options options;
    auto identity = determine_local_identity(IdentitySources::from_environment());
    options.person_id = identity.id;
    options.device_name = device_name();
    options.join = args.join;
    options.sync_server = args.sync_server ? args.sync_server : env("VEMO_CHAT_SYNC_SERVER");
    options.loopback_only = env("VEMO_CHAT_SYNC_LOOPBACK") == "1";
    options.direct = env("VEMO_CHAT_SYNC_DIRECT") != "off";
    return options;
}

}  // namespace chat
