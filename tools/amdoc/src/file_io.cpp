#include "file_io.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

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
    auto tmp = path;
    tmp += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return fail("cannot create " + tmp.string() + ": " + std::strerror(errno));
        out.write(reinterpret_cast<char const*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(tmp, ignored);
            return fail("cannot write " + tmp.string());
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return fail("cannot replace " + path.string() + ": " + ec.message());
    }
    return {};
}

Result<automerge::AutoCommit> load_document(std::filesystem::path const& path) {
    auto bytes = read_file(path);
    if (!bytes) return std::unexpected(bytes.error());
    auto doc = automerge::AutoCommit::load(*bytes);
    if (!doc) return fail(path.string() + " is not a readable document: " + doc.error().message);
    return doc;
}

}  // namespace amdoc
