#include "app/entry.hpp"

#include <cstdio>
#include <cstdlib>

#include "app/chat_app.hpp"
#include "actions/dispatch.hpp"
#include "vemo_ui/app.hpp"
#include "app/screenshots.hpp"
#include "doc/store_opener.hpp"
#include "qdoc/blobstore.hpp"
#include "app/instance_id.hpp"
#include "app/local_identity.hpp"
#include "app/share_options.hpp"

namespace chat {

vemo_ui::launch::LaunchConfig launch_config()
{
    vemo_ui::launch::LaunchConfig config;
    config.app_id = "so.vemo.chat";
    config.screenshot_scenarios.assign(screenshot_scenarios.begin(), screenshot_scenarios.end());
    config.factory = []() -> std::unique_ptr<vemo_ui::Widget> { return ChatApp::create_interactive(); };
    config.screenshot_writer = write_shot;
    config.register_actions = [](vemo_ui::app::App& app) { register_chat_actions(app.action_registry_mut()); };
    config.default_window_size = [] { return vemo_ui::launch::WindowSize{1280, 800}; };
    config.max_windows = [] { return 1; };
    config.open_store = open_document_store;
    config.sharing = [] { return sharing_options(ShareArgs{}); };
    // One window per data directory: a second launch raises it and hands its invite over.
    config.instance_id = instance_id;
    config.single_instance = true;
    config.start_hidden = false;
    config.accessibility = true;
    config.automation = true;
    return config;
}

void run(int argc, char** argv)
{
    using qdoc::blobstore::FsBlobStore;
    auto root = FsBlobStore::default_root();
    auto store = std::make_shared<FsBlobStore>(root, 0x2000000, 0x10000000, 0x2000, 0x4000);
    qdoc::blobstore::set_store(store);
    auto args = take_share_args(argc, argv);
    if (!args) {
        std::fprintf(stderr, "%s: %s\n", argc > 0 ? argv[0] : "vemo-chat", args.error().c_str());
        std::exit(2);
    }
    auto config = launch_config();
    config.sharing = [share = args->share] { return sharing_options(share); };
    vemo_ui::launch::run_or_exit(config, int(args->rest.size()), args->rest.data());
}

}  // namespace chat
