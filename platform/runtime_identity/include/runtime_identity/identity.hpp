#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// GNU dialects predefine `unix` as 1, which would turn the namespace below into a number.
#ifdef unix
#undef unix
#endif

// The identity a machine user keeps across all our programs: a stable identifier, a
// display name and 32 key bytes.
//
// Where it lives: $XDG_CONFIG_HOME/vemo/identity, else $HOME/.config/vemo/identity.
// Nothing there means "no stored identity" and callers make their own.
//
// The file is small, line based and read strictly, so a half-written or hand-mangled file
// is never half-trusted:
//
//     vemo-identity 1
//     id <identifier>
//     name <display name>
//     key <64 lower-case hexadecimal digits>
//
// Exactly these four lines, in this order, each ended by a single "\n", nothing after the
// last one, at most 4096 bytes. The identifier is 1 to 128 bytes of A-Z a-z 0-9 and
// ". _ - : @ +"; the name is at most 256 bytes of UTF-8 without control characters and may
// be empty. The file is written with mode 0600; a directory created for it gets mode 0700.
namespace runtime_identity {

struct Identity {
    std::string identifier;
    std::string name;
    std::array<uint8_t, 32> key{};

    bool operator==(Identity const&) const = default;
};

struct Error {
    std::string message;
};

inline constexpr size_t max_file_bytes = 4096;
inline constexpr size_t max_identifier_bytes = 128;
inline constexpr size_t max_name_bytes = 256;

// The canonical text of an identity, or an error naming the field that cannot be stored.
std::expected<std::string, Error> format_identity(Identity const& identity);
// Reads the text of an identity file; any deviation from the format is an error.
std::expected<Identity, Error> parse_identity(std::string_view text);

// Reads one identity file. A missing file is "no identity" (not an error); an unreadable
// or malformed file is an error.
std::expected<std::optional<Identity>, Error> read_identity_file(std::filesystem::path const& path);
// Replaces the file atomically: a crash leaves either the old identity or the new one.
std::expected<void, Error> write_identity_file(std::filesystem::path const& path,
                                               Identity const& identity);

namespace unix {

// The per-user location described above, or none when neither variable gives a directory.
std::optional<std::filesystem::path> identity_path();

// The stored identity of this user. A malformed or unreadable file yields none and logs a
// warning; it never stops the caller.
std::optional<Identity> load();

// Stores the identity at identity_path(), creating the directory. For set-up tools and tests.
std::expected<void, Error> store(Identity const& identity);

}  // namespace unix

}  // namespace runtime_identity
