#include "file_io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "vemo_ui/chunk_recovery.hpp"
#include "vemo_ui/document_file.hpp"

namespace amdoc {

using automerge::fail;
using automerge::Result;

// Plain stdio: stream iterators throw on a directory or an I/O error, and a failure here
// must be a value.
Result<std::vector<uint8_t>> read_file(std::filesystem::path const& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return fail(path.string() + " is a directory");
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return fail("cannot open " + path.string() + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    while (size_t n = std::fread(buf, 1, sizeof buf, file.get()))
        bytes.insert(bytes.end(), buf, buf + n);
    if (std::ferror(file.get()))
        return fail("cannot read " + path.string() + ": " + std::strerror(errno));
    return bytes;
}

Result<void> write_file_atomically(std::filesystem::path const& path,
                                   std::span<uint8_t const> bytes) {
    auto written = vemo_ui::persist::replace_document(path, bytes);
    if (!written) return fail(written.error());
    return {};
}

Result<LoadedDocument> read_document(std::filesystem::path const& path) {
    auto bytes = read_file(path);
    if (!bytes) return std::unexpected(bytes.error());
    auto recovery = vemo_ui::persist::recover_document(*bytes);
    if (recovery.loaded_chunks == 0)
        return fail(path.string() + " is not a readable document: no part of it loads");
    return LoadedDocument{std::move(recovery.doc), std::move(recovery.unreadable),
                          recovery.loaded_chunks};
}

std::vector<std::string> document_warnings(std::filesystem::path const& path,
                                           LoadedDocument& loaded) {
    std::vector<std::string> out;
    if (!loaded.unreadable.empty())
        out.push_back(path.string() + ": " + std::to_string(loaded.unreadable.size()) +
                      " bytes could not be read (a torn or damaged write) and are left out; "
                      "'amdoc check --repair' sets them aside");
    if (size_t waiting = loaded.doc.queued_changes()) {
        auto missing = loaded.doc.get_missing_deps({});
        std::string hashes;
        for (auto const& h : missing) hashes += (hashes.empty() ? "" : ", ") + h.to_hex();
        out.push_back(path.string() + ": " + std::to_string(waiting) +
                      (waiting == 1 ? " change is" : " changes are") +
                      " waiting for history this file does not have (missing " + hashes +
                      "); kept, but not shown until that history is merged in");
    }
    return out;
}

Result<automerge::AutoCommit> load_document(std::filesystem::path const& path) {
    auto loaded = read_document(path);
    if (!loaded) return std::unexpected(loaded.error());
    for (auto const& warning : document_warnings(path, *loaded))
        std::cerr << "amdoc: warning: " << warning << '\n';
    return std::move(loaded->doc);
}

}  // namespace amdoc
