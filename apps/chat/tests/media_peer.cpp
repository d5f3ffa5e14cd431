// A call peer in its own process, driven over stdin/stdout by media_two_process_tests:
// prints its ticket, reads the other peer's ticket, then sends numbered frames and
// prints "done" once it has received `count` frames from that peer. It keeps sending
// until stdin closes, so the other side can finish too.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "media/call_transport.hpp"
#include "media/network_transport.hpp"

using namespace chat::media;

namespace {

bool stdin_closed() {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0) return false;
    char c;
    return read(STDIN_FILENO, &c, 1) <= 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = argc > 1 ? std::stoul(argv[1]) : 50;
    p2p::EndpointOptions options;
    options.loopback_only = true;
    auto transport = NetworkTransport::start(options);
    if (!transport) {
        std::cerr << "media_peer: " << transport.error().message << "\n";
        return 2;
    }
    auto& net = **transport;
    std::cout << net.local_ticket() << std::endl;

    std::string peer_ticket;
    if (!std::getline(std::cin, peer_ticket) || !net.connect(peer_ticket)) return 3;
    auto peer_id = ticket_endpoint_id(peer_ticket);
    std::string me = "peer-" + std::to_string(getpid());

    std::uint64_t sequence = 0;
    std::size_t received = 0;
    std::uint64_t next_expected = 0;
    bool announced = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        // As a call does every frame: a dial the peer refused before it knew us is redone.
        net.connect(peer_ticket);
        MediaFrame frame;
        frame.sender = me;
        frame.sequence = sequence;
        frame.timestamp = MediaTimestamp::from_millis(sequence * 20);
        frame.payload.assign(1200, static_cast<std::uint8_t>(sequence));
        frame.kind = MediaKind::Microphone;
        net.send_frame(std::move(frame));
        ++sequence;
        for (auto const& got : net.drain_frames()) {
            // Frames must come from the key the ticket named, in order, intact.
            if (got.remote_endpoint != peer_id || got.sequence < next_expected ||
                got.payload.size() != 1200 ||
                got.payload[0] != static_cast<std::uint8_t>(got.sequence)) {
                std::cerr << "media_peer: unexpected frame " << got.sequence << "\n";
                return 4;
            }
            next_expected = got.sequence + 1;
            ++received;
        }
        if (received >= count && !announced) {
            std::cout << "done" << std::endl;
            announced = true;
        }
        if (announced && stdin_closed()) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::cerr << "media_peer: timed out with " << received << " frames\n";
    return 5;
}
