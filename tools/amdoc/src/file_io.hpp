#pragma once

#include <automerge/automerge.hpp>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace amdoc {

automerge::Result<std::vector<uint8_t>> read_file(std::filesystem::path const& path);
// Writes beside the target, syncs and renames, so a crash never leaves a half-written
// document. Callers writing a document take its lock first (vemo_ui::persist::lock_document).
automerge::Result<void> write_file_atomically(std::filesystem::path const& path,
                                              std::span<uint8_t const> bytes);

// A document file read the way the application reads it: every chunk that loads is kept,
// and the bytes of a torn or damaged write are collected instead of failing the whole file.
struct LoadedDocument {
    automerge::AutoCommit doc;
    std::vector<uint8_t> unreadable;
    size_t chunks = 0;
};

// Fails only when the file cannot be read or not a single chunk of it loads.
automerge::Result<LoadedDocument> read_document(std::filesystem::path const& path);

// read_document, with a warning on standard error for unreadable bytes and for changes that
// wait for history the file does not have (both are left out of what the caller sees).
automerge::Result<automerge::AutoCommit> load_document(std::filesystem::path const& path);

// The warning lines load_document prints, without the "amdoc: warning: " prefix.
std::vector<std::string> document_warnings(std::filesystem::path const& path,
                                           LoadedDocument& loaded);

}  // namespace amdoc
