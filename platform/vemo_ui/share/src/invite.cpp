#include "vemo_ui/share/invite.hpp"

#include <nettle/sha2.h>
#include <sys/random.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace vemo_ui::share {

namespace {

constexpr std::string_view invite_prefix = "vemo-invite:";
// Far more than any real invite; keeps a pasted novel from being decoded.
constexpr std::size_t max_invite_text = 8192;
constexpr std::string_view b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string hex(std::span<std::uint8_t const> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

std::string base64url_encode(std::string_view bytes) {
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += b64[(acc >> bits) & 63];
        }
    }
    if (bits > 0) out += b64[(acc << (6 - bits)) & 63];
    return out;
}

std::optional<std::string> base64url_decode(std::string_view text) {
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        auto pos = b64.find(c);
        if (pos == std::string_view::npos) return std::nullopt;
        acc = (acc << 6) | std::uint32_t(pos);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xff);
        }
    }
    return out;
}

Secret random_secret() {
    Secret s{};
    std::size_t got = 0;
    while (got < s.size()) {
        auto n = getrandom(s.data() + got, s.size() - got, 0);
        if (n > 0) got += std::size_t(n);
    }
    return s;
}

std::optional<Secret> secret_from_hex(std::string_view text) {
    Secret out{};
    if (text.size() != out.size() * 2) return std::nullopt;
    for (std::size_t i = 0; i < out.size(); ++i) {
        int v = 0;
        for (char c : text.substr(i * 2, 2)) {
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return std::nullopt;
            v = v * 16 + d;
        }
        out[i] = std::uint8_t(v);
    }
    return out;
}

std::string secret_to_hex(Secret const& secret) {
    return hex(secret);
}

std::string secret_digest(Secret const& secret) {
    std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, secret.size(), secret.data());
    sha256_digest(&ctx, digest.size(), digest.data());
    return hex(digest);
}

std::string Invite::to_text() const {
    nlohmann::json j = {{"v", 1},
                        {"doc", document.to_string()},
                        {"peer", nlohmann::json::parse(inviter.to_json())},
                        {"secret", secret_to_hex(secret)},
                        {"expires", expires}};
    if (sync_server) j["server"] = *sync_server;
    return std::string(invite_prefix) + base64url_encode(j.dump());
}

std::expected<Invite, std::string> Invite::parse(std::string_view text) {
    auto trimmed = text;
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front())))
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back())))
        trimmed.remove_suffix(1);
    if (trimmed.size() > max_invite_text)
        return std::unexpected(std::string("the invite is too long"));
    if (!trimmed.starts_with(invite_prefix))
        return std::unexpected(
            std::string("not an invite (it should start with \"vemo-invite:\")"));
    trimmed.remove_prefix(invite_prefix.size());
    auto decoded = base64url_decode(trimmed);
    if (!decoded) return std::unexpected(std::string("the invite is damaged (not base64url)"));
    auto j = nlohmann::json::parse(*decoded, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return std::unexpected(std::string("the invite is damaged (not JSON)"));
    auto string_member = [&](char const* name) -> std::optional<std::string> {
        auto it = j.find(name);
        if (it == j.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    if (j.value("v", 0) != 1)
        return std::unexpected(std::string("the invite is from an unknown version"));
    auto doc_text = string_member("doc");
    if (!doc_text) return std::unexpected(std::string("the invite names no document"));
    auto doc = DocumentUrl::parse(*doc_text);
    if (!doc) return std::unexpected("the invite's document: " + doc.error());
    auto peer = j.find("peer");
    if (peer == j.end() || !peer->is_object())
        return std::unexpected(std::string("the invite names no device"));
    auto addr = p2p::EndpointAddr::from_json(peer->dump());
    if (!addr) return std::unexpected("the invite's device: " + addr.error().message);
    auto secret_text = string_member("secret");
    auto secret = secret_text ? secret_from_hex(*secret_text) : std::nullopt;
    if (!secret) return std::unexpected(std::string("the invite's secret is malformed"));
    auto expires = j.find("expires");
    if (expires == j.end() || !expires->is_number_integer())
        return std::unexpected(std::string("the invite has no expiry time"));
    Invite invite{*doc, std::move(*addr), *secret, expires->get<std::int64_t>(), std::nullopt};
    if (j.contains("server")) {
        auto server = string_member("server");
        if (!server || server->empty())
            return std::unexpected(std::string("the invite's sync server is malformed"));
        invite.sync_server = std::move(*server);
    }
    return invite;
}

}  // namespace vemo_ui::share
