#pragma once

#include <automerge/automerge.hpp>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace amdoc {

automerge::Result<std::vector<uint8_t>> read_file(std::filesystem::path const& path);
// Writes beside the target and renames, so a crash never leaves a half-written document.
automerge::Result<void> write_file_atomically(std::filesystem::path const& path,
                                              std::span<uint8_t const> bytes);
automerge::Result<automerge::AutoCommit> load_document(std::filesystem::path const& path);

}  // namespace amdoc
