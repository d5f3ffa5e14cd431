#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace automerge {
class AutoCommit;
}

namespace vemo_ui::persist {

// How the document store keeps the file safe.
struct StoreOptions {
    // Committed changes reach the disk (fdatasync) at most this long after their commit.
    std::chrono::milliseconds flush_interval{250};
    // The appended tail is folded into a fresh compacted file once it outgrows both the last
    // compacted document and this size.
    size_t compact_floor = 1 << 20;
    // Overrides the framework's own location (for tests and tools).
    std::optional<std::filesystem::path> base_dir;
};

class DocumentStore;
using OpenResult = std::expected<std::unique_ptr<DocumentStore>, std::string>;

}  // namespace vemo_ui::persist
