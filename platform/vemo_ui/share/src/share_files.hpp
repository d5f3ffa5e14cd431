#pragma once

// What sharing keeps beside the document: the device key, the document's URL, the port the
// endpoint last had, the sync server, the invites handed out, and one sync state per peer.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <p2p/key.hpp>
#include <span>
#include <string>
#include <vector>

namespace vemo_ui::share::detail {

struct InviteRecord {
    std::string digest;
    std::int64_t expires = 0;
    bool used = false;
};

class ShareFiles {
  public:
    explicit ShareFiles(std::filesystem::path const& document_path);

    std::filesystem::path const& dir() const { return m_dir; }
    std::filesystem::path url_path() const { return m_url; }

    // The device's key, made (mode 0600) on first use.
    std::expected<p2p::SecretKey, std::string> device_key();
    std::optional<std::string> read_url() const;
    std::expected<void, std::string> write_url(std::string const& url);
    std::optional<std::uint16_t> read_port() const;
    void write_port(std::uint16_t port);
    std::optional<std::string> read_sync_server() const;
    void write_sync_server(std::string const& url);
    std::vector<InviteRecord> read_invites() const;
    void write_invites(std::vector<InviteRecord> const& invites);
    std::optional<std::vector<std::uint8_t>> read_sync_state(std::string const& document_id,
                                                             std::string const& peer) const;
    // Where the sync state with `peer` is kept (the document store writes it, once the
    // document content it describes is durable); nothing for names that are not plain.
    std::optional<std::filesystem::path> sync_state_path(std::string const& document_id,
                                                         std::string const& peer) const;

  private:
    std::filesystem::path m_dir;
    std::filesystem::path m_url;
};

// Writes through a temporary file and a rename, so a crash leaves the old or the new content.
std::expected<void, std::string> write_file_atomically(std::filesystem::path const& path,
                                                       std::span<std::uint8_t const> bytes,
                                                       unsigned mode);
std::optional<std::vector<std::uint8_t>> read_small_file(std::filesystem::path const& path,
                                                         std::size_t cap);

}  // namespace vemo_ui::share::detail
