#include "vemo_ui/document_file.hpp"

#include <unistd.h>

#include <utility>

#include "file_io.hpp"

namespace vemo_ui::persist {

namespace fs = std::filesystem;

DocumentLock::DocumentLock(int fd) : m_fd(fd) {}
DocumentLock::DocumentLock(DocumentLock&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
DocumentLock& DocumentLock::operator=(DocumentLock&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}
DocumentLock::~DocumentLock() {
    if (m_fd >= 0) ::close(m_fd);
}

std::expected<DocumentLock, std::string> lock_document(fs::path const& document) {
    fs::path lock_path = document.string() + ".lock";
    auto fd = file_io::lock_file(lock_path);
    if (!fd) {
        if (fd.error().starts_with(file_io::lock_held_prefix))
            return std::unexpected(document.string() +
                                   " is open in a running application or tool (it holds " +
                                   lock_path.string() + "); close it and try again");
        return std::unexpected(fd.error());
    }
    return DocumentLock(fd->release());
}

std::expected<void, std::string> replace_document(fs::path const& document,
                                                  std::span<uint8_t const> bytes) {
    fs::path tmp = document.string() + ".replacing-" + std::to_string(::getpid());
    auto fd = file_io::replace_file(document, tmp, bytes);
    if (!fd) return std::unexpected(fd.error());
    return {};
}

std::expected<fs::path, std::string> keep_aside(fs::path const& document, std::string_view tag,
                                                std::span<uint8_t const> bytes) {
    auto aside = file_io::aside_path(document, tag);
    if (auto written = file_io::write_new_file(aside, bytes); !written)
        return std::unexpected(written.error());
    return aside;
}

}  // namespace vemo_ui::persist
