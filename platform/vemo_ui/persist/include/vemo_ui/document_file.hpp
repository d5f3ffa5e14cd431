#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

// What tools that read or rewrite a document file need from the application's own storage:
// the lock a running application holds, and a crash-safe replacement of the file.
namespace vemo_ui::persist {

// Held for as long as it lives; while an application (or a tool) holds it, no one else may
// replace or append to the document.
class DocumentLock {
  public:
    DocumentLock(DocumentLock&&) noexcept;
    DocumentLock& operator=(DocumentLock&&) noexcept;
    ~DocumentLock();

  private:
    friend std::expected<DocumentLock, std::string> lock_document(
        std::filesystem::path const& document);
    explicit DocumentLock(int fd);
    int m_fd = -1;
};

// Takes the lock of the document at `document` ("<document>.lock", created when absent)
// without waiting. Fails with a sentence naming the document when another process holds it.
std::expected<DocumentLock, std::string> lock_document(std::filesystem::path const& document);

// Writes `bytes` to a temporary file beside `document`, syncs it, renames it over
// `document` and syncs the directory: a crash leaves either the old file or the new one.
std::expected<void, std::string> replace_document(std::filesystem::path const& document,
                                                  std::span<uint8_t const> bytes);

// Keeps `bytes` in a new file "<document>.<tag>-<UTC time>" and returns its path.
std::expected<std::filesystem::path, std::string> keep_aside(std::filesystem::path const& document,
                                                             std::string_view tag,
                                                             std::span<uint8_t const> bytes);

}  // namespace vemo_ui::persist
