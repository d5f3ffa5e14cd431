#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "runtime_identity/identity.hpp"

namespace runtime_identity {

namespace {

constexpr std::string_view header_line = "vemo-identity 1";
constexpr char hex_digits[] = "0123456789abcdef";

bool is_identifier_byte(unsigned char ch) {
    if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9'))
        return true;
    return std::string_view("._-:@+").find(static_cast<char>(ch)) != std::string_view::npos;
}

bool valid_identifier(std::string_view id) {
    if (id.empty() || id.size() > max_identifier_bytes) return false;
    for (char ch : id)
        if (!is_identifier_byte(static_cast<unsigned char>(ch))) return false;
    return true;
}

// Decodes one UTF-8 sequence starting at text[i]; returns its length or 0 when invalid.
size_t utf8_sequence(std::string_view text, size_t i, uint32_t& code_point) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    if (length == 0 || i + length > text.size()) return 0;
    code_point = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code_point = (code_point << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < smallest[length] || code_point > 0x10FFFF) return 0;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
    return length;
}

bool valid_name(std::string_view name) {
    if (name.size() > max_name_bytes) return false;
    for (size_t i = 0; i < name.size();) {
        uint32_t cp = 0;
        size_t length = utf8_sequence(name, i, cp);
        if (length == 0) return false;
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
        i += length;
    }
    return true;
}

std::optional<std::array<uint8_t, 32>> parse_key(std::string_view hex) {
    if (hex.size() != 64) return std::nullopt;
    std::array<uint8_t, 32> key{};
    for (size_t i = 0; i < 64; ++i) {
        char ch = hex[i];
        int nibble = ch >= '0' && ch <= '9'   ? ch - '0'
                     : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                              : -1;
        if (nibble < 0) return std::nullopt;
        key[i / 2] = static_cast<uint8_t>(key[i / 2] << 4 | nibble);
    }
    return key;
}

// Splits off the next "\n"-terminated line; none when the text has no terminator left.
std::optional<std::string_view> next_line(std::string_view& text) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return line;
}

std::expected<std::string_view, Error> field(std::string_view& text, std::string_view name) {
    auto line = next_line(text);
    if (!line) return std::unexpected(Error{"missing line \"" + std::string(name) + "\""});
    if (line->size() <= name.size() || line->substr(0, name.size()) != name ||
        (*line)[name.size()] != ' ')
        return std::unexpected(Error{"expected line \"" + std::string(name) + " ...\""});
    return line->substr(name.size() + 1);
}

Error errno_error(std::string_view what, std::filesystem::path const& path) {
    return Error{std::string(what) + " " + path.string() + ": " + std::strerror(errno)};
}

std::string temp_suffix() {
    std::random_device device;
    std::string suffix = ".tmp-";
    for (int i = 0; i < 12; ++i) suffix += hex_digits[device() & 0xF];
    return suffix;
}

std::expected<void, Error> write_all(int fd, std::string_view data,
                                     std::filesystem::path const& path) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return std::unexpected(errno_error("cannot write", path));
        data.remove_prefix(static_cast<size_t>(written));
    }
    return {};
}

}  // namespace

std::expected<std::string, Error> format_identity(Identity const& identity) {
    if (!valid_identifier(identity.identifier))
        return std::unexpected(
            Error{"identifier must be 1 to 128 bytes of A-Z a-z 0-9 . _ - : @ +"});
    if (!valid_name(identity.name))
        return std::unexpected(
            Error{"name must be at most 256 bytes of UTF-8 without control characters"});
    std::string text;
    text += header_line;
    text += "\nid " + identity.identifier + "\nname " + identity.name + "\nkey ";
    for (uint8_t b : identity.key) {
        text += hex_digits[b >> 4];
        text += hex_digits[b & 0xF];
    }
    text += '\n';
    return text;
}

std::expected<Identity, Error> parse_identity(std::string_view text) {
    if (text.size() > max_file_bytes) return std::unexpected(Error{"identity file too large"});
    auto header = next_line(text);
    if (!header || *header != header_line)
        return std::unexpected(Error{"first line must be \"vemo-identity 1\""});
    auto id = field(text, "id");
    if (!id) return std::unexpected(id.error());
    // "name " with nothing after it is a valid empty name, so it is split by hand.
    auto name_line = next_line(text);
    if (!name_line || !name_line->starts_with("name "))
        return std::unexpected(Error{"expected line \"name ...\""});
    auto key = field(text, "key");
    if (!key) return std::unexpected(key.error());
    if (!text.empty()) return std::unexpected(Error{"unexpected text after the key line"});

    Identity identity;
    identity.identifier = std::string(*id);
    identity.name = std::string(name_line->substr(5));
    if (!valid_identifier(identity.identifier)) return std::unexpected(Error{"invalid identifier"});
    if (!valid_name(identity.name)) return std::unexpected(Error{"invalid name"});
    auto key_bytes = parse_key(*key);
    if (!key_bytes) return std::unexpected(Error{"key must be 64 lower-case hexadecimal digits"});
    identity.key = *key_bytes;
    return identity;
}

std::expected<std::optional<Identity>, Error> read_identity_file(
    std::filesystem::path const& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return std::optional<Identity>{};
        return std::unexpected(errno_error("cannot open", path));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::unexpected(Error{path.string() + " is not a regular file"});
    }
    // Read one byte past the limit so an oversized file is noticed without reading it all.
    std::string text(max_file_bytes + 1, '\0');
    size_t filled = 0;
    while (filled < text.size()) {
        ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            auto error = errno_error("cannot read", path);
            ::close(fd);
            return std::unexpected(error);
        }
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    ::close(fd);
    text.resize(filled);
    auto identity = parse_identity(text);
    if (!identity) return std::unexpected(Error{path.string() + ": " + identity.error().message});
    return std::optional<Identity>(std::move(*identity));
}

std::expected<void, Error> write_identity_file(std::filesystem::path const& path,
                                               Identity const& identity) {
    auto text = format_identity(identity);
    if (!text) return std::unexpected(text.error());
    std::filesystem::path dir = path.parent_path().empty() ? "." : path.parent_path();
    std::error_code ec;
    bool created = std::filesystem::create_directories(dir, ec);
    if (ec) return std::unexpected(Error{"cannot create " + dir.string() + ": " + ec.message()});
    // Only a directory made here is narrowed; an existing one is the user's business.
    if (created) ::chmod(dir.c_str(), 0700);

    std::filesystem::path temp = path;
    temp += temp_suffix();
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return std::unexpected(errno_error("cannot create", temp));
    auto written = write_all(fd, *text, temp);
    if (written && ::fsync(fd) != 0) written = std::unexpected(errno_error("cannot sync", temp));
    ::close(fd);
    if (written && ::rename(temp.c_str(), path.c_str()) != 0)
        written = std::unexpected(errno_error("cannot rename onto", path));
    if (!written) {
        ::unlink(temp.c_str());
        return written;
    }
    int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return {};
}

}  // namespace runtime_identity
