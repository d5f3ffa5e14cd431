#pragma once

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace vemo_ui::share::detail {

// Standard output may be the automation protocol, so sharing logs to standard error.
inline spdlog::logger& share_log() {
    static auto logger = [] {
        auto existing = spdlog::get("sharing");
        return existing ? existing : spdlog::stderr_color_mt("sharing");
    }();
    return *logger;
}

}  // namespace vemo_ui::share::detail
