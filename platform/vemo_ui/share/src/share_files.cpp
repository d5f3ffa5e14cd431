#include "share_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "share_log.hpp"

namespace vemo_ui::share::detail {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t small_file_cap = 1 << 20;

std::string as_text(std::optional<std::vector<std::uint8_t>> const& bytes) {
    if (!bytes) return {};
    std::string s(bytes->begin(), bytes->end());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

std::span<std::uint8_t const> bytes_of(std::string const& s) {
    return {reinterpret_cast<std::uint8_t const*>(s.data()), s.size()};
}

// Peer keys are hex already; anything else must not escape the folder.
bool safe_name(std::string const& name) {
    if (name.empty() || name.size() > 128) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

std::expected<void, std::string> write_file_atomically(fs::path const& path,
                                                       std::span<std::uint8_t const> bytes,
                                                       unsigned mode) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    auto tmp = path.string() + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return std::unexpected("cannot write " + tmp + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        auto n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            auto error = std::string(std::strerror(errno));
            ::close(fd);
            return std::unexpected("cannot write " + tmp + ": " + error);
        }
        done += std::size_t(n);
    }
    ::fdatasync(fd);
    ::close(fd);
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return std::unexpected("cannot replace " + path.string() + ": " + std::strerror(errno));
    return {};
}

std::optional<std::vector<std::uint8_t>> read_small_file(fs::path const& path, std::size_t cap) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> out;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        out.insert(out.end(), buf, buf + in.gcount());
        if (out.size() > cap) return std::nullopt;
    }
    return out;
}

ShareFiles::ShareFiles(fs::path const& document_path)
    : m_dir(document_path.parent_path() / "sharing"), m_url(document_path.string() + ".url") {}

std::expected<p2p::SecretKey, std::string> ShareFiles::device_key() {
    auto path = m_dir / "device.key";
    if (auto bytes = read_small_file(path, 64)) {
        if (bytes->size() == p2p::SecretKey::size) {
            p2p::SecretKey::Bytes seed{};
            std::copy(bytes->begin(), bytes->end(), seed.begin());
            return p2p::SecretKey::from_bytes(seed);
        }
        share_log().warn("{} is not a key; making a new one", path.string());
    }
    auto key = p2p::SecretKey::generate();
    auto written = write_file_atomically(path, key.bytes(), 0600);
    if (!written) return std::unexpected(written.error());
    return key;
}

std::optional<std::string> ShareFiles::read_url() const {
    auto text = as_text(read_small_file(m_url, 256));
    if (text.empty()) return std::nullopt;
    return text;
}

std::expected<void, std::string> ShareFiles::write_url(std::string const& url) {
    return write_file_atomically(m_url, bytes_of(url + "\n"), 0644);
}

std::optional<std::uint16_t> ShareFiles::read_port() const {
    auto text = as_text(read_small_file(m_dir / "port", 16));
    if (text.empty()) return std::nullopt;
    try {
        auto v = std::stoul(text);
        if (v > 0 && v < 65536) return std::uint16_t(v);
    } catch (...) {
    }
    return std::nullopt;
}

void ShareFiles::write_port(std::uint16_t port) {
    (void)write_file_atomically(m_dir / "port", bytes_of(std::to_string(port) + "\n"), 0644);
}

std::optional<std::string> ShareFiles::read_sync_server() const {
    auto text = as_text(read_small_file(m_dir / "sync-server", 4096));
    if (text.empty()) return std::nullopt;
    return text;
}

void ShareFiles::write_sync_server(std::string const& url) {
    (void)write_file_atomically(m_dir / "sync-server", bytes_of(url + "\n"), 0644);
}

std::vector<InviteRecord> ShareFiles::read_invites() const {
    std::vector<InviteRecord> out;
    auto bytes = read_small_file(m_dir / "invites.json", small_file_cap);
    if (!bytes) return out;
    auto j = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (!j.is_array()) return out;
    for (auto const& e : j) {
        if (!e.is_object() || !e.contains("digest") || !e["digest"].is_string()) continue;
        out.push_back({e["digest"].get<std::string>(), e.value("expires", std::int64_t(0)),
                       e.value("used", true)});
    }
    return out;
}

void ShareFiles::write_invites(std::vector<InviteRecord> const& invites) {
    auto j = nlohmann::json::array();
    for (auto const& i : invites)
        j.push_back({{"digest", i.digest}, {"expires", i.expires}, {"used", i.used}});
    auto text = j.dump();
    if (auto written = write_file_atomically(m_dir / "invites.json", bytes_of(text), 0600);
        !written)
        share_log().warn("{}", written.error());
}

std::optional<std::vector<std::uint8_t>> ShareFiles::read_sync_state(
    std::string const& document_id, std::string const& peer) const {
    auto path = sync_state_path(document_id, peer);
    if (!path) return std::nullopt;
    return read_small_file(*path, small_file_cap);
}

std::optional<fs::path> ShareFiles::sync_state_path(std::string const& document_id,
                                                    std::string const& peer) const {
    if (!safe_name(document_id) || !safe_name(peer)) return std::nullopt;
    return m_dir / "state" / document_id / peer;
}

}  // namespace vemo_ui::share::detail
