#include "p2p/endpoint_addr.hpp"

#include <arpa/inet.h>

#include <charconv>
#include <nlohmann/json.hpp>

namespace p2p {

namespace {

constexpr std::size_t max_ticket_bytes = 16 * 1024;
constexpr std::size_t max_addrs = 64;

Result<std::uint16_t> parse_port(std::string_view text) {
    unsigned value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size() || value == 0 ||
        value > 65535)
        return fail(ErrorKind::InvalidInput, "bad port in socket address");
    return static_cast<std::uint16_t>(value);
}

}  // namespace

SocketAddr SocketAddr::v4(std::array<std::uint8_t, 4> ip, std::uint16_t port) {
    SocketAddr out;
    out.family = Family::V4;
    std::copy(ip.begin(), ip.end(), out.ip.begin());
    out.port = port;
    return out;
}

SocketAddr SocketAddr::v6(std::array<std::uint8_t, 16> ip, std::uint16_t port) {
    SocketAddr out;
    out.family = Family::V6;
    out.ip = ip;
    out.port = port;
    return out;
}

Result<SocketAddr> SocketAddr::parse(std::string_view text) {
    if (text.size() > 64) return fail(ErrorKind::InvalidInput, "socket address too long");
    SocketAddr out;
    std::string host;
    std::string_view port_text;
    if (!text.empty() && text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return fail(ErrorKind::InvalidInput, "bad IPv6 socket address");
        host = std::string(text.substr(1, close - 1));
        port_text = text.substr(close + 2);
        out.family = Family::V6;
        if (inet_pton(AF_INET6, host.c_str(), out.ip.data()) != 1)
            return fail(ErrorKind::InvalidInput, "bad IPv6 address");
    } else {
        auto colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return fail(ErrorKind::InvalidInput, "socket address without port");
        host = std::string(text.substr(0, colon));
        port_text = text.substr(colon + 1);
        out.family = Family::V4;
        if (inet_pton(AF_INET, host.c_str(), out.ip.data()) != 1)
            return fail(ErrorKind::InvalidInput, "bad IPv4 address");
    }
    auto port = parse_port(port_text);
    if (!port) return std::unexpected(port.error());
    out.port = *port;
    return out;
}

std::string SocketAddr::to_string() const {
    char buf[INET6_ADDRSTRLEN] = {};
    if (family == Family::V4) {
        inet_ntop(AF_INET, ip.data(), buf, sizeof buf);
        return std::string(buf) + ":" + std::to_string(port);
    }
    inet_ntop(AF_INET6, ip.data(), buf, sizeof buf);
    return "[" + std::string(buf) + "]:" + std::to_string(port);
}

bool SocketAddr::is_loopback() const {
    if (family == Family::V4) return ip[0] == 127;
    for (std::size_t i = 0; i < 15; ++i)
        if (ip[i] != 0) return false;
    return ip[15] == 1;
}

std::string EndpointAddr::to_json() const {
    // Key order as peers have always written it: "id" first.
    nlohmann::ordered_json addr_list = nlohmann::ordered_json::array();
    for (auto const& a : addrs) addr_list.push_back({{"Ip", a.to_string()}});
    nlohmann::ordered_json doc = {{"id", id.to_text()}, {"addrs", std::move(addr_list)}};
    return doc.dump();
}

Result<EndpointAddr> EndpointAddr::from_json(std::string_view text) {
    if (text.size() > max_ticket_bytes) return fail(ErrorKind::InvalidInput, "ticket too long");
    auto doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return fail(ErrorKind::InvalidInput, "ticket is not a JSON object");
    auto id_it = doc.find("id");
    auto addrs_it = doc.find("addrs");
    if (id_it == doc.end() || !id_it->is_string())
        return fail(ErrorKind::InvalidInput, "ticket has no endpoint id");
    if (addrs_it == doc.end() || !addrs_it->is_array())
        return fail(ErrorKind::InvalidInput, "ticket has no address list");
    if (addrs_it->size() > max_addrs)
        return fail(ErrorKind::InvalidInput, "ticket lists too many addresses");
    auto id = PublicKey::from_text(id_it->get_ref<std::string const&>());
    if (!id) return std::unexpected(id.error());

    EndpointAddr out{*id, {}};
    for (auto const& entry : *addrs_it) {
        if (!entry.is_object() || entry.size() != 1)
            return fail(ErrorKind::InvalidInput, "ticket address must be a one-member object");
        auto ip = entry.find("Ip");
        if (ip == entry.end()) continue;
        if (!ip->is_string()) return fail(ErrorKind::InvalidInput, "ticket address is not text");
        auto addr = SocketAddr::parse(ip->get_ref<std::string const&>());
        if (!addr) return std::unexpected(addr.error());
        out.addrs.push_back(*addr);
    }
    return out;
}

}  // namespace p2p
