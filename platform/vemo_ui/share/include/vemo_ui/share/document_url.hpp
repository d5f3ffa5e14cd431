#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vemo_ui::share {

// A shared document's name as sync servers know it: "automerge:" followed by the
// base58check text of 16 random bytes (its document id).
struct DocumentUrl {
    std::array<std::uint8_t, 16> id{};

    static DocumentUrl generate();
    // Accepts the full URL or the bare document id; heads after '#' are refused.
    static std::expected<DocumentUrl, std::string> parse(std::string_view text);

    std::string document_id() const;  // base58check of `id`
    std::string to_string() const;    // "automerge:" + document_id()
    bool operator==(DocumentUrl const&) const = default;
};

std::string base58check_encode(std::span<std::uint8_t const> payload);
std::expected<std::vector<std::uint8_t>, std::string> base58check_decode(std::string_view text);

}  // namespace vemo_ui::share
