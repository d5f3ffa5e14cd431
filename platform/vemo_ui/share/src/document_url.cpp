#include "vemo_ui/share/document_url.hpp"

#include <nettle/sha2.h>
#include <sys/random.h>

#include <algorithm>

namespace vemo_ui::share {

namespace {

constexpr std::string_view alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr std::string_view url_prefix = "automerge:";
// Longer texts cannot be a 16-byte id; the bound also keeps decoding cheap.
constexpr std::size_t max_text = 64;

std::array<std::uint8_t, 4> checksum(std::span<std::uint8_t const> payload) {
    std::array<std::uint8_t, SHA256_DIGEST_SIZE> first{}, second{};
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, payload.size(), payload.data());
    sha256_digest(&ctx, first.size(), first.data());
    sha256_init(&ctx);
    sha256_update(&ctx, first.size(), first.data());
    sha256_digest(&ctx, second.size(), second.data());
    return {second[0], second[1], second[2], second[3]};
}

std::string base58_encode(std::span<std::uint8_t const> bytes) {
    std::size_t zeros = 0;
    while (zeros < bytes.size() && bytes[zeros] == 0) ++zeros;
    std::vector<std::uint8_t> digits;  // base 58, least significant first
    for (std::size_t i = zeros; i < bytes.size(); ++i) {
        unsigned carry = bytes[i];
        for (auto& d : digits) {
            carry += unsigned(d) << 8;
            d = std::uint8_t(carry % 58);
            carry /= 58;
        }
        while (carry) {
            digits.push_back(std::uint8_t(carry % 58));
            carry /= 58;
        }
    }
    std::string out(zeros, '1');
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) out += alphabet[*it];
    return out;
}

std::expected<std::vector<std::uint8_t>, std::string> base58_decode(std::string_view text) {
    std::size_t zeros = 0;
    while (zeros < text.size() && text[zeros] == '1') ++zeros;
    std::vector<std::uint8_t> bytes;  // base 256, least significant first
    for (std::size_t i = zeros; i < text.size(); ++i) {
        auto pos = alphabet.find(text[i]);
        if (pos == std::string_view::npos)
            return std::unexpected("'" + std::string(1, text[i]) + "' is not a base58 digit");
        unsigned carry = unsigned(pos);
        for (auto& b : bytes) {
            carry += unsigned(b) * 58;
            b = std::uint8_t(carry & 0xff);
            carry >>= 8;
        }
        while (carry) {
            bytes.push_back(std::uint8_t(carry & 0xff));
            carry >>= 8;
        }
    }
    std::vector<std::uint8_t> out(zeros, 0);
    out.insert(out.end(), bytes.rbegin(), bytes.rend());
    return out;
}

}  // namespace

std::string base58check_encode(std::span<std::uint8_t const> payload) {
    std::vector<std::uint8_t> bytes(payload.begin(), payload.end());
    auto sum = checksum(payload);
    bytes.insert(bytes.end(), sum.begin(), sum.end());
    return base58_encode(bytes);
}

std::expected<std::vector<std::uint8_t>, std::string> base58check_decode(std::string_view text) {
    if (text.empty() || text.size() > max_text)
        return std::unexpected(std::string("not a document id"));
    auto bytes = base58_decode(text);
    if (!bytes) return bytes;
    if (bytes->size() < 4) return std::unexpected(std::string("too short for a checksum"));
    std::vector<std::uint8_t> payload(bytes->begin(), bytes->end() - 4);
    auto sum = checksum(payload);
    if (!std::equal(sum.begin(), sum.end(), bytes->end() - 4))
        return std::unexpected(std::string("checksum mismatch"));
    return payload;
}

DocumentUrl DocumentUrl::generate() {
    DocumentUrl url;
    std::size_t got = 0;
    while (got < url.id.size()) {
        auto n = getrandom(url.id.data() + got, url.id.size() - got, 0);
        if (n > 0) got += std::size_t(n);
    }
    // Shaped as a version-4 UUID, as other tools make them.
    url.id[6] = std::uint8_t((url.id[6] & 0x0f) | 0x40);
    url.id[8] = std::uint8_t((url.id[8] & 0x3f) | 0x80);
    return url;
}

std::expected<DocumentUrl, std::string> DocumentUrl::parse(std::string_view text) {
    if (text.starts_with(url_prefix)) text.remove_prefix(url_prefix.size());
    if (text.find('#') != std::string_view::npos)
        return std::unexpected(
            std::string("a document URL with heads names a past version, not the document"));
    auto bytes = base58check_decode(text);
    if (!bytes) return std::unexpected("malformed document id: " + bytes.error());
    if (bytes->size() != 16)
        return std::unexpected(std::string("malformed document id: not 16 bytes"));
    DocumentUrl url;
    std::copy(bytes->begin(), bytes->end(), url.id.begin());
    return url;
}

std::string DocumentUrl::document_id() const {
    return base58check_encode(id);
}

std::string DocumentUrl::to_string() const {
    return std::string(url_prefix) + document_id();
}

}  // namespace vemo_ui::share
