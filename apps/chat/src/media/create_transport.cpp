#include <cstdlib>

#include "media/call_transport.hpp"
#include "media/network_transport.hpp"
#include "media/simulated_transport.hpp"

namespace chat::media {

std::unique_ptr<CallTransport> create_transport() {
    return create_transport(p2p::EndpointOptions{});
}

std::unique_ptr<CallTransport> create_transport(p2p::EndpointOptions options) {
    // Outside a graphical session (tests, headless tools) nobody can take part in a call,
    // so no sockets are opened.
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr)
        return std::make_unique<SimulatedTransport>();
    auto network = NetworkTransport::start(std::move(options));
    if (!network) return std::make_unique<SimulatedTransport>();
    return std::move(*network);
}

std::optional<std::string> ticket_endpoint_id(std::string_view ticket) {
    auto addr = p2p::EndpointAddr::from_json(ticket);
    if (!addr) return std::nullopt;
    return addr->id.to_text();
}

}  // namespace chat::media
